#include "zip/zip_host.h"

#include "platform/windows_api.h"

namespace ZipHost {

std::wstring GetCurrentFolder() {
  const DWORD n = GetCurrentDirectoryW(0, nullptr);
  if (n == 0) return std::wstring();
  std::wstring path(n, L'\0');
  const DWORD got = GetCurrentDirectoryW(n, path.data());
  if (got == 0 || got >= n) return std::wstring();
  path.resize(got);
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

bool SetCurrentFolder(const std::wstring& path) { return SetCurrentDirectoryW(path.c_str()) != FALSE; }

// The thread's ANSI code page, the one AnsiToWide decodes with.
unsigned NameCodePage() { return CP_THREAD_ACP; }

}  // namespace ZipHost
