// zip-list and zip-extract: what the updater's zip reader makes of an
// archive, item by item, and the result of extracting one item.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "command.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "zip/zip_host.h"
#include "zip/zip_reader.h"

namespace {

// Result codes in hex; the cursor's negative codes as they are.
std::string FormatCode(ZipResult code) {
  char text[32];
  if (code < 0) {
    std::snprintf(text, sizeof text, "%d", static_cast<int>(code));
  } else {
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(code));
  }
  return text;
}

std::string FormatTime(std::uint64_t fileTime) {
  Platform::SystemTime t;
  if (fileTime == 0 || !Platform::FileTimeToFields(fileTime, &t)) return "-";
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

int ZipList(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: vireo-tool zip-list FILE\n");
    return 2;
  }
  ZipHandle* raw = nullptr;
  const ZipResult opened = OpenZip(Platform::FromUtf8(args[0]), &raw);
  if (opened != kZipOk) {
    std::printf("error: %s\n", FormatCode(opened).c_str());
    return 1;
  }
  CScopedZipHandle handle(raw);
  ZipItem item;
  if (GetZipItem(handle.get(), -1, &item) != kZipOk) return 1;
  const std::int32_t count = item.index;
  std::printf("count: %d\n", static_cast<int>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    const ZipResult rc = GetZipItem(handle.get(), i, &item);
    if (rc != kZipOk) {
      std::printf("%d\terror: %s\n", static_cast<int>(i), FormatCode(rc).c_str());
      continue;
    }
    std::printf("%d\t%s\t0x%08" PRIx32 "\t%" PRIu32 "\t%" PRIu32 "\t%s\n", static_cast<int>(i),
                Platform::ToUtf8(item.name).c_str(), item.attributes, item.compressedSize, item.uncompressedSize,
                FormatTime(item.modificationTime).c_str());
  }
  return 0;
}

int ZipExtract(const std::vector<std::string>& args) {
  char* end = nullptr;
  const long index = args.size() == 3 ? std::strtol(args[1].c_str(), &end, 10) : 0;
  if (args.size() != 3 || end == args[1].c_str() || *end != '\0' || index < INT32_MIN || index > INT32_MAX) {
    std::fprintf(stderr, "usage: vireo-tool zip-extract FILE INDEX TARGET\n");
    return 2;
  }
  ZipHandle* raw = nullptr;
  // A relative target is meant below the folder the command runs in.
  ZipResult rc = OpenZip(Platform::FromUtf8(args[0]), &raw, ZipHost::GetCurrentFolder());
  if (rc == kZipOk) {
    CScopedZipHandle handle(raw);
    rc = UnzipItem(handle.get(), static_cast<std::int32_t>(index), Platform::FromUtf8(args[2]));
  }
  std::printf("result: %s\n", FormatCode(rc).c_str());
  return rc == kZipOk ? 0 : 1;
}

VireoTool::CommandRegistration listReg("zip-list", "list the items of a zip archive as the updater reads them",
                                       &ZipList);
VireoTool::CommandRegistration extractReg("zip-extract", "extract one item of a zip archive: FILE INDEX TARGET",
                                          &ZipExtract);

}  // namespace
