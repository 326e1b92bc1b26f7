#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "manifest/trust_formats.h"
#include "platform/text.h"
#include "tool_files.h"
#include "tool_sign.h"

namespace VireoTool {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct BioFree {
  void operator()(BIO* p) const { BIO_free(p); }
};
struct MdContextFree {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct BytesFree {
  void operator()(unsigned char* p) const { OPENSSL_free(p); }
};

std::string OpensslError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "no detail";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// An encrypted key is refused instead of prompting on the terminal.
int NoPassphrase(char*, int, int, void*) { return -1; }

}  // namespace

struct CSigningKey::State {
  std::unique_ptr<EVP_PKEY, PkeyFree> key;
};

CSigningKey::CSigningKey() = default;
CSigningKey::~CSigningKey() = default;

bool CSigningKey::Load(const std::wstring& path, std::string* error) {
  const std::string shown = Platform::ToUtf8(path);
  std::string pem;
  if (!ReadWholeFile(path, &pem)) {
    *error = shown + ": cannot be read (" + LastErrorText() + ")";
    return false;
  }
  if (pem.size() > 64 * 1024) {
    *error = shown + ": too large for a key file";
    return false;
  }
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  std::unique_ptr<EVP_PKEY, PkeyFree> key(
      bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, &NoPassphrase, nullptr) : nullptr);
  if (!key) {
    *error = shown + ": not an unencrypted PEM private key (" + OpensslError() + ")";
    return false;
  }
  char group[64] = {};
  std::size_t groupLength = 0;
  if (!EVP_PKEY_is_a(key.get(), "EC") ||
      EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &groupLength) != 1 ||
      std::string(group) != "prime256v1") {
    ERR_clear_error();
    *error = shown + ": not a P-256 (prime256v1) key; make one with `openssl ecparam -genkey -name prime256v1`";
    return false;
  }
  // The public half, as the updater will read it: the SubjectPublicKeyInfo
  // in uncompressed form.
  EVP_PKEY_set_utf8_string_param(key.get(), OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT, "uncompressed");
  unsigned char* spki = nullptr;
  const int spkiLength = i2d_PUBKEY(key.get(), &spki);
  std::unique_ptr<unsigned char, BytesFree> owned(spki);
  if (spkiLength <= 0 ||
      !ParseSpkiP256PublicKey(std::string_view(reinterpret_cast<const char*>(spki), spkiLength), &publicKey_)) {
    *error = shown + ": its public key cannot be derived (" + OpensslError() + ")";
    return false;
  }
  state_ = std::make_unique<State>();
  state_->key = std::move(key);
  return true;
}

bool CSigningKey::Sign(std::string_view bytes, std::string* signature, std::string* error) const {
  if (!state_) {
    *error = "no signing key loaded";
    return false;
  }
  std::unique_ptr<EVP_MD_CTX, MdContextFree> context(EVP_MD_CTX_new());
  std::size_t length = 0;
  if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, state_->key.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(bytes.data()),
                     bytes.size()) != 1) {
    *error = "signing failed (" + OpensslError() + ")";
    return false;
  }
  signature->assign(length, '\0');
  if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature->data()), &length,
                     reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1) {
    *error = "signing failed (" + OpensslError() + ")";
    return false;
  }
  signature->resize(length);
  return true;
}

}  // namespace VireoTool
