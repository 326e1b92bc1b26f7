// The code page of stored names, which the zip reader needs beyond the
// platform file service, and the process's current folder, which the
// reader never uses itself: command-line tools and tests hand it over as the
// base folder when that is what they mean.
#pragma once
#include <string>

namespace ZipHost {

// The process's current folder as a Windows path, without a trailing
// separator; empty when it cannot be taken.
std::wstring GetCurrentFolder();
// Makes `path` the process's current folder; false when it cannot.
[[nodiscard]] bool SetCurrentFolder(const std::wstring& path);
// The code page that stored names are decoded with (Platform::AnsiToWide)
// and requested names are encoded with, as a Platform::WideToCodePage value.
unsigned NameCodePage();

}  // namespace ZipHost
