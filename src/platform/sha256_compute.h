// SHA-256 computed in the process from its definition (FIPS 180-4), with the
// processor's SHA extensions when it has them (checked at run time). The
// Windows hasher uses it: CNG under Wine hashes at a fraction of the speed,
// and a transfer hashes every byte it receives. It cannot fail. Any thread;
// one object is used by one thread at a time.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/crypto.h"

namespace Platform {

// How the 64-byte blocks are compressed.
enum class Sha256Path {
  kBest,      // the SHA extensions when the processor has them
  kPortable,  // plain C++
};

// Whether the processor has the SHA extensions (and the SSE levels the
// compression with them needs).
bool HasSha256Extensions();

class CSha256Compute {
 public:
  explicit CSha256Compute(Sha256Path path = Sha256Path::kBest);
  void Add(const void* data, std::size_t size);
  // The digest of every byte added since the start; the object then starts
  // over.
  Sha256Digest Finish();
  // The path actually taken.
  bool UsesExtensions() const { return extensions_; }

 private:
  void Reset();
  void Compress(const unsigned char* blocks, std::size_t count);

  std::uint32_t state_[8];
  std::uint64_t length_ = 0;  // bytes added
  unsigned char pending_[64];
  std::size_t pendingSize_ = 0;
  bool extensions_ = false;
};

}  // namespace Platform
