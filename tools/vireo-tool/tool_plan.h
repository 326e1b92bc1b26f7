// What an update run would fetch for one module of a server into a given
// installation, and why, without changing anything.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tool_analysis.h"

namespace VireoTool {

class CServerSource;

struct PlannedFetch {
  std::wstring fileName;   // as listed
  EntryDecision decision;  // Missing, OldTime, OldVersion or Refused
  int status = 0;          // the server's answer for the file (0 for refused names)
  std::uint32_t size = 0;  // the size the server reports
};

struct PlanReport {
  std::wstring module;
  std::vector<PlannedFetch> items;  // in list order; current files are left out
  int listed = 0;
  std::uint64_t totalBytes = 0;
};

// Plans module `module` (may be empty when the manifest has exactly one)
// against the installation in `installDir`. False with *error when the
// manifest or the update list cannot be fetched or read (the updater would
// stop there too), or the module is not in the manifest.
[[nodiscard]] bool PlanUpdate(CServerSource& server, const std::wstring& installDir, const std::wstring& module,
                              PlanReport* report, std::string* error);

}  // namespace VireoTool
