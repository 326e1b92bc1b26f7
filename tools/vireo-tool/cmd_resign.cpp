// vireo-tool resign: a server tree's manifest signed again, with a higher
// serial and a new expiry, without a release.
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "manifest/trust_formats.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "tool_args.h"
#include "tool_publish.h"

namespace {

const char kUsage[] =
    "usage: vireo-tool resign ROOT --sign-key KEY.pem [--expires-in DURATION | --expires-at TIME]\n"
    "\n"
    "Signs ROOT/update.xml again without publishing a release: raises its serial by\n"
    "one, pins every module's update list as it lies in the tree (size and sha256),\n"
    "sets the expiry when one is given (else keeps the one it has) and writes\n"
    "update.xml and update.xml.sig. Use it to refresh an expiry before it passes,\n"
    "and once on a tree published before serials so that keyed updaters refuse\n"
    "older releases from then on. The update lists and files are not touched.\n"
    "\n"
    "  --sign-key KEY.pem     the publisher's P-256 private key\n"
    "  --expires-in DURATION  keyed updaters refuse update.xml after this long from\n"
    "                         now: 12h, 7d (also s, m)\n"
    "  --expires-at TIME      the same at a UTC time, YYYY-MM-DDTHH:MM:SSZ\n";

int Resign(const std::vector<std::string>& args) {
  using namespace VireoTool;
  OptionTable table;
  table.withValue = {"--sign-key", "--expires-in", "--expires-at"};
  table.switches = {"--help"};
  ParsedArgs parsed;
  int exitCode = 0;
  if (!ParseCommandLine("resign", kUsage, args, table, &parsed, &exitCode)) return exitCode;
  if (parsed.positional.size() != 1 || parsed.positional[0].empty()) {
    std::fprintf(stderr, "vireo-tool resign: give the server tree's folder\n%s", kUsage);
    return 2;
  }
  if (parsed.Value("--sign-key").empty()) {
    std::fprintf(stderr, "vireo-tool resign: --sign-key is required\n%s", kUsage);
    return 2;
  }
  std::string error;
  std::optional<std::uint64_t> expires;
  if (!ExpiryFromOptions(parsed.Value("--expires-in"), parsed.Value("--expires-at"), Platform::GetUtcNowFileTime(),
                         &expires, &error)) {
    std::fprintf(stderr, "vireo-tool resign: %s\n", error.c_str());
    return 2;
  }
  PublishReport report;
  if (!ResignTree(Platform::FromUtf8(parsed.positional[0]), Platform::FromUtf8(parsed.Value("--sign-key")), expires,
                  &report, &error)) {
    std::fprintf(stderr, "vireo-tool resign: %s\n", error.c_str());
    return 1;
  }
  std::printf("update.xml signed, serial %llu%s%s\n", static_cast<unsigned long long>(report.serial),
              expires ? ", expires " : "", expires ? Platform::ToUtf8(FormatUtcTime(*expires)).c_str() : "");
  return 0;
}

VireoTool::CommandRegistration reg("resign", "sign a server tree's update.xml again: higher serial, new expiry",
                                   &Resign);

}  // namespace
