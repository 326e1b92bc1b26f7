// Test-side path helpers: Unix paths (from the Linux side of the harness)
// seen from a program running under Wine, which maps the Unix root to Z:.
#pragma once
#include <string>

namespace TestHarness {

// "/a/b" -> "Z:\a\b". A path that is not absolute comes back with "/" made "\".
std::wstring UnixToWinePath(const std::string& unixPath);
// The environment variable's value (UTF-8), or empty when it is not set.
std::string GetEnv(const char* name);

}  // namespace TestHarness

namespace TestHarness {
// True when the environment variable is unset or empty.
inline bool GetEnvIsEmpty(const char* name) { return GetEnv(name).empty(); }
}  // namespace TestHarness
