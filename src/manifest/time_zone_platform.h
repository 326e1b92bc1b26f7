// Internal: the platform half of the time-zone service (time_zone_win32.cpp,
// time_zone_posix.cpp), and a shared helper.
#pragma once
#include "manifest/time_zone.h"

namespace TimeZonePlatform {

// Converts `local`, a local time of zone `from`, to the local time of zone
// `to`, through UTC. False when either step fails; *out is then unchanged.
bool ConvertBetweenZones(const TimeZoneRecord& from, const TimeZoneRecord& to, const Platform::SystemTime& local,
                         Platform::SystemTime* out);
// Converts a UTC time to the local time of zone `to`. False when it fails;
// *out is then unchanged.
bool ConvertFromUtc(const TimeZoneRecord& to, const Platform::SystemTime& utc, Platform::SystemTime* out);

// Adds `minutes` (may be negative) to a calendar time; false when the result
// is out of range. Defined in time_zone.cpp.
bool ShiftMinutes(const Platform::SystemTime& in, std::int64_t minutes, Platform::SystemTime* out);

}  // namespace TimeZonePlatform
