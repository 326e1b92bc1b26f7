#include "tool_args.h"

#include <cstdio>

namespace VireoTool {

std::string ParsedArgs::Value(const std::string& name, const std::string& fallback) const {
  const auto it = values.find(name);
  return it == values.end() || it->second.empty() ? fallback : it->second.back();
}

bool ParseArgs(const std::vector<std::string>& args, const OptionTable& table, ParsedArgs* parsed, std::string* error) {
  *parsed = ParsedArgs();
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      parsed->positional.push_back(arg);
      continue;
    }
    std::string value;
    bool inlineValue = false;
    if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      inlineValue = true;
    }
    if (table.switches.count(arg) && !inlineValue) {
      parsed->switches.insert(arg);
      continue;
    }
    if (!table.withValue.count(arg)) {
      *error = "unknown option " + arg;
      return false;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) {
        *error = arg + " needs a value";
        return false;
      }
      value = args[++i];
    }
    auto& slot = parsed->values[arg];
    if (!slot.empty() && !table.repeatable.count(arg)) {
      *error = arg + " given more than once";
      return false;
    }
    slot.push_back(value);
  }
  return true;
}

bool ParseNumber(const std::string& text, unsigned long low, unsigned long high, unsigned long* value) {
  if (text.empty() || text.size() > 9) return false;
  unsigned long v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned long>(c - '0');
  }
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

bool ParseCommandLine(const char* command, const char* usage, const std::vector<std::string>& args,
                      const OptionTable& table, ParsedArgs* parsed, int* exitCode) {
  std::string error;
  if (!ParseArgs(args, table, parsed, &error)) {
    std::fprintf(stderr, "vireo-tool %s: %s\n%s", command, error.c_str(), usage);
    *exitCode = 2;
    return false;
  }
  if (parsed->switches.count("--help")) {
    std::fputs(usage, stdout);
    *exitCode = 0;
    return false;
  }
  return true;
}

}  // namespace VireoTool
