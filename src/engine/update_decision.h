// The decisions of an update run that need no server: whether an installed
// file is out of date, which local file an update-list entry stands for, and
// whether a running program has to be ended before its file is replaced.
#pragma once
#include <string>

class CFileData;
class CFolderTable;

enum class UpdateReason {
  Current,     // nothing to fetch
  OldTime,     // published and local time stamps differ
  OldVersion,  // published and local versions differ
};

struct UpdateDecision {
  UpdateReason reason = UpdateReason::Current;
  std::wstring logLine;  // the analysis' log line, empty when current
};

// Judges an installed file. The time test applies when both stamps are
// non-empty (the local one already cut to the published length); the version
// test when both versions are. Any difference counts, older or newer.
UpdateDecision DecideUpdate(const std::wstring& name, const std::wstring& publishedStamp,
                            const std::wstring& localStamp, const std::wstring& publishedVersion,
                            const std::wstring& localVersion);

// The local file an update-list name stands for: an archive "x.zip" (any
// letter case) stands for "x".
std::wstring LocalNameOf(const std::wstring& fileName);

// True when the download of `entry` replaces an executable in the updater's
// own folder that may be running (not the updater itself); *program then
// holds its file name as the entry gives it (an archive "viewer.exe.zip"
// counts as "viewer.exe", folder part included).
bool ShouldCloseRunningProgram(const CFileData& entry, const CFolderTable& folders, std::wstring* program);
