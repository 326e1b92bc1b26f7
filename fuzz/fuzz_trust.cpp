// Fuzz target: arbitrary bytes as a DER signature, a PEM public key, the
// "size" and "sha256" attribute texts and an update list carrying them. What
// a parser accepts must be in the strict form: it writes back byte for byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/folder_table.h"
#include "manifest/trust_formats.h"
#include "manifest/update_list.h"
#include "manifest/update_trust.h"
#include "xml/xml_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  Platform::EcP256Signature rs{};
  if (ParseDerEcdsaSignature(bytes, &rs) && EncodeDerEcdsaSignature(rs) != bytes) __builtin_trap();

  Platform::EcP256PublicKey key{};
  const bool pem = ParsePemP256PublicKey(bytes, &key);
  const CUpdateKey parsed = UpdateKeyFromPem(bytes);
  // Several blocks may make a key list; a single block reads as ParsePem reads it.
  if (parsed.state == UpdateKeyState::Keyed && (parsed.keys.empty() || parsed.keys.size() > kMaxUpdateKeys))
    __builtin_trap();
  if (pem && parsed.state == UpdateKeyState::Keyed && (parsed.keys[0].x != key.x || parsed.keys[0].y != key.y))
    __builtin_trap();
  if (pem) (void)VerifyDocumentSignature(parsed, bytes, bytes);

  // Attribute texts: each byte one unit, as the document hands them over.
  std::wstring text(bytes.begin(), bytes.end());
  for (wchar_t& c : text) c = static_cast<wchar_t>(static_cast<unsigned char>(c));
  Platform::Sha256Digest digest{};
  if (ParseSha256Hex(text, &digest)) {
    std::wstring lower = text;
    for (wchar_t& c : lower) {
      if (c >= L'A' && c <= L'F') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    if (FormatSha256Hex(digest) != lower) __builtin_trap();
  }
  std::uint64_t value = 0;
  if (ParseDecimalSize(text, &value) && std::to_wstring(value) != text) __builtin_trap();

  // The same texts inside an update list, both attributes at once.
  CFileData entry;
  ReadDeclaredFileFacts(text, text, &entry);
  // No text is both a size (at most 20 digits) and a hash (64 digits).
  if (!text.empty() && !entry.DeclarationMalformed) __builtin_trap();
  CXmlDocument document;
  (void)document.SetText(L"<update><module filename=\"a\" size=\"" + text + L"\" sha256=\"" + text + L"\"/></update>");
  FileDataArray entries;
  ParseUpdateList(document, entries);
  for (const auto& e : entries) {
    CDownloadCheck check(*e);
    (void)check.Add(data, size);
    (void)check.Finish();
    (void)CheckEntryDeclarations(*e, true);
  }
  return 0;
}
