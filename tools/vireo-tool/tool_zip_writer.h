// Writes the small zip archives that carry one published file each: raw
// deflate from zlib, sizes known up front (no data descriptors), the file's
// modification time both as DOS time and in a "UT" extended time block, and
// nothing that depends on when or where the archive was made, so the same
// input always gives the same bytes.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace VireoTool {

struct ZipWriterItem {
  // The stored name, already in the code page the readers decode it with.
  std::string storedName;
  std::string data;
  // The file's last-write time as a FILETIME (100 ns since 1601, UTC).
  std::uint64_t modificationTime = 0;
};

// Builds a complete archive holding `items` in the given order. False, with
// *error saying why, when an item cannot be stored in a plain (non-zip64)
// archive: a name over 65,535 bytes, data of 4 GiB or more, more than 65,535
// items, or a time before 1970 or after 2038-01-19 (the limits of the UT
// block's signed 32-bit seconds).
[[nodiscard]] bool BuildZipArchive(const std::vector<ZipWriterItem>& items, std::string* archive, std::string* error);

}  // namespace VireoTool
