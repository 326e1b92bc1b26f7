#include "platform/http.h"

namespace Platform {

// No machine policies on posix builds.
bool PolicyAllowsBasicOverHttp() { return false; }

}  // namespace Platform
