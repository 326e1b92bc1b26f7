// vireo-tool plan: what an update run would fetch into an installation.
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tool_args.h"
#include "tool_plan.h"
#include "tool_server.h"

namespace {

const char kUsage[] =
    "usage: vireo-tool plan URL-or-DIR --install DIR [--module NAME]\n"
    "\n"
    "Runs the updater's analysis for one module against the installation in DIR\n"
    "without changing it, and prints each file that would be fetched and why\n"
    "(missing, old time, old version), with the size the server reports and the\n"
    "byte total. --module may be left out when the manifest has one module.\n"
    "Exit status 0 on success, 1 when the manifest or update list cannot be read,\n"
    "2 for bad arguments.\n";

int Plan(const std::vector<std::string>& args) {
  using namespace VireoTool;
  OptionTable table;
  table.withValue = {"--install", "--module"};
  table.switches = {"--help"};
  ParsedArgs parsed;
  int exitCode = 0;
  if (!ParseCommandLine("plan", kUsage, args, table, &parsed, &exitCode)) return exitCode;
  std::string error;
  if (parsed.positional.size() != 1 || !parsed.Has("--install")) {
    std::fprintf(stderr, "vireo-tool plan: give one server address or folder and --install DIR\n%s", kUsage);
    return 2;
  }
  const std::wstring install = Platform::FromUtf8(parsed.Value("--install"));
  if (install.empty() || (Platform::PathExists(install) && !Platform::IsDirectory(install))) {
    std::fprintf(stderr, "vireo-tool plan: --install must name a folder\n");
    return 2;
  }
  CServerSource server;
  if (!server.Open(parsed.positional[0], &error)) {
    std::fprintf(stderr, "vireo-tool plan: %s\n", error.c_str());
    return 2;
  }
  PlanReport report;
  if (!PlanUpdate(server, install, Platform::FromUtf8(parsed.Value("--module")), &report, &error)) {
    std::fprintf(stderr, "vireo-tool plan: %s\n", error.c_str());
    return 1;
  }
  int fetches = 0;
  for (const auto& item : report.items) {
    const std::string name = Platform::ToUtf8(item.fileName);
    if (item.decision.verdict == EntryVerdict::Refused) {
      std::printf("skip\t%s\tname leaves the install folder\n", name.c_str());
      continue;
    }
    ++fetches;
    std::string why = DescribeVerdict(item.decision.verdict);
    if (!item.decision.logLine.empty()) why = Platform::ToUtf8(item.decision.logLine);
    std::string size = std::to_string(item.size) + " bytes";
    if (item.status != 200) size = "server answers " + std::to_string(item.status);
    std::printf("fetch\t%s\t%s\t%s\n", name.c_str(), why.c_str(), size.c_str());
  }
  if (fetches == 0) {
    std::printf("module %s: %d files listed, nothing to fetch\n", Platform::ToUtf8(report.module).c_str(), report.listed);
  } else {
    std::printf("module %s: %d files listed, %d to fetch, %s bytes\n", Platform::ToUtf8(report.module).c_str(),
                report.listed, fetches, std::to_string(report.totalBytes).c_str());
  }
  return 0;
}

VireoTool::CommandRegistration reg("plan", "show what an update would fetch into an installation, and why", &Plan);

}  // namespace
