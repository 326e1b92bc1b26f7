#include "manifest/time_zone.h"

#include <cstdint>
#include <optional>

#include "manifest/time_zone_platform.h"

TimeZoneTable& GetTimeZoneTable() {
  static TimeZoneTable table;
  return table;
}

std::wstring FindTimeZoneKey(const TimeZoneTable& table, const CurrentTimeZone& zone) {
  for (const TimeZoneRecord& r : table) {
    if (r.Bias != zone.Bias || r.StandardBias != zone.StandardBias || r.StandardName != zone.StandardName) continue;
    if (zone.DaylightBias != r.DaylightBias && zone.DaylightBias != r.StandardBias) continue;
    if (zone.DaylightName != r.DaylightName && zone.DaylightName != r.StandardName) continue;
    return r.KeyName;
  }
  // A zone reported without names (Wine does this for zones it cannot map to
  // its own list, e.g. Lord Howe with its half-hour shift) can only be known
  // by its offset.
  if (zone.StandardName.empty() && zone.DaylightName.empty()) {
    for (const TimeZoneRecord& r : table) {
      if (r.Bias == zone.Bias && r.StandardBias == zone.StandardBias) return r.KeyName;
    }
  }
  return std::wstring();
}

namespace {

void EnsureTableLoaded() {
  if (GetTimeZoneTable().empty()) (void)LoadTimeZoneTable();
}

const TimeZoneRecord* FindRecord(const std::wstring& key) {
  for (const TimeZoneRecord& r : GetTimeZoneTable()) {
    if (r.KeyName == key) return &r;
  }
  return nullptr;
}

}  // namespace

std::wstring GetCurrentTimeZoneKey() {
  EnsureTableLoaded();
  return FindTimeZoneKey(GetTimeZoneTable(), QueryCurrentTimeZone());
}

bool ConvertToKoreaTime(Platform::SystemTime& time, const std::wstring& fromKey) {
  EnsureTableLoaded();
  if (fromKey.empty()) return false;
  const TimeZoneRecord* from = FindRecord(fromKey);
  const TimeZoneRecord* korea = FindRecord(kKoreaTimeZoneKey);
  // Without either record there is nothing sound to convert with; a zone
  // made of zeros would silently treat the time as UTC.
  if (!from || !korea) return false;
  return TimeZonePlatform::ConvertBetweenZones(*from, *korea, time, &time);
}

bool ConvertUtcToKoreaTime(Platform::SystemTime& time) {
  // Every installed file's time is converted: Korea's record alone is read,
  // not the whole table.
  static const std::optional<TimeZoneRecord> korea = [] {
    TimeZoneRecord record;
    return LoadTimeZoneRecord(kKoreaTimeZoneKey, &record) ? std::optional<TimeZoneRecord>(record) : std::nullopt;
  }();
  if (korea) return TimeZonePlatform::ConvertFromUtc(*korea, time, &time);
  // Korea has kept UTC+9 without daylight saving since 1988.
  return TimeZonePlatform::ShiftMinutes(time, 9 * 60, &time);
}

namespace TimeZonePlatform {

bool ShiftMinutes(const Platform::SystemTime& in, std::int64_t minutes, Platform::SystemTime* out) {
  std::uint64_t fileTime = 0;
  if (!Platform::FieldsToFileTime(in, &fileTime)) return false;
  constexpr std::int64_t kPerMinute = 600000000;  // 100-ns units
  const std::int64_t shift = minutes * kPerMinute;
  if (shift < 0 && fileTime < static_cast<std::uint64_t>(-shift)) return false;
  Platform::SystemTime shifted;
  if (!Platform::FileTimeToFields(fileTime + static_cast<std::uint64_t>(shift), &shifted)) return false;
  *out = shifted;
  return true;
}

}  // namespace TimeZonePlatform
