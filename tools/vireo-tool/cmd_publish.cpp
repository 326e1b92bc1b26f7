// vireo-tool publish: one module of a release into a server tree.
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "tool_args.h"
#include "tool_publish.h"

namespace {

// "X:\..." or "\\server\..." (also with "/"): a path that does not depend on
// the current folder of the process reading it.
bool IsRootedWindowsPath(const std::wstring& path) {
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (path.size() >= 3 && path[1] == L':' && separator(path[2])) return true;
  return path.size() >= 2 && separator(path[0]) && separator(path[1]);
}

const char kUsage[] =
    "usage: vireo-tool publish --release DIR --out DIR --module NAME --install-path PATH\n"
    "                          [--process-image FILE] [--zip GLOB]... [--stamp-length N]\n"
    "                          [--update-list PATH] [--code-page N] [--sign-key KEY.pem]\n"
    "                          [--expires-in DURATION | --expires-at TIME]\n"
    "                          [--deltas N]\n"
    "\n"
    "Adds or replaces module NAME in OUT/update.xml and writes its update list with\n"
    "every file below DIR: name, version (from the version resource) and the Korea\n"
    "time stamp of its last-write time, and the size and SHA-256 of the file as\n"
    "served (for an archive, of the .zip). The files are copied to the server paths the\n"
    "updater requests; files matching a --zip GLOB are published as NAME.zip archives\n"
    "carrying that one file. Running it again on the same release changes nothing.\n"
    "\n"
    "  --release DIR        the module's folder as it should be installed\n"
    "  --out DIR            the server tree (document root)\n"
    "  --module NAME        the module's element name in update.xml\n"
    "  --install-path PATH  the module's install folder on the target machines\n"
    "                       (\"\" for the updater's own folder)\n"
    "  --process-image FILE the program started once the module is up to date\n"
    "  --zip GLOB           publish matching files as archives; * and ? stay within\n"
    "                       a folder, ** crosses folders; without a separator the\n"
    "                       pattern is matched against the file's own name\n"
    "  --stamp-length N     digits of the time stamp, 1 to 12 (default 12)\n"
    "  --update-list PATH   server path of the update list\n"
    "                       (default /update/NAME/UpdateList.xml)\n"
    "  --code-page N        ANSI code page of the target machines (default 1252)\n"
    "  --sign-key KEY.pem   the publisher's P-256 private key: writes update.xml.sig\n"
    "                       and the update list's .sig (DER, as `openssl dgst -sha256\n"
    "                       -sign` writes them) for keyed updaters\n"
    "  --expires-in DURATION  keyed updaters refuse update.xml after this long\n"
    "                       from now: 12h, 7d (also s, m); sign the tree again\n"
    "                       before then (vireo-tool resign)\n"
    "  --expires-at TIME    the same at a UTC time, YYYY-MM-DDTHH:MM:SSZ; without\n"
    "                       either option, update.xml keeps the expiry it has\n"
    "  --deltas N           a file that replaces an earlier version gets zstd patches\n"
    "                       from up to N earlier versions (default 3, 0 for none),\n"
    "                       listed under its entry; earlier versions are kept in\n"
    "                       ~vireo-bases beside the update list to make them\n"
    "\n"
    "update.xml pins each module's update list (size and sha256 of the list as\n"
    "served) and carries a serial: whenever the run changes update.xml, the serial\n"
    "is the one it had plus 1 (1 for a new tree), so keyed updaters never go back.\n"
    "update.xml is rewritten from its modules: comments and unknown elements in it\n"
    "are not kept. Without --sign-key, a .sig beside a document that changed is\n"
    "removed, since it no longer verifies.\n";

int Publish(const std::vector<std::string>& args) {
  using namespace VireoTool;
  OptionTable table;
  table.withValue = {"--release", "--out", "--module", "--install-path", "--process-image", "--zip",
                    "--stamp-length", "--update-list", "--code-page", "--sign-key", "--expires-in", "--expires-at",
                    "--deltas"};
  table.repeatable = {"--zip"};
  table.switches = {"--help"};
  ParsedArgs parsed;
  int exitCode = 0;
  if (!ParseCommandLine("publish", kUsage, args, table, &parsed, &exitCode)) return exitCode;
  std::string error;
  for (const char* required : {"--release", "--out", "--module", "--install-path"}) {
    if (!parsed.Has(required)) {
      std::fprintf(stderr, "vireo-tool publish: %s is required\n%s", required, kUsage);
      return 2;
    }
  }
  if (!parsed.positional.empty()) {
    std::fprintf(stderr, "vireo-tool publish: unexpected argument '%s'\n%s", parsed.positional[0].c_str(), kUsage);
    return 2;
  }
  PublishOptions options;
  options.releaseDir = Platform::FromUtf8(parsed.Value("--release"));
  options.outDir = Platform::FromUtf8(parsed.Value("--out"));
  options.module = Platform::FromUtf8(parsed.Value("--module"));
  options.installPath = Platform::FromUtf8(parsed.Value("--install-path"));
  options.processImage = Platform::FromUtf8(parsed.Value("--process-image"));
  options.updateListPath = Platform::FromUtf8(parsed.Value("--update-list"));
  if (parsed.Has("--sign-key")) {
    options.signKeyPath = Platform::FromUtf8(parsed.Value("--sign-key"));
    if (options.signKeyPath.empty()) {
      std::fprintf(stderr, "vireo-tool publish: --sign-key needs a key file\n");
      return 2;
    }
  }
  if (parsed.Has("--zip")) {
    for (const auto& glob : parsed.values["--zip"]) {
      if (glob.empty()) {
        std::fprintf(stderr, "vireo-tool publish: --zip needs a pattern\n");
        return 2;
      }
      options.zipGlobs.push_back(Platform::FromUtf8(glob));
    }
  }
  unsigned long number = 0;
  if (parsed.Has("--stamp-length")) {
    if (!ParseNumber(parsed.Value("--stamp-length"), 1, 12, &number)) {
      std::fprintf(stderr, "vireo-tool publish: --stamp-length must be a number from 1 to 12\n");
      return 2;
    }
    options.stampLength = number;
  }
  if (parsed.Has("--code-page")) {
    if (!ParseNumber(parsed.Value("--code-page"), 1, 65535, &number)) {
      std::fprintf(stderr, "vireo-tool publish: --code-page must be a code page number\n");
      return 2;
    }
    options.codePage = static_cast<unsigned>(number);
  }
  if (!ExpiryFromOptions(parsed.Value("--expires-in"), parsed.Value("--expires-at"), Platform::GetUtcNowFileTime(),
                         &options.expiresAt, &error)) {
    std::fprintf(stderr, "vireo-tool publish: %s\n", error.c_str());
    return 2;
  }
  if (parsed.Has("--deltas")) {
    if (!ParseNumber(parsed.Value("--deltas"), 0, 16, &number)) {
      std::fprintf(stderr, "vireo-tool publish: --deltas must be a number from 0 to 16\n");
      return 2;
    }
    options.deltas = number;
  }
  if (options.releaseDir.empty() || options.outDir.empty()) {
    std::fprintf(stderr, "vireo-tool publish: --release and --out need a folder\n");
    return 2;
  }
  PublishReport report;
  if (!PublishModule(options, &report, &error)) {
    std::fprintf(stderr, "vireo-tool publish: %s\n", error.c_str());
    return 1;
  }
  for (const auto& warning : report.warnings) std::fprintf(stderr, "warning: %s\n", warning.c_str());
  if (!options.installPath.empty() && !IsRootedWindowsPath(options.installPath)) {
    std::fprintf(stderr,
                 "note: install path '%s' is relative: the updater installs the module below its own folder\n",
                 parsed.Value("--install-path").c_str());
  }
  for (const auto& e : report.entries) {
    std::printf("%s\t%s\t%s\n", Platform::ToUtf8(e.fileName).c_str(), e.version.empty() ? "-" : Platform::ToUtf8(e.version).c_str(),
                Platform::ToUtf8(e.dateTime).c_str());
  }
  std::printf("module %s: %u files listed, %d patches, %d written, %d removed%s, update.xml serial %llu\n",
              parsed.Value("--module").c_str(), static_cast<unsigned>(report.entries.size()), report.patchesListed,
              report.filesWritten, report.filesRemoved, options.signKeyPath.empty() ? "" : ", signed",
              static_cast<unsigned long long>(report.serial));
  return 0;
}

VireoTool::CommandRegistration reg("publish", "publish a release folder as one module of a server tree", &Publish);

}  // namespace
