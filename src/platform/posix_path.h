// posix build only: Windows-style paths to OS paths and errno to Windows errors.
#pragma once
#include <string>

#include "platform/error.h"

namespace Platform {

// "\" becomes "/", then UTF-8.
std::string ToOsPath(const std::wstring& path);
// errno to the Windows error number the same failure gives there.
ErrorCode ErrnoToError(int err);
// Sets the thread's last error from errno and returns false.
bool FailFromErrno();

}  // namespace Platform
