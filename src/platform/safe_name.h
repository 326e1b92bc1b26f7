// The one check for names that come from the network (update-list entries,
// archive items, the program a manifest names): a relative path that stays
// inside the folder it is used under and that Windows takes as a plain file
// name. Portable; used by the zip reader and the update engine alike.
#pragma once
#include <functional>
#include <string>
#include <string_view>

// True when `name`, a path relative to an install folder ("\" or "/"
// separated), stays inside that folder as an ordinary file or folder name:
// - not empty, not rooted ("\x", "/x", UNC and "\\?\" or "\\.\" device
//   prefixes), no ':' at all (drive letters, alternate streams);
// - no component that Windows reads as a step up: ".." or any other run of
//   dots and spaces with two dots or more (".. ", "...");
// - no component that is a reserved device name, with any extension and in
//   any letter case: CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9 and LPT0-9
//   (and COM/LPT with a superscript 1, 2 or 3), as in "nul.dll" or "Com1.txt";
// - no component ending in a dot or a space (Windows drops them, so "a.dll."
//   would be "a.dll"); a component "." alone (this folder) is allowed;
// - no control unit (below 0x20, and 0x7F) and none of < > " | ? *.
// Empty components ("a\\b", a trailing separator) are allowed.
bool IsContainedRelativePath(const std::wstring& name);

// Whether `test` holds for any "\"- or "/"-separated part of `path` (empty
// parts included), tried from the first part on.
bool AnyPathPart(std::wstring_view path, const std::function<bool(std::wstring_view)>& test);
