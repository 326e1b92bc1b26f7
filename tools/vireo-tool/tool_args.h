// Command-line options of vireo-tool's subcommands: "--name value" pairs,
// "--flag" switches and positional arguments, checked against what the
// subcommand accepts.
#pragma once
#include <map>
#include <set>
#include <string>
#include <vector>

namespace VireoTool {

struct OptionTable {
  std::set<std::string> withValue;   // "--release" ...
  std::set<std::string> repeatable;  // subset of withValue that may repeat
  std::set<std::string> switches;    // "--help" ...
};

struct ParsedArgs {
  std::map<std::string, std::vector<std::string>> values;
  std::set<std::string> switches;
  std::vector<std::string> positional;

  bool Has(const std::string& name) const { return values.count(name) != 0; }
  // The option's (last) value, or `fallback` when it was not given.
  std::string Value(const std::string& name, const std::string& fallback = std::string()) const;
};

// False, with *error naming the problem, for an unknown option, an option
// without its value, or a non-repeatable option given twice. "--name=value"
// is accepted too.
[[nodiscard]] bool ParseArgs(const std::vector<std::string>& args, const OptionTable& table, ParsedArgs* parsed,
                             std::string* error);

// The common front of a subcommand: parses `args` against `table` (which
// should list "--help"). True when the subcommand should go on; false when
// it should return *exitCode at once: 0 after printing `usage` to stdout for
// --help, 2 after printing "vireo-tool COMMAND: problem" and `usage` to
// stderr for a bad command line.
[[nodiscard]] bool ParseCommandLine(const char* command, const char* usage, const std::vector<std::string>& args,
                                    const OptionTable& table, ParsedArgs* parsed, int* exitCode);

// A decimal number within [low, high]; false for anything else.
[[nodiscard]] bool ParseNumber(const std::string& text, unsigned long low, unsigned long high, unsigned long* value);

}  // namespace VireoTool
