// vireo-tool's subcommands register themselves here; each lives in a file of
// its own (cmd_*.cpp) and is linked straight into the executable.
#pragma once
#include <string>
#include <vector>

namespace VireoTool {

// A subcommand's entry: arguments after the subcommand's name, as UTF-8.
// Returns the process exit status. Output goes to stdout as UTF-8.
using CommandFn = int (*)(const std::vector<std::string>& args);

struct CommandRegistration {
  CommandRegistration(const char* name, const char* summary, CommandFn fn);
};

}  // namespace VireoTool
