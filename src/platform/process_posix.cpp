#include <unistd.h>

#include "platform/process.h"
#include "platform/text.h"

namespace Platform {

std::wstring GetExecutablePath() {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::wstring();
  std::wstring path = FromUtf8(std::string(buffer, static_cast<std::size_t>(n)));
  for (auto& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (path.size() > 259) path.resize(259);
  return path;
}

unsigned long GetCurrentProcessIdNumber() { return static_cast<unsigned long>(::getpid()); }

std::vector<std::string> GetCommandLineArguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

void SetBinaryStandardOutput() {}

}  // namespace Platform
