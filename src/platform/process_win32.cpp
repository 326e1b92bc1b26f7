#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/process.h"
#include "platform/text.h"
#include "platform/windows_api.h"

#include <shellapi.h>

namespace Platform {

std::wstring GetExecutablePath() {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  return std::wstring(buffer, n < MAX_PATH ? n : MAX_PATH - 1);
}

unsigned long GetCurrentProcessIdNumber() { return ::GetCurrentProcessId(); }

std::vector<std::string> GetCommandLineArguments(int, char**) {
  std::vector<std::string> args;
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!wide) return args;
  for (int i = 0; i < count; ++i) args.push_back(ToUtf8(wide[i]));
  ::LocalFree(wide);
  return args;
}

void SetBinaryStandardOutput() { _setmode(_fileno(stdout), _O_BINARY); }

}  // namespace Platform
