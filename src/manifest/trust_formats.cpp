#include "manifest/trust_formats.h"

#include <cstring>
#include <cwchar>

#include "manifest/update_list.h"
#include "platform/clock.h"

namespace {

// Reads one DER element at `*at` in `der`: its tag must be `tag`, its length
// definite and minimally encoded, and it must fit. On success *content is the
// element's content and *at points past it.
bool ReadElement(std::string_view der, std::size_t* at, unsigned char tag, std::string_view* content) {
  std::size_t i = *at;
  if (i >= der.size() || static_cast<unsigned char>(der[i]) != tag) return false;
  ++i;
  if (i >= der.size()) return false;
  const unsigned char first = static_cast<unsigned char>(der[i++]);
  std::size_t length = 0;
  if (first < 0x80) {
    length = first;
  } else {
    // Long form: 1 or 2 length bytes are all these structures can need;
    // 0x80 (indefinite) and longer forms are refused.
    const std::size_t count = first & 0x7F;
    if (count < 1 || count > 2 || der.size() - i < count) return false;
    for (std::size_t k = 0; k < count; ++k) length = (length << 8) | static_cast<unsigned char>(der[i++]);
    // Minimal: the long form only for 128 and above, no leading zero byte.
    if (length < 0x80 || (count == 2 && length < 0x100)) return false;
  }
  if (der.size() - i < length) return false;
  *content = der.substr(i, length);
  *at = i + length;
  return true;
}

// A positive DER INTEGER of at most 32 value bytes, non-zero, left-padded.
bool ReadScalar(std::string_view der, std::size_t* at, std::uint8_t* out32) {
  std::string_view value;
  if (!ReadElement(der, at, 0x02, &value) || value.empty()) return false;
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(value[k]); };
  if (byte(0) & 0x80) return false;  // negative
  if (byte(0) == 0x00) {
    if (value.size() == 1) return false;       // zero
    if (!(byte(1) & 0x80)) return false;       // a leading zero that is not needed
    value.remove_prefix(1);
  }
  if (value.size() > 32) return false;
  std::memset(out32, 0, 32);
  std::memcpy(out32 + (32 - value.size()), value.data(), value.size());
  return true;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict base64 of the PEM body: white space between groups is skipped;
// padding only at the very end; pad bits must be zero.
bool DecodeBase64(std::string_view text, std::string* out) {
  std::string symbols;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    symbols.push_back(c);
  }
  if (symbols.empty() || symbols.size() % 4 != 0) return false;
  out->clear();
  for (std::size_t g = 0; g < symbols.size(); g += 4) {
    const bool last = g + 4 == symbols.size();
    int v[4];
    int pads = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = symbols[g + k];
      if (c == '=') {
        // '=' only in the last group, only as its last one or two symbols.
        if (!last || k < 2) return false;
        v[k] = 0;
        ++pads;
        continue;
      }
      if (pads > 0) return false;
      v[k] = Base64Value(c);
      if (v[k] < 0) return false;
    }
    const unsigned bits = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out->push_back(static_cast<char>((bits >> 16) & 0xFF));
    if (pads < 2) out->push_back(static_cast<char>((bits >> 8) & 0xFF));
    if (pads < 1) out->push_back(static_cast<char>(bits & 0xFF));
    if ((pads == 1 && (bits & 0xFF) != 0) || (pads == 2 && (bits & 0xFFFF) != 0)) return false;
  }
  return true;
}

// The line [begin, end) of `text` without its CR, for the PEM markers.
std::string_view LineAt(std::string_view text, std::size_t begin, std::size_t* next) {
  std::size_t end = text.find('\n', begin);
  if (end == std::string_view::npos) end = text.size();
  *next = end < text.size() ? end + 1 : end;
  std::string_view line = text.substr(begin, end - begin);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

constexpr std::string_view kBegin = "-----BEGIN PUBLIC KEY-----";
constexpr std::string_view kEnd = "-----END PUBLIC KEY-----";
// AlgorithmIdentifier content: id-ecPublicKey (1.2.840.10045.2.1) and
// prime256v1 (1.2.840.10045.3.1.7).
constexpr unsigned char kEcAlgorithm[] = {0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
                                          0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

int HexValue(wchar_t c, bool upper) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (!upper && c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (upper && c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

}  // namespace

bool ParseSpkiP256PublicKey(std::string_view der, Platform::EcP256PublicKey* key) {
  std::size_t at = 0;
  std::string_view spki;
  if (!ReadElement(der, &at, 0x30, &spki) || at != der.size()) return false;
  std::size_t inner = 0;
  std::string_view algorithm;
  std::string_view bits;
  if (!ReadElement(spki, &inner, 0x30, &algorithm) || !ReadElement(spki, &inner, 0x03, &bits) ||
      inner != spki.size())
    return false;
  if (algorithm.size() != sizeof kEcAlgorithm || std::memcmp(algorithm.data(), kEcAlgorithm, sizeof kEcAlgorithm) != 0)
    return false;
  // No unused bits, then the uncompressed point 0x04 || X || Y.
  if (bits.size() != 66 || bits[0] != 0x00 || bits[1] != 0x04) return false;
  std::memcpy(key->x.data(), bits.data() + 2, 32);
  std::memcpy(key->y.data(), bits.data() + 34, 32);
  return true;
}

bool ParsePemP256PublicKey(std::string_view pem, Platform::EcP256PublicKey* key) {
  if (pem.size() > kMaxPublicKeyPemBytes) return false;
  std::size_t at = 0;
  std::size_t bodyBegin = std::string_view::npos;
  std::size_t bodyEnd = std::string_view::npos;
  while (at < pem.size()) {
    const std::size_t lineBegin = at;
    const std::string_view line = LineAt(pem, lineBegin, &at);
    if (bodyBegin == std::string_view::npos) {
      if (line == kBegin) bodyBegin = at;
      continue;
    }
    if (line.substr(0, 5) == "-----") {
      if (line != kEnd) return false;  // another block inside this one
      bodyEnd = lineBegin;
      break;
    }
  }
  if (bodyBegin == std::string_view::npos || bodyEnd == std::string_view::npos) return false;
  std::string der;
  return DecodeBase64(pem.substr(bodyBegin, bodyEnd - bodyBegin), &der) && ParseSpkiP256PublicKey(der, key);
}

bool ParseDerEcdsaSignature(std::string_view der, Platform::EcP256Signature* rs) {
  if (der.size() > kMaxSignatureBytes) return false;
  std::size_t at = 0;
  std::string_view sequence;
  if (!ReadElement(der, &at, 0x30, &sequence) || at != der.size()) return false;
  std::size_t inner = 0;
  Platform::EcP256Signature parsed{};
  if (!ReadScalar(sequence, &inner, parsed.data()) || !ReadScalar(sequence, &inner, parsed.data() + 32) ||
      inner != sequence.size())
    return false;
  *rs = parsed;
  return true;
}

std::string EncodeDerEcdsaSignature(const Platform::EcP256Signature& rs) {
  std::string body;
  for (int half = 0; half < 2; ++half) {
    const std::uint8_t* value = rs.data() + 32 * half;
    std::size_t skip = 0;
    while (skip < 31 && value[skip] == 0) ++skip;
    std::string integer(reinterpret_cast<const char*>(value + skip), 32 - skip);
    if (static_cast<unsigned char>(integer[0]) & 0x80) integer.insert(integer.begin(), '\0');
    body.push_back(0x02);
    body.push_back(static_cast<char>(integer.size()));
    body += integer;
  }
  std::string out;
  out.push_back(0x30);
  out.push_back(static_cast<char>(body.size()));  // at most 70: short form
  return out + body;
}

bool ParseSha256Hex(std::wstring_view text, Platform::Sha256Digest* digest) {
  if (text.size() != 64) return false;
  // The case of the first letter decides the case of all.
  bool upper = false;
  for (const wchar_t c : text) {
    if (c >= L'A' && c <= L'F') {
      upper = true;
      break;
    }
    if (c >= L'a' && c <= L'f') break;
  }
  Platform::Sha256Digest parsed{};
  for (std::size_t i = 0; i < 32; ++i) {
    const int high = HexValue(text[2 * i], upper);
    const int low = HexValue(text[2 * i + 1], upper);
    if (high < 0 || low < 0) return false;
    parsed[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  *digest = parsed;
  return true;
}

std::wstring FormatSha256Hex(const Platform::Sha256Digest& digest) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring out;
  out.reserve(64);
  for (const std::uint8_t b : digest) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0xF]);
  }
  return out;
}

bool ParseDecimalSize(std::wstring_view text, std::uint64_t* size) {
  if (text.empty() || text.size() > 20) return false;
  if (text.size() > 1 && text[0] == L'0') return false;
  std::uint64_t value = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - L'0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *size = value;
  return true;
}

void ReadDeclaredFileFacts(std::wstring_view size, std::wstring_view sha256, CFileData* entry) {
  entry->SizeDeclared = false;
  entry->Sha256Declared = false;
  entry->DeclarationMalformed = false;
  if (!size.empty()) {
    entry->SizeDeclared = ParseDecimalSize(size, &entry->Size);
    entry->DeclarationMalformed = !entry->SizeDeclared;
  }
  if (!sha256.empty()) {
    entry->Sha256Declared = ParseSha256Hex(sha256, &entry->Sha256);
    entry->DeclarationMalformed = entry->DeclarationMalformed || !entry->Sha256Declared;
  }
}

bool ParseManifestSerial(std::wstring_view text, std::uint64_t* serial) {
  std::uint64_t value = 0;
  if (!ParseDecimalSize(text, &value) || value == 0) return false;
  *serial = value;
  return true;
}

namespace {

// `count` ASCII digits of `text` at `at` as a number; false for anything else.
bool ReadDigits(std::wstring_view text, std::size_t at, std::size_t count, std::uint16_t* value) {
  std::uint16_t result = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
    result = static_cast<std::uint16_t>(result * 10 + (text[i] - L'0'));
  }
  *value = result;
  return true;
}

}  // namespace

bool ParseUtcTime(std::wstring_view text, std::uint64_t* fileTime) {
  // YYYY-MM-DDTHH:MM:SSZ
  if (text.size() != 20 || text[4] != L'-' || text[7] != L'-' || text[10] != L'T' || text[13] != L':' ||
      text[16] != L':' || text[19] != L'Z')
    return false;
  Platform::SystemTime fields;
  if (!ReadDigits(text, 0, 4, &fields.year) || !ReadDigits(text, 5, 2, &fields.month) ||
      !ReadDigits(text, 8, 2, &fields.day) || !ReadDigits(text, 11, 2, &fields.hour) ||
      !ReadDigits(text, 14, 2, &fields.minute) || !ReadDigits(text, 17, 2, &fields.second))
    return false;
  return Platform::FieldsToFileTime(fields, fileTime);
}

std::wstring FormatUtcTime(std::uint64_t fileTime) {
  Platform::SystemTime f;
  if (!Platform::FileTimeToFields(fileTime, &f) || f.year > 9999) return L"?";
  wchar_t text[32];
  std::swprintf(text, 32, L"%04u-%02u-%02uT%02u:%02u:%02uZ", unsigned(f.year), unsigned(f.month), unsigned(f.day),
                unsigned(f.hour), unsigned(f.minute), unsigned(f.second));
  return text;
}
