// Checking a server tree the way the updater will read it: the manifest,
// every module's update list and every file they name.
#pragma once
#include <string>
#include <vector>

namespace VireoTool {

class CServerSource;

struct CheckReport {
  std::vector<std::string> findings;  // one line each; empty when all is well
  int modules = 0;
  int files = 0;
};

// Fetches update.xml, every module's update list and every listed file,
// reads them with the updater's parsers and reports: parse diagnostics,
// modules without an update list, names that would leave the install
// folder, duplicate names, malformed time stamps, files the server does not
// have, sizes the server reports wrongly, archives that do not open, fail
// their CRC or do not carry their file, and files or archives whose version
// or time disagree with the list (they would be fetched on every run).
// False only when the server cannot be reached at all (*error).
[[nodiscard]] bool CheckServer(CServerSource& server, CheckReport* report, std::string* error);

}  // namespace VireoTool
