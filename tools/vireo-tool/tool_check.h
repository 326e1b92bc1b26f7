// Checking a server tree the way the updater will read it: the manifest,
// every module's update list and every file they name.
#pragma once
#include <string>
#include <vector>

#include "manifest/update_trust.h"

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
// their CRC or do not carry their file, files or archives whose version
// or time disagree with the list (they would be fetched on every run), and
// files whose size or SHA-256 differ from what their entry declares, or
// whose declaration is malformed (every updater refuses them). With a Keyed
// `key` also: update.xml and update lists whose ".sig" is missing, malformed
// or does not verify, and entries without size or sha256 (a keyed updater
// fails on each). False only when the server cannot be reached at all
// (*error).
[[nodiscard]] bool CheckServer(CServerSource& server, CheckReport* report, std::string* error,
                               const CUpdateKey& key = CUpdateKey());

}  // namespace VireoTool
