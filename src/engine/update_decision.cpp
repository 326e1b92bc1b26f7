#include "engine/update_decision.h"

#include "app/folder_table.h"
#include "manifest/update_list.h"
#include "manifest/version_compare.h"
#include "platform/case_fold.h"

namespace {

bool EndsWithNoCase(const std::wstring& text, const std::wstring& suffix) {
  return text.size() >= suffix.size() && Platform::EqualsIgnoringCase(text.substr(text.size() - suffix.size()), suffix);
}

}  // namespace

UpdateDecision DecideUpdate(const std::wstring& name, const std::wstring& publishedStamp,
                            const std::wstring& localStamp, const std::wstring& publishedVersion,
                            const std::wstring& localVersion) {
  UpdateDecision decision;
  if (!publishedStamp.empty() && !localStamp.empty() && publishedStamp != localStamp) {
    decision.reason = UpdateReason::OldTime;
    decision.logLine = name + L" : old time - " + localStamp + L", new time - " + publishedStamp;
  } else if (!publishedVersion.empty() && !localVersion.empty() &&
             CompareVersionStrings(publishedVersion, localVersion) != kVersionEqual) {
    decision.reason = UpdateReason::OldVersion;
    decision.logLine = name + L" : old version - " + localVersion + L", new version - " + publishedVersion;
  }
  return decision;
}

std::wstring LocalNameOf(const std::wstring& fileName) {
  return EndsWithNoCase(fileName, L".zip") ? fileName.substr(0, fileName.size() - 4) : fileName;
}

bool ShouldCloseRunningProgram(const CFileData& entry, const CFolderTable& folders, std::wstring* program) {
  std::wstring name = entry.FileName;
  if (Platform::EqualsIgnoringCase(GetFileExtension(name), L".zip")) name.resize(name.size() - 4);
  std::wstring appFolder = folders.GetAppDirWithSlash();
  while (!appFolder.empty() && appFolder.back() == L'\\') appFolder.pop_back();
  if (!Platform::EqualsIgnoringCase(GetFileExtension(name), L".exe")) return false;
  if (Platform::EqualsIgnoringCase(name, GetUpdaterFileName(folders))) return false;
  if (!Platform::EqualsIgnoringCase(entry.Folder, appFolder)) return false;
  *program = name;
  return true;
}
