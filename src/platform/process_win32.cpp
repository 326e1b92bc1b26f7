#include "platform/process.h"
#include "platform/windows_api.h"

namespace Platform {

std::wstring GetExecutablePath() {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  return std::wstring(buffer, n < MAX_PATH ? n : MAX_PATH - 1);
}

unsigned long GetCurrentProcessIdNumber() { return ::GetCurrentProcessId(); }

}  // namespace Platform
