// Internal: the platform half of the clock (clock_win32.cpp, clock_posix.cpp).
// clock_common.cpp puts the test time source in front of it.
#pragma once
#include "platform/clock.h"

namespace Platform::ClockPlatform {

// The machine's local time, to the millisecond.
SystemTime ReadLocalTime();
// The current UTC time as a FILETIME.
std::uint64_t ReadUtcFileTime();

}  // namespace Platform::ClockPlatform
