// vireo-tool: a command-line companion for the people who publish updates.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "command.h"
#include "platform/process.h"

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

}  // namespace

CommandRegistration::CommandRegistration(const char* name, const char* summary, CommandFn fn) {
  Registry()[name] = Entry{summary, fn};
}

}  // namespace VireoTool

int main(int argc, char** argv) {
  using namespace VireoTool;
  Platform::SetBinaryStandardOutput();
  const std::vector<std::string> args = Platform::GetCommandLineArguments(argc, argv);
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
