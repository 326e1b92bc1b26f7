// vireo-tool: a command-line companion for the people who publish updates.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "command.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include "platform/windows_api.h"
#include <shellapi.h>
#endif

namespace VireoTool {
namespace {

struct Entry {
  const char* summary;
  CommandFn fn;
};

std::map<std::string, Entry>& Registry() {
  static std::map<std::string, Entry> registry;
  return registry;
}

int Usage(FILE* out) {
  std::fprintf(out, "usage: vireo-tool COMMAND [ARGS...]\n\ncommands:\n");
  for (const auto& [name, entry] : Registry()) std::fprintf(out, "  %-18s %s\n", name.c_str(), entry.summary);
  return out == stdout ? 0 : 2;
}

std::vector<std::string> Arguments(int argc, char** argv) {
  std::vector<std::string> args;
#ifdef _WIN32
  // The wide command line, so that non-ASCII paths survive.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 0; wide && i < count; ++i) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n > 0 ? n - 1 : 0), '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, s.data(), n, nullptr, nullptr);
    args.push_back(s);
  }
  LocalFree(wide);
#else
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
#endif
  return args;
}

}  // namespace

CommandRegistration::CommandRegistration(const char* name, const char* summary, CommandFn fn) {
  Registry()[name] = Entry{summary, fn};
}

}  // namespace VireoTool

int main(int argc, char** argv) {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  using namespace VireoTool;
  std::vector<std::string> args = Arguments(argc, argv);
  if (args.size() < 2) return Usage(stderr);
  const std::string command = args[1];
  if (command == "--help" || command == "-h" || command == "help") return Usage(stdout);
  auto it = Registry().find(command);
  if (it == Registry().end()) {
    std::fprintf(stderr, "vireo-tool: unknown command '%s'\n", command.c_str());
    return Usage(stderr);
  }
  return it->second.fn(std::vector<std::string>(args.begin() + 2, args.end()));
}
