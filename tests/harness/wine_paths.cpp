#include "harness/wine_paths.h"

#include <cstdlib>

#include "platform/text.h"

namespace TestHarness {

std::wstring UnixToWinePath(const std::string& unixPath) {
  std::wstring path = Platform::FromUtf8(unixPath);
  for (auto& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (!path.empty() && path[0] == L'\\') path = L"Z:" + path;
  return path;
}

std::string GetEnv(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

}  // namespace TestHarness
