// Adds a test CA to the trusted roots of the Wine prefix it runs in, for
// scripts that run Updater.exe against the harness's https server:
//   trust_test_ca.exe Z:\path\to\DIR\tls\ca.der
// Exit 0 when the certificate is (now) trusted; 1 with the reason on stderr.
#include <cstdio>
#include <string>

#include "harness/trusted_root.h"
#include "platform/text.h"
#include "platform/windows_api.h"
// clang-format off
#include <shellapi.h>
// clang-format on

int main() {
  int count = 0;
  wchar_t** args = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (args == nullptr || count != 2) {
    std::fprintf(stderr, "usage: trust_test_ca.exe CA.der\n");
    return 2;
  }
  std::string problem;
  const bool ok = TestHarness::AddTrustedRootFile(args[1], &problem);
  ::LocalFree(args);
  if (!ok) {
    std::fprintf(stderr, "trust_test_ca: %s\n", problem.c_str());
    return 1;
  }
  return 0;
}
