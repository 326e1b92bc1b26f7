#include "zip/zip_host.h"

#include <unistd.h>

#include <string>

#include "platform/posix_path.h"
#include "platform/text.h"

namespace ZipHost {

std::wstring GetCurrentFolder() {
  std::string buffer(4096, '\0');
  if (!getcwd(buffer.data(), buffer.size())) return std::wstring();
  buffer.resize(buffer.find('\0'));
  std::wstring path = Platform::FromUtf8(buffer);
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (path.size() > 1 && path.back() == L'\\') path.pop_back();
  return path == L"\\" ? std::wstring() : path;
}

bool SetCurrentFolder(const std::wstring& path) {
  if (chdir(Platform::ToOsPath(path).c_str()) != 0) return Platform::FailFromErrno();
  return true;
}

// Names are decoded as Windows-1252 on this build, like AnsiToWide.
unsigned NameCodePage() { return 1252; }

}  // namespace ZipHost
