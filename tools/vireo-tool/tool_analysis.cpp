#include "tool_analysis.h"

#include "engine/safe_path.h"
#include "engine/update_decision.h"
#include "manifest/local_file_info.h"
#include "manifest/update_list.h"
#include "platform/file.h"

namespace VireoTool {

EntryDecision AnalyzeEntry(const CFileData& entry, const std::wstring& zoneKey) {
  EntryDecision decision;
  const std::wstring name = LocalNameOf(entry.FileName);
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
  const UpdateDecision judged = DecideUpdate(name, entry.DateTime, stamp, entry.Version, info.FileVersion);
  switch (judged.reason) {
    case UpdateReason::Current: decision.verdict = EntryVerdict::Current; break;
    case UpdateReason::OldTime: decision.verdict = EntryVerdict::OldTime; break;
    case UpdateReason::OldVersion: decision.verdict = EntryVerdict::OldVersion; break;
  }
  decision.logLine = judged.logLine;
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
