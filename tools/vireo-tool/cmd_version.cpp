// vireo-tool compare-versions A B, and file-info FILE [LENGTH]: the version
// comparison and the local file facts exactly as the updater's analysis sees
// them.
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "tool_args.h"
#include "manifest/local_file_info.h"
#include "manifest/time_zone.h"
#include "manifest/version_compare.h"
#include "platform/file.h"
#include "platform/text.h"

namespace {

int CompareVersions(const std::vector<std::string>& args) {
  if (args.size() != 2) {
    std::fprintf(stderr, "usage: vireo-tool compare-versions A B\n");
    return 2;
  }
  const int result = CompareVersionStrings(Platform::FromUtf8(args[0]), Platform::FromUtf8(args[1]));
  std::printf("%d\n", result);
  return 0;
}

int FileInfo(const std::vector<std::string>& args) {
  unsigned long length = 12;
  if (args.empty() || args.size() > 2 || (args.size() == 2 && !VireoTool::ParseNumber(args[1], 0, 999999, &length))) {
    std::fprintf(stderr, "usage: vireo-tool file-info FILE [LENGTH]\n");
    return 2;
  }
  const std::wstring path = Platform::FromUtf8(args[0]);
  if (!Platform::PathExists(path) || Platform::IsDirectory(path)) {
    std::fprintf(stderr, "vireo-tool: %s: no such file\n", args[0].c_str());
    return 1;
  }
  const CLocalFileInfo info(path);
  const std::wstring stamp = MakeLocalTimeStamp(info, GetCurrentTimeZoneKey(), length);
  std::printf("version: %s\nstamp: %s\n", Platform::ToUtf8(info.FileVersion).c_str(), Platform::ToUtf8(stamp).c_str());
  return 0;
}

VireoTool::CommandRegistration compareReg("compare-versions", "compare two version strings: prints 1 (A lower), 2 (A higher) or 3 (equal)",
                                          &CompareVersions);
VireoTool::CommandRegistration fileInfoReg("file-info", "print a file's version and its Korea time stamp (cut to LENGTH, default 12)",
                                           &FileInfo);

}  // namespace
