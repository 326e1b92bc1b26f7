// Native build: file times are reported in UTC, so the machine's zone is
// "UTC", and Korea Standard Time is UTC+9 with no daylight saving (none since
// 1988). Neither zone has transition rules, so a conversion is a shift by the
// biases.
#include <cstdint>

#include "manifest/time_zone.h"
#include "manifest/time_zone_platform.h"

namespace {

constexpr wchar_t kUtcName[] = L"Coordinated Universal Time";

TimeZoneRecord MakeRecord(const wchar_t* key, std::int32_t bias, const wchar_t* standard, const wchar_t* daylight,
                          const wchar_t* display) {
  TimeZoneRecord r;
  r.Bias = bias;
  r.StandardName = standard;
  r.DaylightName = daylight;
  r.DisplayName = display;
  r.KeyName = key;
  return r;
}

bool HasRules(const TimeZoneRecord& r) { return r.StandardDate.month != 0 || r.DaylightDate.month != 0; }

TimeZoneTable FixedZones() {
  return {MakeRecord(L"UTC", 0, kUtcName, kUtcName, L"(UTC) Coordinated Universal Time"),
          MakeRecord(kKoreaTimeZoneKey, -540, L"Korea Standard Time", L"Korea Daylight Time", L"(UTC+09:00) Seoul")};
}

}  // namespace

bool LoadTimeZoneTable() {
  for (TimeZoneRecord& r : FixedZones()) GetTimeZoneTable().push_back(std::move(r));
  return true;
}

bool LoadTimeZoneRecord(const std::wstring& key, TimeZoneRecord* record) {
  for (const TimeZoneRecord& r : FixedZones()) {
    if (r.KeyName == key) {
      *record = r;
      return true;
    }
  }
  return false;
}

CurrentTimeZone QueryCurrentTimeZone() {
  CurrentTimeZone zone;
  zone.StandardName = kUtcName;
  zone.DaylightName = kUtcName;
  return zone;
}

namespace TimeZonePlatform {

// local = UTC - bias.
bool ConvertBetweenZones(const TimeZoneRecord& from, const TimeZoneRecord& to, const Platform::SystemTime& local,
                         Platform::SystemTime* out) {
  if (HasRules(from) || HasRules(to)) return false;
  return TimeZonePlatform::ShiftMinutes(local, static_cast<std::int64_t>(from.Bias) - to.Bias, out);
}

bool ConvertFromUtc(const TimeZoneRecord& to, const Platform::SystemTime& utc, Platform::SystemTime* out) {
  if (HasRules(to)) return false;
  return TimeZonePlatform::ShiftMinutes(utc, -static_cast<std::int64_t>(to.Bias), out);
}

}  // namespace TimeZonePlatform
