#include "tool_analysis.h"

#include "engine/safe_path.h"
#include "manifest/local_file_info.h"
#include "manifest/update_list.h"
#include "manifest/version_compare.h"
#include "platform/file.h"
#include "tool_server_paths.h"

namespace VireoTool {

EntryDecision AnalyzeEntry(const CFileData& entry, const std::wstring& zoneKey) {
  EntryDecision decision;
  const std::wstring name = CarriedFileName(entry.FileName);
  decision.localPath = entry.Folder + L"\\" + name;
  if (!IsContainedRelativePath(entry.FileName)) {
    decision.verdict = EntryVerdict::Refused;
    return decision;
  }
  if (!Platform::PathExists(decision.localPath)) {
    decision.verdict = EntryVerdict::Missing;
    return decision;
  }
  const CLocalFileInfo info(decision.localPath);
  const std::wstring stamp = MakeLocalTimeStamp(info, zoneKey, entry.DateTime.size());
  // The time test when both stamps are present, else the version test when
  // both versions are; any difference counts, older or newer.
  if (!entry.DateTime.empty() && !stamp.empty() && entry.DateTime != stamp) {
    decision.verdict = EntryVerdict::OldTime;
    decision.logLine = name + L" : old time - " + stamp + L", new time - " + entry.DateTime;
  } else if (!entry.Version.empty() && !info.FileVersion.empty() &&
             CompareVersionStrings(entry.Version, info.FileVersion) != kVersionEqual) {
    decision.verdict = EntryVerdict::OldVersion;
    decision.logLine = name + L" : old version - " + info.FileVersion + L", new version - " + entry.Version;
  }
  return decision;
}

const char* DescribeVerdict(EntryVerdict verdict) {
  switch (verdict) {
    case EntryVerdict::Current: return "current";
    case EntryVerdict::Missing: return "missing";
    case EntryVerdict::OldTime: return "old time";
    case EntryVerdict::OldVersion: return "old version";
    case EntryVerdict::Refused: return "refused";
  }
  return "?";
}

}  // namespace VireoTool
