// The platform's list of time zones and the conversion of local calendar
// times into Korea Standard Time, the zone in which update lists publish
// their time stamps. Used only from the update worker thread.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"

inline constexpr wchar_t kKoreaTimeZoneKey[] = L"Korea Standard Time";

// One zone: the registry's "TZI" value (biases in minutes, transition rules
// in SYSTEMTIME's rule form) and its names.
struct TimeZoneRecord {
  std::int32_t Bias = 0;
  std::int32_t StandardBias = 0;
  std::int32_t DaylightBias = 0;
  Platform::SystemTime StandardDate;
  Platform::SystemTime DaylightDate;
  std::wstring StandardName;  // "Std", at most 31 characters
  std::wstring DaylightName;  // "Dlt", at most 31 characters
  std::wstring DisplayName;   // "Display", at most 127 characters
  std::wstring KeyName;       // the sub-key's name, e.g. "Korea Standard Time"
};

using TimeZoneTable = std::vector<TimeZoneRecord>;

// The process-wide table, empty until first loaded; it only grows.
TimeZoneTable& GetTimeZoneTable();

// Appends the platform's zones to GetTimeZoneTable(), in enumeration order.
// On Windows from HKLM "SOFTWARE\Microsoft\Windows NT\CurrentVersion\Time
// Zones"; records read before a failure stay. The native build knows two
// fixed zones, "UTC" and "Korea Standard Time". True when the whole list was
// read.
bool LoadTimeZoneTable();
// Reads the one record named `key` from the same list, without the rest of
// it (on Windows the whole list is a scan of some 140 registry keys). False
// when it is not there.
bool LoadTimeZoneRecord(const std::wstring& key, TimeZoneRecord* record);

// The machine's current zone as the platform reports it.
struct CurrentTimeZone {
  std::int32_t Bias = 0;
  std::int32_t StandardBias = 0;
  std::int32_t DaylightBias = 0;
  std::wstring StandardName;
  std::wstring DaylightName;
};
CurrentTimeZone QueryCurrentTimeZone();

// The key of the first record matching `zone`: equal bias, standard bias and
// standard name; the zone's daylight bias equal to the record's daylight or
// standard bias, and its daylight name equal to the record's daylight or
// standard name. A zone the platform reports without any name matches the
// first record with its bias and standard bias. Empty when none matches.
std::wstring FindTimeZoneKey(const TimeZoneTable& table, const CurrentTimeZone& zone);

// FindTimeZoneKey for the machine's current zone, loading the table first
// when it is empty. Empty when the zone is not in the table.
std::wstring GetCurrentTimeZoneKey();

// Converts `time` in place from the local time of the zone named `fromKey`
// to Korea Standard Time, loading the table first when it is empty. False,
// with `time` unchanged, when fromKey is empty, either zone is not in the
// table, or a conversion fails.
bool ConvertToKoreaTime(Platform::SystemTime& time, const std::wstring& fromKey);

// Converts a UTC calendar time in place to Korea Standard Time, with the
// platform's "Korea Standard Time" record (read once, on its own), or UTC+9
// when the platform lacks it.
// False, with `time` unchanged, when the conversion fails.
bool ConvertUtcToKoreaTime(Platform::SystemTime& time);
