#include "engine/file_replace.h"

#include <cstdint>

#include "app/update_log.h"
#include "platform/file.h"

std::wstring TemporaryDownloadPath(const std::wstring& target) { return target + L".download"; }

bool ClearReadOnlyAttribute(const std::wstring& path) {
  std::uint32_t attributes = 0;
  if (!Platform::GetAttributes(path, &attributes)) return false;
  if ((attributes & Platform::kAttrReadOnly) == 0) return true;
  attributes &= ~Platform::kAttrReadOnly;
  if (attributes == 0) attributes = Platform::kAttrNormal;
  return Platform::SetAttributes(path, attributes);
}

bool RemoveFileForcibly(const std::wstring& path) {
  if (!Platform::PathExists(path)) return true;
  (void)ClearReadOnlyAttribute(path);
  return Platform::RemoveFile(path);
}

StaleBackupAction DecideStaleBackup(bool backupExists, bool targetExists, bool targetIncomplete) {
  if (!backupExists) return StaleBackupAction::kNone;
  if (!targetExists || targetIncomplete) return StaleBackupAction::kRestore;
  return StaleBackupAction::kRemove;
}

bool ResolveStaleBackup(const std::wstring& target, bool targetIncomplete) {
  const std::wstring backup = target + L".bak";
  const bool backupExists = Platform::PathExists(backup) && !Platform::IsDirectory(backup);
  const bool targetExists = Platform::PathExists(target);
  CUpdateLog& log = GetUpdateLog();
  switch (DecideStaleBackup(backupExists, targetExists, targetIncomplete)) {
    case StaleBackupAction::kNone:
      return true;
    case StaleBackupAction::kRestore:
      if ((!targetExists || RemoveFileForcibly(target)) && Platform::MoveItem(backup, target)) {
        log.WriteLog(L"Stale backup restored : " + backup + L" -> " + target +
                     (targetExists ? L" (left unfinished)" : L" (missing)"));
        return true;
      }
      break;
    case StaleBackupAction::kRemove:
      if (RemoveFileForcibly(backup)) {
        log.WriteLog(L"Stale backup removed : " + backup + L" (" + target + L" is whole)");
        return true;
      }
      break;
  }
  const Platform::ErrorCode code = Platform::LastError();
  log.WriteLog(L"Stale backup left in place : " + backup + L", Error:" + std::to_wstring(code));
  Platform::SetLastErrorCode(code);
  return false;
}
