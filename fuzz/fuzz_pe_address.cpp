// Fuzz target: the address map of a program's patch. Input: one byte n (n % 9
// segments are taken, in the form with symbols when n / 9 is odd), the
// segments of 12 bytes (new start, length, old start; little-endian), then
// an image. The image rewritten through those segments must map back to
// itself exactly, and the same bytes taken as a map over the image (as an
// applier meets a hostile one) must never be read or written outside it.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/pe_address_transform.h"

namespace {
std::uint32_t Load32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t count = std::min<std::size_t>(data[0] % 9, (size - 1) / 12);
  const PeAddress::Form form = (data[0] / 9) % 2 ? PeAddress::Form::kWithSymbols : PeAddress::Form::kPlain;
  std::vector<PeAddress::Segment> segments;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint8_t* s = data + 1 + 12 * k;
    segments.push_back({Load32(s), Load32(s + 4), Load32(s + 8)});
  }
  const std::size_t header = 1 + 12 * count;
  const std::string image(reinterpret_cast<const char*>(data) + header, size - header);

  // Room for what mapping back holds, as the applier's bound leaves it.
  constexpr std::uint64_t kRoom = 64 << 20;
  const std::atomic<bool> never{false};
  std::string rewritten = image;
  std::string side;
  if (PeAddress::Encode(&rewritten, segments, form, &side)) {
    const PeAddress::DecodeResult back =
        PeAddress::Decode(side, rewritten.data(), rewritten.size(), form, kRoom, never);
    if (rewritten.size() != image.size() || back != PeAddress::DecodeResult::kDone || rewritten != image)
      std::abort();
  }
  const std::string hostileSide(reinterpret_cast<const char*>(data), header);
  std::string copy = image;
  (void)PeAddress::Decode(hostileSide, copy.data(), copy.size(), form, kRoom, never);
  if (copy.size() != image.size()) std::abort();
  return 0;
}
