// Where names from update lists and archives may go: the name check itself
// (IsContainedRelativePath) lives in platform/safe_name.h, shared with the
// zip reader; the install folder of a module is resolved here.
#pragma once
#include <string>

#include "platform/safe_name.h"

// The folder a module installs into: the updater's own folder when the
// manifest names none; a relative install path below the updater's folder
// (not below whatever folder the updater happened to be started in); a
// rooted path, a drive path or a UNC path as it stands.
std::wstring ResolveInstallFolder(const std::wstring& appDir, const std::wstring& installPath);

// Whether the manifest's install path is of a form a suite uses: empty (the
// updater's folder), a drive path ("D:\\Suite\\viewer") or a relative path
// that stays below the updater's folder. Network (UNC) and device paths,
// drive-relative ones ("C:x"), rooted ones without a drive and relative ones
// that climb out are refused.
bool IsAcceptedInstallPath(const std::wstring& path);

// Whether `path` names the running updater's own file, which is never
// replaced in place: full paths compared as the system resolves them (short
// 8.3 aliases and letter case included), not names.
bool IsUpdaterItself(const std::wstring& path);
