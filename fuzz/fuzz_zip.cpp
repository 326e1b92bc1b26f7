// Arbitrary bytes opened as a zip archive from memory: every item is listed,
// looked up by its name and extracted to a capped in-memory output.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "zip/zip_reader.h"
#include "zip/zip_source.h"

namespace {

class CCappedOutput final : public IZipOutput {
 public:
  bool Write(const void* data, std::size_t size) override {
    if (total_ + size > kLimit) return false;
    total_ += size;
    // Touch the first and last byte so that a bad pointer shows.
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (size > 0) sink_ ^= bytes[0] ^ bytes[size - 1];
    return true;
  }
  std::size_t total() const { return total_; }

 private:
  static constexpr std::size_t kLimit = 8u << 20;
  std::size_t total_ = 0;
  unsigned char sink_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ZipHandle* raw = nullptr;
  if (OpenZipSource(std::make_unique<CZipMemorySource>(data, size), &raw) != kZipOk) {
    if (raw) std::abort();  // a failed open leaves no handle
    return 0;
  }
  CScopedZipHandle zip(raw);
  ZipItem count;
  if (GetZipItem(zip.get(), -1, &count) != kZipOk || count.index < 0) std::abort();
  for (std::int32_t i = 0; i < count.index; ++i) {
    ZipItem item;
    const ZipResult got = GetZipItem(zip.get(), i, &item);
    if (got == kZipOk && item.index != i) std::abort();
    if (got == kZipOk) {
      std::int32_t found = -2;
      ZipItem again;
      const ZipResult located = LocateZipItem(zip.get(), item.name, &found, &again);
      if (located == kZipOk && (found < 0 || found >= count.index)) std::abort();
      if (located == kZipNotFound && found != -1) std::abort();
    }
    CCappedOutput out;
    const ZipResult rc = UnzipItemTo(zip.get(), i, out);
    // Success means every declared byte came out.
    if (rc == kZipOk && got == kZipOk && out.total() != item.uncompressedSize) std::abort();
  }
  return 0;
}
