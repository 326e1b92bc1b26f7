#include "platform/crypto.h"

#include <cstring>
#include <vector>

#include "platform/sha256_compute.h"
#include "platform/windows_api.h"
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

namespace Platform {
namespace {

constexpr NTSTATUS kStatusSuccess = 0;
constexpr NTSTATUS kStatusInvalidSignature = static_cast<NTSTATUS>(0xC000A000);

std::uint32_t Code(NTSTATUS status) { return static_cast<std::uint32_t>(status); }

class CAlgorithm {
 public:
  CAlgorithm() = default;
  ~CAlgorithm() {
    if (handle_) ::BCryptCloseAlgorithmProvider(handle_, 0);
  }
  CAlgorithm(const CAlgorithm&) = delete;
  CAlgorithm& operator=(const CAlgorithm&) = delete;
  NTSTATUS Open(const wchar_t* id) {
    return ::BCryptOpenAlgorithmProvider(&handle_, id, nullptr, 0);
  }
  BCRYPT_ALG_HANDLE Get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class CKeyHandle {
 public:
  CKeyHandle() = default;
  ~CKeyHandle() {
    if (handle_) ::BCryptDestroyKey(handle_);
  }
  CKeyHandle(const CKeyHandle&) = delete;
  CKeyHandle& operator=(const CKeyHandle&) = delete;
  BCRYPT_KEY_HANDLE* Out() { return &handle_; }
  BCRYPT_KEY_HANDLE Get() const { return handle_; }

 private:
  BCRYPT_KEY_HANDLE handle_ = nullptr;
};

}  // namespace

// SHA-256 is computed in the process: CNG's hashing under Wine is several
// times slower than the transfers whose bytes it checks, and a provider per
// hash object adds a fixed cost to every file. It cannot fail.
struct CSha256::State {
  CSha256Compute compute;
};

CSha256::CSha256() = default;
CSha256::~CSha256() = default;
CSha256::CSha256(CSha256&& other) noexcept = default;
CSha256& CSha256::operator=(CSha256&& other) noexcept = default;

bool CSha256::Update(const void* data, std::size_t size) {
  if (!state_) state_ = std::make_unique<State>();
  state_->compute.Add(data, size);
  return true;
}

bool CSha256::Finish(Sha256Digest* digest) {
  if (!state_) state_ = std::make_unique<State>();
  *digest = state_->compute.Finish();
  error_ = 0;
  return true;
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
  Sha256Digest digest{};
  {
    CSha256 hasher;
    if (!hasher.Update(data, size)) {
      *error = hasher.Error();
      return SignatureCheck::Failed;
    }
    if (!hasher.Finish(&digest)) {
      *error = hasher.Error();
      return SignatureCheck::Failed;
    }
  }
  CAlgorithm algorithm;
  NTSTATUS status = algorithm.Open(BCRYPT_ECDSA_P256_ALGORITHM);
  if (status != kStatusSuccess) {
    *error = Code(status);
    return SignatureCheck::Failed;
  }
  // BCRYPT_ECCKEY_BLOB followed by X and Y.
  std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 64);
  BCRYPT_ECCKEY_BLOB header{};
  header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header.cbKey = 32;
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, key.x.data(), 32);
  std::memcpy(blob.data() + sizeof header + 32, key.y.data(), 32);
  CKeyHandle keyHandle;
  status = ::BCryptImportKeyPair(algorithm.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, keyHandle.Out(), blob.data(),
                                 static_cast<ULONG>(blob.size()), 0);
  if (status != kStatusSuccess) {
    *error = Code(status);
    return SignatureCheck::Failed;
  }
  EcP256Signature copy = signature;
  status = ::BCryptVerifySignature(keyHandle.Get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                   copy.data(), static_cast<ULONG>(copy.size()), 0);
  if (status == kStatusSuccess) return SignatureCheck::Valid;
  if (status == kStatusInvalidSignature) return SignatureCheck::Invalid;
  *error = Code(status);
  return SignatureCheck::Failed;
}

}  // namespace Platform
