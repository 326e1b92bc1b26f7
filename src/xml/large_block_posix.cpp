// Large-page hint through madvise (transparent huge pages on Linux).
#include "xml/large_block.h"

#include <sys/mman.h>

#include <cstdint>

void AdviseLargeBlock(void* data, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  constexpr std::size_t kLeast = std::size_t{4} << 20;
  if (data == nullptr || bytes < kLeast) return;
  constexpr std::uintptr_t kPage = 4096;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kPage - 1);
  // A refusal (no huge page support) only means the hint is not taken.
  if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}
