#include "manifest/update_trust.h"

#include "manifest/trust_formats.h"
#include "manifest/update_list.h"

std::wstring SignaturePathOf(const std::wstring& documentPath) { return documentPath + L".sig"; }

CUpdateKey UpdateKeyFromPem(std::string_view pem) {
  CUpdateKey key;
  key.state = ParsePemP256PublicKey(pem, &key.key) ? UpdateKeyState::Keyed : UpdateKeyState::Broken;
  return key;
}

DocumentTrust VerifyDocumentSignature(const CUpdateKey& key, std::string_view document, std::string_view signature,
                                      std::uint32_t* error) {
  if (error) *error = 0;
  if (key.state != UpdateKeyState::Keyed) return DocumentTrust::KeyBroken;
  Platform::EcP256Signature rs{};
  if (!ParseDerEcdsaSignature(signature, &rs)) return DocumentTrust::SignatureMalformed;
  switch (Platform::VerifyEcdsaP256Sha256(key.key, document.data(), document.size(), rs, error)) {
    case Platform::SignatureCheck::Valid: return DocumentTrust::Trusted;
    case Platform::SignatureCheck::Invalid: return DocumentTrust::SignatureMismatch;
    case Platform::SignatureCheck::Failed: break;
  }
  return DocumentTrust::CheckFailed;
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
      hash_(entry.Sha256) {}

bool CDownloadCheck::Add(const void* data, std::size_t size) {
  if (overrun_ || hasher_.Error() != 0) return false;
  if (sizeDeclared_ && size > size_ - received_) {
    // Count what arrived, but hash nothing past the declared end.
    received_ += size;
    overrun_ = true;
    return false;
  }
  received_ += size;
  return hasher_.Update(data, size);
}

FileCheckResult CDownloadCheck::Finish() {
  FileCheckResult result;
  result.receivedSize = received_;
  result.overrun = overrun_;
  if (overrun_) {
    result.verdict = FileVerdict::SizeMismatch;
    return result;
  }
  if (hasher_.Error() != 0 || !hasher_.Finish(&result.receivedHash)) {
    result.verdict = FileVerdict::HashFailed;
    result.error = hasher_.Error();
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
