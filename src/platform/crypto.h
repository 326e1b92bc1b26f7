// Cryptographic primitives: SHA-256 (incremental, for hashing a file while it
// is written) and verification of ECDSA P-256 / SHA-256 signatures. On
// Windows SHA-256 is computed in the process (platform/sha256_compute.h) and
// signatures are checked by CNG (bcrypt); on posix both are OpenSSL's
// libcrypto. Failures are values: a platform failure carries the provider's
// status (an NTSTATUS on Windows, OpenSSL's error code on posix). Any thread; one
// object is used by one thread at a time.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace Platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

// A P-256 public point: big-endian X and Y, 32 bytes each (the uncompressed
// point without its leading 0x04).
struct EcP256PublicKey {
  std::array<std::uint8_t, 32> x{};
  std::array<std::uint8_t, 32> y{};
};

// An ECDSA P-256 signature as r || s, big-endian, 32 bytes each (the form
// CNG takes; DER signatures are converted by the caller).
using EcP256Signature = std::array<std::uint8_t, 64>;

// SHA-256 over bytes given in pieces. Update any number of times, then
// Finish; after Finish the hasher starts over. Move-only.
class CSha256 {
 public:
  CSha256();
  ~CSha256();
  CSha256(CSha256&& other) noexcept;
  CSha256& operator=(CSha256&& other) noexcept;
  CSha256(const CSha256&) = delete;
  CSha256& operator=(const CSha256&) = delete;

  // Adds `size` bytes. False when the platform's provider fails; the hasher
  // then stays failed (every later call fails) until Finish starts it over.
  [[nodiscard]] bool Update(const void* data, std::size_t size);
  // The digest of every byte added since the start. False (digest
  // unspecified) when the provider failed at any point.
  [[nodiscard]] bool Finish(Sha256Digest* digest);
  // The provider's status of the first failure since the start (kept after
  // a failed Finish); 0 when none.
  std::uint32_t Error() const { return error_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::uint32_t error_ = 0;
  bool restart_ = false;  // the next Update starts a new digest
};

// SHA-256 of one buffer. False when the provider fails.
[[nodiscard]] bool Sha256Of(const void* data, std::size_t size, Sha256Digest* digest);

enum class SignatureCheck {
  Valid,    // the key signed these bytes
  Invalid,  // the signature does not belong to these bytes and this key
  Failed,   // the provider could not check (bad key point, provider error)
};

// Checks an ECDSA P-256 signature over the SHA-256 of `data`. Only Valid
// means trusted. *error (optional) receives the provider's status for Failed.
[[nodiscard]] SignatureCheck VerifyEcdsaP256Sha256(const EcP256PublicKey& key, const void* data, std::size_t size,
                                                   const EcP256Signature& signature, std::uint32_t* error = nullptr);

}  // namespace Platform
