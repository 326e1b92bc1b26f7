#include "platform/crypto.h"

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>

namespace Platform {
namespace {

// Larger pieces are handed to libcrypto in parts of this size.
constexpr std::size_t kMaxPiece = 1u << 30;

// The last OpenSSL error of this thread; never 0, so that a failure always
// reads as one.
std::uint32_t TakeError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  return code == 0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(code);
}

struct MdContextFree {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct SigFree {
  void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};
struct BytesFree {
  void operator()(unsigned char* p) const { OPENSSL_free(p); }
};

// SubjectPublicKeyInfo of a P-256 key up to its point: SEQUENCE { SEQUENCE {
// id-ecPublicKey, prime256v1 }, BIT STRING { 0x04 X Y } }.
constexpr unsigned char kSpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
                                         0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00,
                                         0x04};

}  // namespace

struct CSha256::State {
  std::unique_ptr<EVP_MD_CTX, MdContextFree> context;
  bool started = false;
};

CSha256::CSha256() = default;
CSha256::~CSha256() = default;
CSha256::CSha256(CSha256&& other) noexcept = default;
CSha256& CSha256::operator=(CSha256&& other) noexcept = default;

bool CSha256::Update(const void* data, std::size_t size) {
  if (restart_) {
    restart_ = false;
    error_ = 0;
  }
  if (error_ != 0) return false;
  if (!state_) state_ = std::make_unique<State>();
  if (!state_->context) {
    state_->context.reset(EVP_MD_CTX_new());
    if (!state_->context) {
      error_ = TakeError();
      return false;
    }
  }
  if (!state_->started) {
    if (EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr) != 1) {
      error_ = TakeError();
      return false;
    }
    state_->started = true;
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const std::size_t piece = size < kMaxPiece ? size : kMaxPiece;
    if (EVP_DigestUpdate(state_->context.get(), bytes, piece) != 1) {
      error_ = TakeError();
      return false;
    }
    bytes += piece;
    size -= piece;
  }
  return true;
}

bool CSha256::Finish(Sha256Digest* digest) {
  if (Update(nullptr, 0)) {
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state_->context.get(), digest->data(), &length) != 1 || length != digest->size())
      error_ = TakeError();
  }
  if (state_) state_->started = false;
  restart_ = true;
  return error_ == 0;
}

bool Sha256Of(const void* data, std::size_t size, Sha256Digest* digest) {
  CSha256 hasher;
  return hasher.Update(data, size) && hasher.Finish(digest);
}

SignatureCheck VerifyEcdsaP256Sha256(const EcP256PublicKey& key, const void* data, std::size_t size,
                                     const EcP256Signature& signature, std::uint32_t* error) {
  std::uint32_t ignored = 0;
  if (!error) error = &ignored;
  *error = 0;
  unsigned char spki[sizeof kSpkiPrefix + 64];
  std::memcpy(spki, kSpkiPrefix, sizeof kSpkiPrefix);
  std::memcpy(spki + sizeof kSpkiPrefix, key.x.data(), 32);
  std::memcpy(spki + sizeof kSpkiPrefix + 32, key.y.data(), 32);
  const unsigned char* cursor = spki;
  // d2i_PUBKEY checks that the point lies on the curve.
  std::unique_ptr<EVP_PKEY, PkeyFree> pkey(d2i_PUBKEY(nullptr, &cursor, sizeof spki));
  if (!pkey) {
    *error = TakeError();
    return SignatureCheck::Failed;
  }
  // libcrypto takes the signature as DER.
  std::unique_ptr<ECDSA_SIG, SigFree> sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
  if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    *error = TakeError();
    return SignatureCheck::Failed;
  }
  unsigned char* derRaw = nullptr;
  const int derLength = i2d_ECDSA_SIG(sig.get(), &derRaw);
  std::unique_ptr<unsigned char, BytesFree> der(derRaw);
  if (derLength <= 0) {
    *error = TakeError();
    return SignatureCheck::Failed;
  }
  std::unique_ptr<EVP_MD_CTX, MdContextFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, pkey.get()) != 1) {
    *error = TakeError();
    return SignatureCheck::Failed;
  }
  const int verdict = EVP_DigestVerify(context.get(), der.get(), static_cast<std::size_t>(derLength),
                                       static_cast<const unsigned char*>(data), size);
  if (verdict == 1) return SignatureCheck::Valid;
  if (verdict == 0) {
    ERR_clear_error();
    return SignatureCheck::Invalid;
  }
  *error = TakeError();
  return SignatureCheck::Failed;
}

}  // namespace Platform
