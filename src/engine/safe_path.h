// The check that keeps names from update lists and archives inside the
// folder they are installed into.
#pragma once
#include <string>

// True when `name`, a path relative to an install folder ("\" or "/"
// separated), stays inside that folder: not empty, not absolute, no drive
// letter, no UNC or device prefix, no ":" at all, and no ".." component
// (nor one that Windows would read as "..", such as ".. " or "...").
bool IsContainedRelativePath(const std::wstring& name);

// The folder a module installs into: the updater's own folder when the
// manifest names none; a relative install path below the updater's folder
// (not below whatever folder the updater happened to be started in); a
// rooted path, a drive path or a UNC path as it stands.
std::wstring ResolveInstallFolder(const std::wstring& appDir, const std::wstring& installPath);
