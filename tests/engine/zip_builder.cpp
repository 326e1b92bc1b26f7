#include "engine/zip_builder.h"

#include <zlib.h>

namespace EngineTest {

namespace {

void Put16(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

}  // namespace

std::string BuildZip(const std::vector<ZipEntry>& entries) {
  std::string body;
  std::string directory;
  const std::uint32_t dosTime = (12u << 11) | (30u << 5);           // 12:30:00
  const std::uint32_t dosDate = ((2024u - 1980u) << 9) | (3u << 5) | 1u;  // 2024-03-01
  for (const ZipEntry& e : entries) {
    std::uint32_t crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(e.content.data()), static_cast<uInt>(e.content.size())));
    if (e.corruptCrc) crc ^= 0x5A5A5A5Au;
    const std::uint32_t offset = static_cast<std::uint32_t>(body.size());
    const std::uint32_t size = static_cast<std::uint32_t>(e.content.size());
    Put32(body, 0x04034B50);
    Put16(body, 10);
    Put16(body, 0);
    Put16(body, 0);  // stored
    Put16(body, dosTime);
    Put16(body, dosDate);
    Put32(body, crc);
    Put32(body, size);
    Put32(body, size);
    Put16(body, static_cast<std::uint32_t>(e.name.size()));
    Put16(body, 0);
    body += e.name;
    body += e.content;

    Put32(directory, 0x02014B50);
    Put16(directory, (3u << 8) | 20u);  // made by Unix
    Put16(directory, 10);
    Put16(directory, 0);
    Put16(directory, 0);
    Put16(directory, dosTime);
    Put16(directory, dosDate);
    Put32(directory, crc);
    Put32(directory, size);
    Put32(directory, size);
    Put16(directory, static_cast<std::uint32_t>(e.name.size()));
    Put16(directory, 0);
    Put16(directory, 0);
    Put16(directory, 0);
    Put16(directory, 0);
    Put32(directory, e.externalAttributes);
    Put32(directory, offset);
    directory += e.name;
  }
  std::string out = body + directory;
  Put32(out, 0x06054B50);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, static_cast<std::uint32_t>(entries.size()));
  Put16(out, static_cast<std::uint32_t>(entries.size()));
  Put32(out, static_cast<std::uint32_t>(directory.size()));
  Put32(out, static_cast<std::uint32_t>(body.size()));
  Put16(out, 0);
  return out;
}

}  // namespace EngineTest
