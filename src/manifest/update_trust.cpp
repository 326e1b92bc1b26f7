#include "manifest/update_trust.h"

#include "manifest/trust_formats.h"
#include "manifest/update_list.h"
#include "manifest/update_manifest.h"

std::wstring SignaturePathOf(const std::wstring& documentPath) { return documentPath + L".sig"; }

CUpdateKey UpdateKeyFromPem(std::string_view pem) {
  static constexpr std::string_view kEnd = "-----END PUBLIC KEY-----";
  CUpdateKey key;
  key.state = UpdateKeyState::Broken;
  if (pem.size() > kMaxUpdateKeys * kMaxPublicKeyPemBytes) return key;
  // One block at a time: each piece runs to the end of its END line, so
  // that text between blocks belongs to the block after it; text after the
  // last block is allowed, as it is after a single one.
  std::size_t at = 0;
  while (pem.find("-----BEGIN", at) != std::string_view::npos) {
    const std::size_t end = pem.find(kEnd, at);
    std::size_t next = end == std::string_view::npos ? pem.size() : end + kEnd.size();
    while (next < pem.size() && (pem[next] == '\r' || pem[next] == '\n')) ++next;
    Platform::EcP256PublicKey one;
    if (key.keys.size() == kMaxUpdateKeys || !ParsePemP256PublicKey(pem.substr(at, next - at), &one)) {
      key.keys.clear();
      return key;
    }
    key.keys.push_back(one);
    at = next;
  }
  if (!key.keys.empty()) key.state = UpdateKeyState::Keyed;
  return key;
}

DocumentTrust VerifyDocumentSignature(const CUpdateKey& key, std::string_view document, std::string_view signature,
                                      std::uint32_t* error) {
  if (error) *error = 0;
  if (key.state != UpdateKeyState::Keyed || key.keys.empty()) return DocumentTrust::KeyBroken;
  Platform::EcP256Signature rs{};
  if (!ParseDerEcdsaSignature(signature, &rs)) return DocumentTrust::SignatureMalformed;
  // A provider failure with one key is reported only when no key verifies.
  bool failed = false;
  for (const Platform::EcP256PublicKey& one : key.keys) {
    std::uint32_t status = 0;
    switch (Platform::VerifyEcdsaP256Sha256(one, document.data(), document.size(), rs, &status)) {
      case Platform::SignatureCheck::Valid:
        if (error) *error = 0;
        return DocumentTrust::Trusted;
      case Platform::SignatureCheck::Invalid: break;
      case Platform::SignatureCheck::Failed:
        if (!failed && error) *error = status;
        failed = true;
        break;
    }
  }
  return failed ? DocumentTrust::CheckFailed : DocumentTrust::SignatureMismatch;
}

std::wstring DescribeDocumentTrust(DocumentTrust trust) {
  switch (trust) {
    case DocumentTrust::Trusted: return L"the signature is valid";
    case DocumentTrust::SignatureMalformed: return L"the signature file is not an ECDSA P-256 signature";
    case DocumentTrust::SignatureMismatch: return L"the signature does not match the document and the updater's key";
    case DocumentTrust::KeyBroken: return L"the updater's public key resource is unreadable";
    case DocumentTrust::CheckFailed: return L"the signature could not be checked";
  }
  return std::wstring();
}

EntryDeclarations CheckEntryDeclarations(const CFileData& entry, bool keyed) {
  if (entry.DeclarationMalformed) return EntryDeclarations::Malformed;
  if (keyed && (!entry.SizeDeclared || !entry.Sha256Declared)) return EntryDeclarations::Missing;
  return EntryDeclarations::Usable;
}

CDownloadCheck::CDownloadCheck(const CFileData& entry)
    : sizeDeclared_(entry.SizeDeclared),
      hashDeclared_(entry.Sha256Declared),
      size_(entry.Size),
      hash_(entry.Sha256),
      piped_(entry.SizeDeclared && entry.Size >= kPipedHashBytes ? std::make_unique<CPipedSha256>() : nullptr) {}

CDownloadCheck::~CDownloadCheck() = default;

std::uint32_t CDownloadCheck::HashError() { return piped_ ? piped_->Error() : hasher_.Error(); }

bool CDownloadCheck::Add(const void* data, std::size_t size) {
  if (overrun_ || HashError() != 0) return false;
  if (sizeDeclared_ && size > size_ - received_) {
    // Count what arrived, but hash nothing past the declared end.
    received_ += size;
    overrun_ = true;
    return false;
  }
  received_ += size;
  return piped_ ? piped_->Update(data, size) : hasher_.Update(data, size);
}

FileCheckResult CDownloadCheck::Finish() {
  FileCheckResult result;
  result.receivedSize = received_;
  result.overrun = overrun_;
  if (overrun_) {
    result.verdict = FileVerdict::SizeMismatch;
    return result;
  }
  const bool hashed = HashError() == 0 &&
                      (piped_ ? piped_->Finish(&result.receivedHash) : hasher_.Finish(&result.receivedHash));
  if (!hashed) {
    result.verdict = FileVerdict::HashFailed;
    result.error = HashError();
    result.receivedHash = {};
    return result;
  }
  if (sizeDeclared_ && received_ != size_) {
    result.verdict = FileVerdict::SizeMismatch;
  } else if (hashDeclared_ && result.receivedHash != hash_) {
    result.verdict = FileVerdict::HashMismatch;
  }
  return result;
}

std::wstring DescribeFileMismatch(const CFileData& entry, const FileCheckResult& result) {
  std::wstring line = entry.FileName + L" : the downloaded file does not match its entry: expected size ";
  line += entry.SizeDeclared ? std::to_wstring(entry.Size) : L"-";
  line += L" sha256 ";
  line += entry.Sha256Declared ? FormatSha256Hex(entry.Sha256) : L"-";
  line += L", received size ";
  line += std::to_wstring(result.receivedSize);
  if (result.overrun) line += L" or more";
  line += L" sha256 ";
  line += result.overrun || result.verdict == FileVerdict::HashFailed ? L"-" : FormatSha256Hex(result.receivedHash);
  if (result.verdict == FileVerdict::HashFailed) line += L" (hashing failed, status " + std::to_wstring(result.error) + L")";
  return line;
}

bool ListPinIsWhole(const CUpdateModule& module) {
  return !module.ListPinMalformed && module.ListSizeDeclared && module.ListSha256Declared;
}

ListPinCheck CheckListPin(const CUpdateModule& module, std::string_view listBytes, std::wstring* logText) {
  const auto describe = [&](const wchar_t* what, const std::wstring& received) {
    if (!logText) return;
    *logText = std::wstring(L"the update list ") + what + L": expected size " +
               (module.ListSizeDeclared ? std::to_wstring(module.ListSize) : L"-") + L" sha256 " +
               (module.ListSha256Declared ? FormatSha256Hex(module.ListSha256) : L"-") + L", received size " +
               std::to_wstring(listBytes.size()) + L" sha256 " + received;
  };
  if (logText) logText->clear();
  if (module.ListPinMalformed) {
    if (logText) *logText = L"the manifest's size or sha256 of the update list is not in its form";
    return ListPinCheck::Malformed;
  }
  if (!module.ListSizeDeclared && !module.ListSha256Declared) return ListPinCheck::NoPin;
  Platform::Sha256Digest digest{};
  std::uint32_t status = 0;
  Platform::CSha256 hasher;
  if (!hasher.Update(listBytes.data(), listBytes.size()) || !hasher.Finish(&digest)) {
    status = hasher.Error();
    describe(L"could not be hashed", L"- (status " + std::to_wstring(status) + L")");
    return ListPinCheck::HashFailed;
  }
  if (module.ListSizeDeclared && module.ListSize != listBytes.size()) {
    describe(L"does not match the manifest's pin", FormatSha256Hex(digest));
    return ListPinCheck::SizeMismatch;
  }
  if (module.ListSha256Declared && module.ListSha256 != digest) {
    describe(L"does not match the manifest's pin", FormatSha256Hex(digest));
    return ListPinCheck::HashMismatch;
  }
  return ListPinCheck::Matches;
}
