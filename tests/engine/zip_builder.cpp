#include "engine/zip_builder.h"

#include "zip/zip_test_support.h"

namespace EngineTest {

std::string BuildZip(const std::vector<ZipEntry>& entries) {
  // Every item dated 2024-03-01 12:30:00.
  const std::uint32_t dosTime = (12u << 11) | (30u << 5);
  const std::uint32_t dosDate = ((2024u - 1980u) << 9) | (3u << 5) | 1u;
  std::vector<ZipTest::Entry> items;
  items.reserve(entries.size());
  for (const ZipEntry& e : entries) {
    ZipTest::Entry item = ZipTest::Stored(e.name, e.content);
    item.externalAttributes = e.externalAttributes;
    item.dosDateTime = (dosDate << 16) | dosTime;
    if (e.corruptCrc) item.crc ^= 0x5A5A5A5Au;
    items.push_back(item);
  }
  return ZipTest::BuildArchive(items);
}

}  // namespace EngineTest
