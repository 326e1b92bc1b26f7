// vireo-tool check: a server tree or a running server, read as the updater
// reads it.
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "manifest/update_trust.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "tool_args.h"
#include "tool_check.h"
#include "tool_files.h"
#include "tool_server.h"

namespace {

const char kUsage[] =
    "usage: vireo-tool check URL-or-DIR [--public-key PUB.pem]...\n"
    "\n"
    "Reads update.xml, every module's update list and every file they name from an\n"
    "update server (http://host:port[/path], or host:port as the updater is given\n"
    "it) or from a folder holding a server tree, with the updater's own parsers.\n"
    "Prints one line per finding: parse diagnostics, modules without update list,\n"
    "names that leave the install folder, duplicate names, bad time stamps, files\n"
    "missing on the server, sizes the server reports wrongly, archives that do not\n"
    "open, fail their CRC or lack their file, files whose version or time\n"
    "disagree with the list, and files whose size or SHA-256 is not what their\n"
    "entry declares, update lists that differ from the size and sha256 that\n"
    "update.xml pins, a malformed serial or expiry, and an expired update.xml (a\n"
    "warning when it expires within 72 hours). With --public-key (a key a keyed\n"
    "updater carries, as `openssl ec -pubout` writes it; give it once per key the\n"
    "updater knows) also: update.xml.sig missing or not verifying, each unpinned\n"
    "update list's .sig missing or not verifying, entries without size and\n"
    "sha256, update.xml without serial, and unpinned lists beside a serial.\n"
    "Exit status 0 when nothing is wrong, 1 with findings, 2 for bad arguments,\n"
    "an unreadable key or a server that cannot be reached.\n";

int Check(const std::vector<std::string>& args) {
  using namespace VireoTool;
  OptionTable table;
  table.withValue = {"--public-key"};
  table.repeatable = {"--public-key"};
  table.switches = {"--help"};
  ParsedArgs parsed;
  int exitCode = 0;
  if (!ParseCommandLine("check", kUsage, args, table, &parsed, &exitCode)) return exitCode;
  std::string error;
  if (parsed.positional.size() != 1) {
    std::fprintf(stderr, "vireo-tool check: give one server address or folder\n%s", kUsage);
    return 2;
  }
  CUpdateKey key;
  if (parsed.Has("--public-key")) {
    std::string all;
    for (const std::string& path : parsed.values["--public-key"]) {
      std::string pem;
      if (!ReadWholeFile(Platform::FromUtf8(path), &pem)) {
        std::fprintf(stderr, "vireo-tool check: %s: cannot be read (%s)\n", path.c_str(), LastErrorText().c_str());
        return 2;
      }
      // Each file alone must be one key, as the build takes it.
      const CUpdateKey one = UpdateKeyFromPem(pem);
      if (one.state != UpdateKeyState::Keyed || one.keys.size() != 1) {
        std::fprintf(stderr, "vireo-tool check: %s: not a PEM P-256 public key\n", path.c_str());
        return 2;
      }
      key.keys.push_back(one.keys[0]);
    }
    if (key.keys.size() > kMaxUpdateKeys) {
      std::fprintf(stderr, "vireo-tool check: at most %u public keys\n", static_cast<unsigned>(kMaxUpdateKeys));
      return 2;
    }
    key.state = UpdateKeyState::Keyed;
  }
  CServerSource server;
  if (!server.Open(parsed.positional[0], &error)) {
    std::fprintf(stderr, "vireo-tool check: %s\n", error.c_str());
    return 2;
  }
  CheckReport report;
  if (!CheckServer(server, &report, &error, key, Platform::GetUtcNowFileTime())) {
    std::fprintf(stderr, "vireo-tool check: %s: %s\n", server.Describe().c_str(), error.c_str());
    return 2;
  }
  for (const auto& finding : report.findings) std::printf("%s\n", finding.c_str());
  for (const auto& warning : report.warnings) std::fprintf(stderr, "warning: %s\n", warning.c_str());
  std::printf("%d modules, %d files checked%s, %u findings\n", report.modules, report.files,
              key.RequiresSignatures() ? ", signatures checked" : "", static_cast<unsigned>(report.findings.size()));
  return report.findings.empty() ? 0 : 1;
}

VireoTool::CommandRegistration reg("check", "check a server tree or server: manifest, update lists, files, archives",
                                   &Check);

}  // namespace
