#include "harness/trusted_root.h"

#include <memory>

// clang-format off
#include "platform/windows_api.h"
#include <wincrypt.h>
// clang-format on

#include "common/test_files.h"
#include "platform/text.h"

namespace TestHarness {

namespace {

struct StoreCloser {
  void operator()(void* store) const { ::CertCloseStore(static_cast<HCERTSTORE>(store), 0); }
};

std::string Failure(const char* what) { return std::string(what) + ", error " + std::to_string(::GetLastError()); }

}  // namespace

bool AddTrustedRoot(const std::string& der, std::string* problem) {
  std::string ignored;
  if (problem == nullptr) problem = &ignored;
  if (der.empty() || der.size() > (1u << 20)) {
    *problem = "no certificate bytes (" + std::to_string(der.size()) + " bytes)";
    return false;
  }
  HCERTSTORE raw = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (raw == nullptr) {
    *problem = Failure("CertOpenStore(LocalMachine Root)");
    return false;
  }
  std::unique_ptr<void, StoreCloser> store(raw);
  if (!::CertAddEncodedCertificateToStore(raw, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                          reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_USE_EXISTING, nullptr)) {
    *problem = Failure("CertAddEncodedCertificateToStore");
    return false;
  }
  return true;
}

bool AddTrustedRootFile(const std::wstring& derPath, std::string* problem) {
  std::string der;
  if (!TestFiles::ReadBytes(derPath, &der)) {
    if (problem) *problem = "cannot read " + Platform::ToUtf8(derPath);
    return false;
  }
  return AddTrustedRoot(der, problem);
}

}  // namespace TestHarness
