// Windows only: the platform's SYSTEMTIME beside the portable SystemTime.
// The two hold the same fields in the same order; these are the only place
// that copies one to the other.
#pragma once
#include "platform/clock.h"
#include "platform/windows_api.h"

namespace Platform {

SystemTime FromSystemTime(const SYSTEMTIME& st);
SYSTEMTIME ToSystemTime(const SystemTime& t);

}  // namespace Platform
