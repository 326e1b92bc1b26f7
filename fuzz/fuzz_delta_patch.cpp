// Arbitrary patches applied to arbitrary bases, in memory, within a small
// memory bound. Input: 3 bytes of expected output size (little-endian),
// 2 bytes of base length, the base, then the patch. The applier must never
// yield more than the expected size, and an applied result must be exactly
// that size with the digest it reports.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/delta_patch.h"
#include "platform/crypto.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const std::uint64_t expected = data[0] | (data[1] << 8) | (std::uint64_t{data[2]} << 16);
  std::size_t baseLength = data[3] | (data[4] << 8);
  data += 5;
  size -= 5;
  if (baseLength > size) baseLength = size;
  const std::string_view base(reinterpret_cast<const char*>(data), baseLength);
  const std::string_view patch(reinterpret_cast<const char*>(data) + baseLength, size - baseLength);

  DeltaPatchLimits limits;
  limits.memoryBytes = kDeltaPatchOverheadBytes + (4u << 20);
  const std::atomic<bool> never{false};
  std::string output;
  const DeltaPatchOutcome outcome = ApplyDeltaPatchBytes(base, patch, expected, never, &output, limits);
  if (outcome.outputSize > expected || output.size() != outcome.outputSize) std::abort();
  if (outcome.Applied()) {
    Platform::Sha256Digest digest{};
    if (output.size() != expected || !Platform::Sha256Of(output.data(), output.size(), &digest) ||
        digest != outcome.sha256)
      std::abort();
  }
  return 0;
}
