#include "tool_sign.h"

namespace VireoTool {

// The Windows build of the tool verifies (check --public-key) but does not
// sign: private keys stay with the native tool or openssl.
struct CSigningKey::State {};

CSigningKey::CSigningKey() = default;
CSigningKey::~CSigningKey() = default;

bool CSigningKey::Load(const std::wstring&, std::string* error) {
  *error = "this build of vireo-tool cannot sign; publish with the native build, or sign with "
           "`openssl dgst -sha256 -sign KEY.pem -out DOC.sig DOC`";
  return false;
}

bool CSigningKey::Sign(std::string_view, std::string*, std::string* error) const {
  *error = "this build of vireo-tool cannot sign";
  return false;
}

}  // namespace VireoTool
