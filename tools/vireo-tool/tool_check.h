// Checking a server tree the way the updater will read it: the manifest,
// every module's update list and every file they name.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "manifest/update_trust.h"

namespace VireoTool {

class CServerSource;

struct CheckReport {
  std::vector<std::string> findings;  // one line each; empty when all is well
  std::vector<std::string> warnings;  // not defects yet (an expiry less than 72 h away)
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
// fails on each). Always: update lists whose bytes differ from the pin
// update.xml gives them (size and sha256 of "update_list"), a malformed
// pin, serial or expiry, and an expiry that has passed by `nowUtc`
// (FILETIME; keyed updaters refuse the manifest); an expiry less than 72 h
// away is a warning. With a key also: a manifest without serial (keyed
// updaters take it only until they have taken one with a serial) and, in
// a manifest with one, a module whose list is not pinned. False only when
// the server cannot be reached at all (*error).
[[nodiscard]] bool CheckServer(CServerSource& server, CheckReport* report, std::string* error,
                               const CUpdateKey& key = CUpdateKey(), std::uint64_t nowUtc = 0);

// How close an expiry may come before check warns.
inline constexpr std::uint64_t kExpiryWarningTicks = 72ULL * 3600 * 10000000ULL;

}  // namespace VireoTool
