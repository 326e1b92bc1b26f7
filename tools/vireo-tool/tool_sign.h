// The publisher's private key for `publish --sign-key`: a PEM P-256 private
// key as `openssl ecparam -genkey` ("EC PRIVATE KEY") or `openssl genpkey`
// ("PRIVATE KEY") writes it, unencrypted. Signatures are DER ECDSA over
// SHA-256, exactly as `openssl dgst -sha256 -sign KEY.pem` writes them, so
// stock openssl verifies them and stock openssl's signatures verify here.
// The native build signs with OpenSSL's libcrypto; the Windows build of the
// tool cannot sign (it verifies only).
#pragma once
#include <memory>
#include <string>
#include <string_view>

#include "platform/crypto.h"

namespace VireoTool {

class CSigningKey {
 public:
  CSigningKey();
  ~CSigningKey();
  CSigningKey(const CSigningKey&) = delete;
  CSigningKey& operator=(const CSigningKey&) = delete;

  // Reads the key file. False with *error when it cannot be read, is not an
  // unencrypted P-256 private key, or this build cannot sign.
  [[nodiscard]] bool Load(const std::wstring& path, std::string* error);
  // The DER signature of `bytes`. False with *error when signing fails.
  [[nodiscard]] bool Sign(std::string_view bytes, std::string* signature, std::string* error) const;
  // The public half, for checking signatures already in place.
  const Platform::EcP256PublicKey& PublicKey() const { return publicKey_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  Platform::EcP256PublicKey publicKey_;
};

}  // namespace VireoTool
