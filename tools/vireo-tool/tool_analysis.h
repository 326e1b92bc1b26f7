// The analysis of one update-list entry against an installation, without
// changing it: the updater's own checks in the updater's order (the name
// kept inside the install folder, the local file's presence, its stamp and
// version through CLocalFileInfo and MakeLocalTimeStamp, then DecideUpdate),
// with its log lines.
#pragma once
#include <string>

class CFileData;

namespace VireoTool {

enum class EntryVerdict {
  Current,     // nothing to fetch
  Missing,     // no local file: fetched without a log line
  OldTime,     // both stamps present and different
  OldVersion,  // stamps equal or not both present; both versions present and not equal
  Refused,     // the name would leave the install folder: never fetched
};

struct EntryDecision {
  EntryVerdict verdict = EntryVerdict::Current;
  std::wstring localPath;  // entry folder + "\" + the name (".zip" dropped)
  std::wstring logLine;    // the updater's log line for OldTime / OldVersion
};

// Decides for `entry` against the file in entry.Folder. `zoneKey` is the
// machine's time-zone key, taken once per run (GetCurrentTimeZoneKey).
// Reads the local file; changes nothing.
EntryDecision AnalyzeEntry(const CFileData& entry, const std::wstring& zoneKey);

const char* DescribeVerdict(EntryVerdict verdict);

}  // namespace VireoTool
