// The check that keeps names from update lists and archives inside the
// folder they are installed into.
#pragma once
#include <string>

// True when `name`, a path relative to an install folder ("\" or "/"
// separated), stays inside that folder: not empty, not absolute, no drive
// letter, no UNC or device prefix, no ":" at all, and no ".." component
// (nor one that Windows would read as "..", such as ".. " or "...").
bool IsContainedRelativePath(const std::wstring& name);
