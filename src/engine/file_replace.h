// Helpers for replacing installed files (the swap in module_staging.h puts
// files in place): removing files read-only or not, and resolving the ".bak"
// and ".download" files that an updater of the earlier kind left when it
// was killed.
#pragma once
#include <string>

#include "platform/error.h"

// Where a download of `target` is written until it is complete.
std::wstring TemporaryDownloadPath(const std::wstring& target);

// Clears the read-only attribute of the file at path, keeping the others.
// False when the file's attributes cannot be read or set (no file, say).
bool ClearReadOnlyAttribute(const std::wstring& path);

// Deletes the file at path, read-only or not. True when no file remains.
bool RemoveFileForcibly(const std::wstring& path);

// What becomes of a target+".bak" that an interrupted replacement left
// behind (the updater killed between moving the old file aside and removing
// the backup): while the target is missing or known to be incomplete the
// backup is the only whole copy and is put back; beside a whole target it is
// stale and is removed.
enum class StaleBackupAction { kNone, kRestore, kRemove };
StaleBackupAction DecideStaleBackup(bool backupExists, bool targetExists, bool targetIncomplete);

// Deals with a leftover target+".bak" as DecideStaleBackup says, writing one
// log line that names the backup and what was done with it (an incomplete
// target is deleted before the restore). True when no backup remains; false
// when one does, with the platform error logged and left as the last error.
bool ResolveStaleBackup(const std::wstring& target, bool targetIncomplete);
