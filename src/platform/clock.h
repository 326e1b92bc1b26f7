// Local time, the millisecond tick counter and calendar arithmetic on file times.
#pragma once
#include <cstdint>

namespace Platform {

// The fields of a calendar time, as Windows' SYSTEMTIME holds them.
struct SystemTime {
  std::uint16_t year = 0;
  std::uint16_t month = 0;      // 1..12
  std::uint16_t dayOfWeek = 0;  // 0 = Sunday
  std::uint16_t day = 0;        // 1..31
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
  std::uint16_t milliseconds = 0;
};

// The machine's local time, to the millisecond.
SystemTime GetLocalTimeNow();
// Replaces the local time source (tests); nullptr restores the real clock.
void SetLocalTimeSourceForTesting(SystemTime (*source)());

// The current time in UTC as a FILETIME (100 ns since 1601-01-01).
std::uint64_t GetUtcNowFileTime();
// Replaces the UTC time source (tests); nullptr restores the real clock.
void SetUtcTimeSourceForTesting(std::uint64_t (*source)());
// Milliseconds since an arbitrary start, wrapping at 2^32.
std::uint32_t GetTickCountMs();

// FILETIME (100 ns since 1601-01-01) <-> calendar fields, no zone applied.
// The conversion to fields fails for values past year 30827; the one from
// fields fails for out-of-range fields (dayOfWeek is ignored and filled in).
bool FileTimeToFields(std::uint64_t fileTime, SystemTime* fields);
bool FieldsToFileTime(const SystemTime& fields, std::uint64_t* fileTime);

}  // namespace Platform
