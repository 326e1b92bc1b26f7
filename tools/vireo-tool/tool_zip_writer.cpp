// Archive layout: per item a local header (30 bytes, name, UT block) and the
// deflated data; then the central directory; then the end record.
#include "tool_zip_writer.h"

#include <zlib.h>

#include <cstring>

#include "platform/clock.h"

namespace VireoTool {
namespace {

constexpr std::uint64_t kUnixEpochFileTime = 116444736000000000ULL;
constexpr std::uint64_t kTicksPerSecond = 10000000ULL;
// Unix regular file, rw-r--r--: the owner-write bit keeps extracted files
// writable (an archive without a Unix mode yields read-only items).
constexpr std::uint32_t kExternalAttributes = 0100644u << 16;
constexpr std::uint16_t kVersionMadeBy = (3 << 8) | 20;  // Unix, format 2.0
constexpr std::uint16_t kVersionNeeded = 20;             // deflate
constexpr std::uint16_t kMethodDeflate = 8;

void Put16(std::string& out, std::uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void Put32(std::string& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

bool Deflate(const std::string& data, std::string* out) {
  z_stream stream{};
  if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  out->assign(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out->data());
  stream.avail_out = static_cast<uInt>(out->size());
  const int rc = deflate(&stream, Z_FINISH);
  const std::size_t produced = out->size() - stream.avail_out;
  deflateEnd(&stream);
  if (rc != Z_STREAM_END) return false;
  out->resize(produced);
  return true;
}

// DOS date and time of a UTC file time; times before 1980 clamp to its start.
void DosDateTime(std::uint64_t fileTime, std::uint16_t* date, std::uint16_t* time) {
  Platform::SystemTime t;
  if (!Platform::FileTimeToFields(fileTime, &t) || t.year < 1980) {
    *date = (1 << 5) | 1;
    *time = 0;
    return;
  }
  if (t.year > 2107) t.year = 2107;
  *date = static_cast<std::uint16_t>(((t.year - 1980) << 9) | (t.month << 5) | t.day);
  *time = static_cast<std::uint16_t>((t.hour << 11) | (t.minute << 5) | (t.second / 2));
}

std::string TimeBlock(std::uint32_t unixSeconds) {
  std::string block = "UT";
  Put16(block, 5);
  block.push_back(1);  // modification time only
  Put32(block, unixSeconds);
  return block;
}

}  // namespace

bool BuildZipArchive(const std::vector<ZipWriterItem>& items, std::string* archive, std::string* error) {
  if (items.size() > 0xFFFF) {
    *error = "too many items for one archive";
    return false;
  }
  std::string out;
  std::string central;
  for (const ZipWriterItem& item : items) {
    if (item.storedName.empty() || item.storedName.size() > 0xFFFF) {
      *error = "item name is empty or too long";
      return false;
    }
    if (item.data.size() >= 0xFFFFFFFFull) {
      *error = "'" + item.storedName + "' is 4 GiB or larger";
      return false;
    }
    if (item.modificationTime < kUnixEpochFileTime ||
        (item.modificationTime - kUnixEpochFileTime) / kTicksPerSecond > 0x7FFFFFFFull) {
      *error = "'" + item.storedName + "' has a time before 1970 or after 2038-01-19";
      return false;
    }
    if (out.size() > 0xFFFFFFFFull) {
      *error = "archive grows past 4 GiB";
      return false;
    }
    const auto unixSeconds =
        static_cast<std::uint32_t>((item.modificationTime - kUnixEpochFileTime) / kTicksPerSecond);
    std::string packed;
    if (!Deflate(item.data, &packed)) {
      *error = "deflate failed for '" + item.storedName + "'";
      return false;
    }
    const auto crc = static_cast<std::uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(item.data.data()), static_cast<uInt>(item.data.size())));
    std::uint16_t dosDate = 0;
    std::uint16_t dosTime = 0;
    DosDateTime(item.modificationTime, &dosDate, &dosTime);
    const std::string extra = TimeBlock(unixSeconds);
    const auto localOffset = static_cast<std::uint32_t>(out.size());

    Put32(out, 0x04034B50);
    Put16(out, kVersionNeeded);
    Put16(out, 0);
    Put16(out, kMethodDeflate);
    Put16(out, dosTime);
    Put16(out, dosDate);
    Put32(out, crc);
    Put32(out, static_cast<std::uint32_t>(packed.size()));
    Put32(out, static_cast<std::uint32_t>(item.data.size()));
    Put16(out, static_cast<std::uint32_t>(item.storedName.size()));
    Put16(out, static_cast<std::uint32_t>(extra.size()));
    out += item.storedName;
    out += extra;
    out += packed;

    Put32(central, 0x02014B50);
    Put16(central, kVersionMadeBy);
    Put16(central, kVersionNeeded);
    Put16(central, 0);
    Put16(central, kMethodDeflate);
    Put16(central, dosTime);
    Put16(central, dosDate);
    Put32(central, crc);
    Put32(central, static_cast<std::uint32_t>(packed.size()));
    Put32(central, static_cast<std::uint32_t>(item.data.size()));
    Put16(central, static_cast<std::uint32_t>(item.storedName.size()));
    Put16(central, static_cast<std::uint32_t>(extra.size()));
    Put16(central, 0);  // comment
    Put16(central, 0);  // disk
    Put16(central, 0);  // internal attributes
    Put32(central, kExternalAttributes);
    Put32(central, localOffset);
    central += item.storedName;
    central += extra;
  }
  if (out.size() + central.size() > 0xFFFFFFFFull) {
    *error = "archive grows past 4 GiB";
    return false;
  }
  const auto centralOffset = static_cast<std::uint32_t>(out.size());
  out += central;
  Put32(out, 0x06054B50);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, static_cast<std::uint32_t>(items.size()));
  Put16(out, static_cast<std::uint32_t>(items.size()));
  Put32(out, static_cast<std::uint32_t>(central.size()));
  Put32(out, centralOffset);
  Put16(out, 0);
  *archive = std::move(out);
  return true;
}

}  // namespace VireoTool
