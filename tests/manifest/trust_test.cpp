// The trust data as the updater reads it: DER signatures, the PEM public
// key, the "size" and "sha256" attributes, signature verification against
// signatures made by `openssl dgst -sha256 -sign` (tests/fixtures/trust), and
// the check of a downloaded file against its entry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/folder_table.h"
#include "common/test_files.h"
#include "manifest/trust_formats.h"
#include "manifest/update_list.h"
#include "manifest/update_trust.h"
#include "platform/text.h"
#include "xml/xml_document.h"

namespace {

std::string FromHex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string Fixture(const std::string& name) {
  std::string bytes;
  EXPECT_TRUE(TestFiles::ReadBytes(TestFiles::FixturePath("trust/" + name), &bytes)) << name;
  return bytes;
}

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back(i + 2 < bytes.size() ? kAlphabet[v & 63] : '=');
  }
  return out;
}

std::string Pem(const std::string& der) {
  return "-----BEGIN PUBLIC KEY-----\n" + Base64(der) + "\n-----END PUBLIC KEY-----\n";
}

// 32 bytes of `byte` as hex.
std::string Fill(const char* byte) {
  std::string out;
  for (int i = 0; i < 32; ++i) out += byte;
  return out;
}

TEST(TrustFormats, DerSignatures) {
  // The three lengths openssl writes (no, one and two leading zero bytes)
  // parse and encode back to the same bytes.
  for (const char* name : {"update.xml.sig", "update-71.sig", "update-72.sig"}) {
    const std::string der = Fixture(name);
    Platform::EcP256Signature rs{};
    ASSERT_TRUE(ParseDerEcdsaSignature(der, &rs)) << name;
    EXPECT_EQ(EncodeDerEcdsaSignature(rs), der) << name;
  }
  const std::string r = "02" "20" + Fill("11");
  const std::string s = "02" "20" + Fill("22");
  const struct {
    const char* what;
    std::string hex;
    bool ok;
  } rows[] = {
      {"plain", "30" "44" + r + s, true},
      {"short values are left-padded", "30" "06" "020101" "02017f", true},
      {"value with its needed zero", "30" "45" "02" "21" "00" + Fill("80") + s, true},
      {"empty", "", false},
      {"only the tag", "30", false},
      {"not a SEQUENCE", "31" "44" + r + s, false},
      {"SET of integers", "31" "06" "020101" "020101", false},
      {"indefinite length", "30" "80" + r + s + "0000", false},
      {"long form where the short one fits", "30" "81" "44" + r + s, false},
      {"length past the end", "30" "45" + r + s, false},
      {"length short of the content", "30" "43" + r + s, false},
      {"a byte after the SEQUENCE", "30" "44" + r + s + "00", false},
      {"a third INTEGER", "30" "47" + r + s + "020101", false},
      {"s missing", "30" "22" + r, false},
      {"BIT STRING instead of INTEGER", "30" "44" "03" "20" + Fill("11") + s, false},
      {"negative r", "30" "06" "020180" "020101", false},
      {"zero r", "30" "06" "020100" "020101", false},
      {"zero s", "30" "06" "020101" "020100", false},
      {"empty INTEGER", "30" "05" "0200" "020101", false},
      {"unneeded leading zero", "30" "07" "02020001" "020101", false},
      {"33 value bytes", "30" "46" "02" "22" "00" "01" + Fill("80") + s, false},
      {"INTEGER length past the SEQUENCE", "30" "06" "020501" "020101", false},
      {"73 bytes", "30" "47" "02" "21" "00" + Fill("80") + "02" "22" "00" + Fill("80") + "00", false},
  };
  for (const auto& row : rows) {
    Platform::EcP256Signature rs{};
    EXPECT_EQ(ParseDerEcdsaSignature(FromHex(row.hex), &rs), row.ok) << row.what;
  }
  Platform::EcP256Signature rs{};
  ASSERT_TRUE(ParseDerEcdsaSignature(FromHex("3006020101" "02017f"), &rs));
  EXPECT_EQ(rs[31], 1);
  EXPECT_EQ(rs[63], 0x7f);
  EXPECT_EQ(rs[0], 0);
}

TEST(TrustFormats, PemPublicKeys) {
  const std::string fixture = Fixture("signing-key.pub.pem");
  Platform::EcP256PublicKey key{};
  ASSERT_TRUE(ParsePemP256PublicKey(fixture, &key));
  // The fixture's point, as `openssl ec -pubin -text` shows it.
  const std::string prefix = "3059301306072a8648ce3d020106082a8648ce3d030107034200";
  const std::string point = "04" + Fill("5a") + Fill("a5");
  const std::string good = FromHex(prefix + point);
  std::string crlf;
  for (const char c : Pem(good)) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  std::string folded = "-----BEGIN PUBLIC KEY-----\n";
  const std::string body = Base64(good);
  for (std::size_t i = 0; i < body.size(); i += 64) folded += body.substr(i, 64) + "\n";
  folded += "-----END PUBLIC KEY-----";
  const struct {
    const char* what;
    std::string pem;
    bool ok;
  } rows[] = {
      {"one line", Pem(good), true},
      {"CR LF", crlf, true},
      {"64-column lines, no final line end", folded, true},
      {"explanation before and after", "Publisher key 2024\n" + Pem(good) + "trailer\n", true},
      {"no END line", "-----BEGIN PUBLIC KEY-----\n" + Base64(good) + "\n", false},
      {"no BEGIN line", Base64(good) + "\n-----END PUBLIC KEY-----\n", false},
      {"another label", "-----BEGIN EC PUBLIC KEY-----\n" + Base64(good) + "\n-----END EC PUBLIC KEY-----\n", false},
      {"a private key", Fixture("signing-key.pem"), false},
      {"a block inside", "-----BEGIN PUBLIC KEY-----\n-----BEGIN PUBLIC KEY-----\n" + Base64(good) +
                             "\n-----END PUBLIC KEY-----\n", false},
      {"empty body", "-----BEGIN PUBLIC KEY-----\n-----END PUBLIC KEY-----\n", false},
      {"a character outside base64", Pem(good).replace(40, 1, "*"), false},
      {"padding in the middle", "-----BEGIN PUBLIC KEY-----\nAA==" + Base64(good) + "\n-----END PUBLIC KEY-----\n",
       false},
      {"one symbol missing", "-----BEGIN PUBLIC KEY-----\n" + Base64(good).substr(1) + "\n-----END PUBLIC KEY-----\n",
       false},
      {"point compressed", Pem(FromHex("3039301306072a8648ce3d020106082a8648ce3d030107032200" "02" + Fill("5a"))), false},
      {"secp384r1 curve", Pem(FromHex("3059301306072a8648ce3d020106052b81040022" "034200" + point)), false},
      {"RSA algorithm", Pem(FromHex("305b300d06092a864886f70d0101010500034a00" + point)), false},
      {"unused bits in the BIT STRING", Pem(FromHex(prefix.substr(0, prefix.size() - 2) + "01" + point)), false},
      {"point one byte short", Pem(FromHex("3058301306072a8648ce3d020106082a8648ce3d030107034100" + point.substr(2))),
       false},
      {"a byte after the key", Pem(good + std::string(1, '\0')), false},
      {"oversized", std::string(kMaxPublicKeyPemBytes, ' ') + Pem(good), false},
  };
  for (const auto& row : rows) {
    Platform::EcP256PublicKey parsed{};
    const bool ok = ParsePemP256PublicKey(row.pem, &parsed);
    EXPECT_EQ(ok, row.ok) << row.what;
    if (ok) {
      EXPECT_EQ(parsed.x[0], 0x5a) << row.what;
      EXPECT_EQ(parsed.y[31], 0xa5) << row.what;
    }
  }
  // Non-zero pad bits: the symbol before "==" carries 4 bits that must be 0.
  std::string padded = Pem(good);
  const std::size_t pad = padded.find("==");
  ASSERT_NE(pad, std::string::npos);
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  padded[pad - 1] = alphabet[alphabet.find(padded[pad - 1]) ^ 1];
  Platform::EcP256PublicKey ignored{};
  EXPECT_FALSE(ParsePemP256PublicKey(padded, &ignored));
}

TEST(TrustFormats, HashAndSizeAttributes) {
  const std::wstring lower = L"79942ae244d7e887037881e8867534d5997dbf314f4c857370e91a030ab0de68";
  std::wstring upper = lower;
  for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
  const struct {
    const wchar_t* what;
    std::wstring text;
    bool ok;
  } hashes[] = {
      {L"lower case", lower, true},
      {L"upper case", upper, true},
      {L"mixed case", L"79942AE244d7e887037881e8867534d5997dbf314f4c857370e91a030ab0de68", false},
      {L"63 digits", lower.substr(1), false},
      {L"65 digits", lower + L"0", false},
      {L"prefix", L"0x" + lower.substr(2), false},
      {L"space", L" " + lower.substr(1), false},
      {L"not a digit", L"g" + lower.substr(1), false},
      {L"wide digit", L"\xFF10" + lower.substr(1), false},
      {L"empty", L"", false},
  };
  for (const auto& row : hashes) {
    Platform::Sha256Digest digest{};
    const bool ok = ParseSha256Hex(row.text, &digest);
    EXPECT_EQ(ok, row.ok) << Platform::ToUtf8(row.what);
    if (ok) EXPECT_EQ(FormatSha256Hex(digest), lower) << Platform::ToUtf8(row.what);
  }
  const struct {
    const wchar_t* text;
    bool ok;
    std::uint64_t value;
  } sizes[] = {
      {L"0", true, 0},
      {L"1024", true, 1024},
      {L"18446744073709551615", true, UINT64_MAX},
      {L"18446744073709551616", false, 0},
      {L"99999999999999999999", false, 0},
      {L"000000000000000000001", false, 0},
      {L"007", false, 0},
      {L"-1", false, 0},
      {L"+1", false, 0},
      {L" 12", false, 0},
      {L"12 ", false, 0},
      {L"1e3", false, 0},
      {L"0x10", false, 0},
      {L"", false, 0},
  };
  for (const auto& row : sizes) {
    std::uint64_t value = 0;
    EXPECT_EQ(ParseDecimalSize(row.text, &value), row.ok) << Platform::ToUtf8(row.text);
    if (row.ok) EXPECT_EQ(value, row.value);
  }
}

TEST(TrustFormats, UpdateListAttributes) {
  SetModuleDir(GetFolderTable(), L"D:\\Suite");
  const std::wstring hash = L"79942ae244d7e887037881e8867534d5997dbf314f4c857370e91a030ab0de68";
  const struct {
    const char* what;
    std::wstring attributes;
    bool sizeDeclared, hashDeclared, malformed;
    std::uint64_t size;
  } rows[] = {
      {"both", L"size=\"237\" sha256=\"" + hash + L"\"", true, true, false, 237},
      {"neither (old tree)", L"", false, false, false, 0},
      {"empty values read as absent", L"size=\"\" sha256=\"\"", false, false, false, 0},
      {"size only", L"size=\"0\"", true, false, false, 0},
      {"unknown attributes ignored", L"signer=\"x\" sha512=\"y\" size=\"5\"", true, false, false, 5},
      {"size with a sign", L"size=\"-5\" sha256=\"" + hash + L"\"", false, true, true, 0},
      {"short hash", L"size=\"5\" sha256=\"" + hash.substr(2) + L"\"", true, false, true, 5},
      {"names are case-sensitive", L"SIZE=\"5\" Sha256=\"zz\"", false, false, false, 0},
  };
  for (const auto& row : rows) {
    CXmlDocument document;
    (void)document.SetText(L"<update><module filename=\"a.dll\" version=\"1.0.0.0\" datetime=\"202401010000\" " +
                           row.attributes + L"/></update>");
    FileDataArray entries;
    ParseUpdateList(document, entries);
    ASSERT_EQ(entries.size(), 1u) << row.what;
    const CFileData& e = *entries[0];
    EXPECT_EQ(e.FileName, L"a.dll") << row.what;
    EXPECT_EQ(e.SizeDeclared, row.sizeDeclared) << row.what;
    EXPECT_EQ(e.Sha256Declared, row.hashDeclared) << row.what;
    EXPECT_EQ(e.DeclarationMalformed, row.malformed) << row.what;
    EXPECT_EQ(e.Size, row.size) << row.what;
    if (row.hashDeclared) EXPECT_EQ(FormatSha256Hex(e.Sha256), hash) << row.what;
    // A copy keeps the facts (entries are passed to the download by value).
    const CFileData copy = e;
    EXPECT_EQ(copy.Sha256, e.Sha256);
    EXPECT_EQ(CheckEntryDeclarations(e, false), row.malformed ? EntryDeclarations::Malformed : EntryDeclarations::Usable)
        << row.what;
    const EntryDeclarations keyed = row.malformed ? EntryDeclarations::Malformed
                                    : row.sizeDeclared && row.hashDeclared ? EntryDeclarations::Usable
                                                                           : EntryDeclarations::Missing;
    EXPECT_EQ(CheckEntryDeclarations(e, true), keyed) << row.what;
  }
}

TEST(UpdateTrust, SignaturesMadeByOpenssl) {
  const std::string document = Fixture("update.xml");
  const CUpdateKey key = UpdateKeyFromPem(Fixture("signing-key.pub.pem"));
  ASSERT_EQ(key.state, UpdateKeyState::Keyed);
  ASSERT_TRUE(key.RequiresSignatures());
  const CUpdateKey other = UpdateKeyFromPem(Fixture("other-key.pub.pem"));
  ASSERT_EQ(other.state, UpdateKeyState::Keyed);
  for (const char* name : {"update.xml.sig", "update-71.sig", "update-72.sig"}) {
    std::uint32_t error = 1;
    EXPECT_EQ(VerifyDocumentSignature(key, document, Fixture(name), &error), DocumentTrust::Trusted) << name;
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(VerifyDocumentSignature(other, document, Fixture(name)), DocumentTrust::SignatureMismatch) << name;
  }
  const std::string signature = Fixture("update.xml.sig");
  std::string changed = document;
  changed[changed.find("Orrery")] = 'o';
  std::string flipped = signature;
  flipped[10] = static_cast<char>(flipped[10] ^ 0x01);
  Platform::EcP256Signature rs{};
  ASSERT_TRUE(ParseDerEcdsaSignature(signature, &rs));
  Platform::EcP256Signature swapped{};
  std::copy(rs.begin() + 32, rs.end(), swapped.begin());
  std::copy(rs.begin(), rs.begin() + 32, swapped.begin() + 32);
  // r = the group order n: out of range, must never verify.
  Platform::EcP256Signature order = rs;
  const std::string n = FromHex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
  std::copy(n.begin(), n.end(), order.begin());
  const struct {
    const char* what;
    std::string document, signature;
    DocumentTrust trust;
  } rows[] = {
      {"one byte of the document changed", changed, signature, DocumentTrust::SignatureMismatch},
      {"a byte appended to the document", document + " ", signature, DocumentTrust::SignatureMismatch},
      {"a bit of r flipped", document, flipped, DocumentTrust::SignatureMismatch},
      {"r and s swapped", document, EncodeDerEcdsaSignature(swapped), DocumentTrust::SignatureMismatch},
      {"r = n", document, EncodeDerEcdsaSignature(order), DocumentTrust::SignatureMismatch},
      {"empty signature file", document, "", DocumentTrust::SignatureMalformed},
      {"signature as hex text", document, "3044022009bc", DocumentTrust::SignatureMalformed},
      {"signature with a line end", document, signature + "\n", DocumentTrust::SignatureMalformed},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(VerifyDocumentSignature(key, row.document, row.signature), row.trust) << row.what;
  }
  // Without a usable key nothing is trusted.
  EXPECT_EQ(VerifyDocumentSignature(CUpdateKey(), document, signature), DocumentTrust::KeyBroken);
  const CUpdateKey broken = UpdateKeyFromPem("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n");
  EXPECT_EQ(broken.state, UpdateKeyState::Broken);
  EXPECT_TRUE(broken.RequiresSignatures());
  EXPECT_EQ(VerifyDocumentSignature(broken, document, signature), DocumentTrust::KeyBroken);
  // A point that is not on the curve is never trusted.
  CUpdateKey offCurve = key;
  offCurve.keys[0].y[31] ^= 1;
  EXPECT_NE(VerifyDocumentSignature(offCurve, document, signature), DocumentTrust::Trusted);
  // Several keys, one PEM block after another: a signature by any of them
  // counts; one bad block, or too many, and nothing does.
  const std::string signing = Fixture("signing-key.pub.pem"), another = Fixture("other-key.pub.pem");
  std::string nine;
  for (int i = 0; i < 9; ++i) nine += another;
  const struct {
    const char* what;
    std::string pem;
    UpdateKeyState state;
    std::size_t keys;
    DocumentTrust trust;
  } keyRows[] = {
      {"the signer second", "comment\n" + another + "between\n" + signing + "after", UpdateKeyState::Keyed, 2,
       DocumentTrust::Trusted},
      {"the signer first", signing + another, UpdateKeyState::Keyed, 2, DocumentTrust::Trusted},
      {"neither signed", another + another, UpdateKeyState::Keyed, 2, DocumentTrust::SignatureMismatch},
      {"a broken block after the signer", signing + "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n",
       UpdateKeyState::Broken, 0, DocumentTrust::KeyBroken},
      {"nine keys", nine, UpdateKeyState::Broken, 0, DocumentTrust::KeyBroken},
      {"no block at all", "just text", UpdateKeyState::Broken, 0, DocumentTrust::KeyBroken},
  };
  for (const auto& row : keyRows) {
    const CUpdateKey several = UpdateKeyFromPem(row.pem);
    EXPECT_EQ(several.state, row.state) << row.what;
    EXPECT_EQ(several.keys.size(), row.keys) << row.what;
    EXPECT_EQ(VerifyDocumentSignature(several, document, signature), row.trust) << row.what;
  }
  EXPECT_EQ(SignaturePathOf(L"/update/viewer/UpdateList.xml"), L"/update/viewer/UpdateList.xml.sig");
}

TEST(UpdateTrust, DownloadCheck) {
  const std::string body = "0123456789";  // 10 bytes
  Platform::Sha256Digest bodyHash{};
  ASSERT_TRUE(Platform::Sha256Of(body.data(), body.size(), &bodyHash));
  Platform::Sha256Digest otherHash = bodyHash;
  otherHash[0] ^= 1;
  const struct {
    const char* what;
    bool sizeDeclared;
    std::uint64_t size;
    bool hashDeclared;
    bool rightHash;
    std::string received;
    std::size_t refusedAt;  // index of the first piece Add refuses; npos = none
    FileVerdict verdict;
  } rows[] = {
      {"nothing declared", false, 0, false, false, body, std::string::npos, FileVerdict::Match},
      {"both hold", true, 10, true, true, body, std::string::npos, FileVerdict::Match},
      {"same size, other bytes", true, 10, true, true, "012345678X", std::string::npos, FileVerdict::HashMismatch},
      {"hash only, other bytes", false, 0, true, true, "0123", std::string::npos, FileVerdict::HashMismatch},
      {"declared hash differs", true, 10, true, false, body, std::string::npos, FileVerdict::HashMismatch},
      {"short body", true, 10, true, true, "01234", std::string::npos, FileVerdict::SizeMismatch},
      {"size only, short body", true, 11, false, false, body, std::string::npos, FileVerdict::SizeMismatch},
      {"body runs past the size", true, 4, true, true, body, 1, FileVerdict::SizeMismatch},
      {"declared empty, one byte", true, 0, false, false, "x", 0, FileVerdict::SizeMismatch},
      {"declared empty, nothing", true, 0, false, false, "", std::string::npos, FileVerdict::Match},
  };
  for (const auto& row : rows) {
    CFileData entry(L"vireo viewer", L"bin\\core.dll", L"", L"", L"D:\\Suite");
    entry.SizeDeclared = row.sizeDeclared;
    entry.Size = row.size;
    entry.Sha256Declared = row.hashDeclared;
    entry.Sha256 = row.rightHash ? bodyHash : otherHash;
    CDownloadCheck check(entry);
    // Pieces of 3 bytes, as reads arrive.
    std::size_t refusedAt = std::string::npos;
    for (std::size_t i = 0, piece = 0; i < row.received.size(); i += 3, ++piece) {
      const std::string part = row.received.substr(i, 3);
      if (!check.Add(part.data(), part.size()) && refusedAt == std::string::npos) refusedAt = piece;
    }
    EXPECT_EQ(refusedAt, row.refusedAt) << row.what;
    const FileCheckResult result = check.Finish();
    EXPECT_EQ(result.verdict, row.verdict) << row.what;
    EXPECT_EQ(result.overrun, row.refusedAt != std::string::npos) << row.what;
    if (!result.overrun) {
      EXPECT_EQ(result.receivedSize, row.received.size()) << row.what;
      Platform::Sha256Digest expected{};
      ASSERT_TRUE(Platform::Sha256Of(row.received.data(), row.received.size(), &expected));
      EXPECT_EQ(result.receivedHash, expected) << row.what;
    }
  }
  // A large file is hashed on a thread beside the transfer: the same
  // verdicts, over more bytes than may wait to be hashed.
  const std::string big(CDownloadCheck::kPipedHashBytes + CPipedSha256::kMaxQueuedBytes + 5, 'v');
  Platform::Sha256Digest bigHash{};
  ASSERT_TRUE(Platform::Sha256Of(big.data(), big.size(), &bigHash));
  const struct {
    const char* what;
    std::size_t otherByteAt;  // npos: the published bytes
    std::size_t extra;        // bytes past the declared size
    FileVerdict verdict;
  } bigRows[] = {
      {"large, whole", std::string::npos, 0, FileVerdict::Match},
      {"large, one byte other", 4321, 0, FileVerdict::HashMismatch},
      {"large, past the size", std::string::npos, 1, FileVerdict::SizeMismatch},
  };
  for (const auto& row : bigRows) {
    CFileData entry(L"vireo viewer", L"bin\\core.dll", L"", L"", L"D:\\Suite");
    entry.SizeDeclared = entry.Sha256Declared = true;
    entry.Size = big.size();
    entry.Sha256 = bigHash;
    std::string received = big + std::string(row.extra, 'v');
    if (row.otherByteAt != std::string::npos) received[row.otherByteAt] = 'w';
    CDownloadCheck check(entry);
    for (std::size_t at = 0; at < received.size(); at += 256 * 1024) {
      (void)check.Add(received.data() + at, std::min<std::size_t>(256 * 1024, received.size() - at));
    }
    EXPECT_EQ(check.Finish().verdict, row.verdict) << row.what;
  }

  CFileData entry(L"vireo viewer", L"bin\\core.dll", L"", L"", L"D:\\Suite");
  entry.SizeDeclared = entry.Sha256Declared = true;
  entry.Size = 10;
  entry.Sha256 = bodyHash;
  CDownloadCheck check(entry);
  ASSERT_TRUE(check.Add("012345678X", 10));
  const FileCheckResult result = check.Finish();
  EXPECT_EQ(DescribeFileMismatch(entry, result),
            L"bin\\core.dll : the downloaded file does not match its entry: expected size 10 sha256 " +
                FormatSha256Hex(bodyHash) + L", received size 10 sha256 " + FormatSha256Hex(result.receivedHash));
  CDownloadCheck overrun(entry);
  EXPECT_FALSE(overrun.Add("0123456789ab", 12));
  EXPECT_FALSE(overrun.Add("c", 1));
  EXPECT_EQ(DescribeFileMismatch(entry, overrun.Finish()),
            L"bin\\core.dll : the downloaded file does not match its entry: expected size 10 sha256 " +
                FormatSha256Hex(bodyHash) + L", received size 12 or more sha256 -");
}

TEST(UpdateTrust, AnExecutableWithoutTheKeyResourceIsUnkeyed) {
  const CUpdateKey key = LoadUpdateKey();
  EXPECT_EQ(key.state, UpdateKeyState::Unkeyed);
  EXPECT_FALSE(key.RequiresSignatures());
}

}  // namespace
