// Builds small zip archives in memory for the engine's tests: stored items,
// with chosen attributes, and optionally a wrong CRC-32.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace EngineTest {

struct ZipEntry {
  std::string name;
  std::string content;
  // External attributes: Unix mode in the upper half (0100644: a writable
  // file), DOS bits in the lower.
  std::uint32_t externalAttributes = 0100644u << 16;
  bool corruptCrc = false;
};

std::string BuildZip(const std::vector<ZipEntry>& entries);

}  // namespace EngineTest
