// The two facts about the running system that the zip reader needs beyond
// the platform file service: the current folder and the ANSI code page.
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
