// Facts about the running process.
#pragma once
#include <string>

namespace Platform {

// The full path of the running executable, "\" separated (posix: the real
// path with "/" written as "\"), at most 260 characters as Windows gives it.
std::wstring GetExecutablePath();

// The running process's id.
unsigned long GetCurrentProcessIdNumber();

}  // namespace Platform
