// Windows: the zones come from the registry's time-zone list, the current
// zone from GetTimeZoneInformation, and conversions use the platform's
// zone-aware calls so that daylight-saving rules apply for each date.
#include <cstring>

#include "manifest/time_zone.h"
#include "manifest/time_zone_platform.h"
#include "platform/system_time_win32.h"
#include "platform/windows_api.h"

namespace {

using Platform::FromSystemTime;
using Platform::ToSystemTime;

constexpr wchar_t kTimeZonesKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones";
constexpr REGSAM kReadAccess = 0x20019;  // KEY_READ
constexpr DWORD kKeyNameChars = 128;

class CScopedKey {
 public:
  CScopedKey() = default;
  ~CScopedKey() {
    if (key_) RegCloseKey(key_);
  }
  CScopedKey(const CScopedKey&) = delete;
  CScopedKey& operator=(const CScopedKey&) = delete;
  HKEY* Receive() { return &key_; }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// Reads a string value of at most `maxBytes` bytes, terminator included.
LSTATUS ReadString(HKEY key, const wchar_t* name, DWORD maxBytes, std::wstring* out) {
  wchar_t buffer[128] = {};
  DWORD type = 0;
  DWORD bytes = maxBytes;
  const LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
  if (status != ERROR_SUCCESS) return status;
  if ((type != REG_SZ && type != REG_EXPAND_SZ) || bytes % 2 != 0) return ERROR_INVALID_DATA;
  const DWORD chars = bytes / 2;
  if (chars != 0 && buffer[chars - 1] != L'\0') return ERROR_INVALID_DATA;
  out->assign(buffer, chars != 0 ? chars - 1 : 0);
  return ERROR_SUCCESS;
}

// The registry's "TZI" value (REG_TZI_FORMAT).
struct RegTzi {
  LONG Bias;
  LONG StandardBias;
  LONG DaylightBias;
  SYSTEMTIME StandardDate;
  SYSTEMTIME DaylightDate;
};
static_assert(sizeof(RegTzi) == 44);

LSTATUS ReadRecord(HKEY list, const wchar_t* keyName, TimeZoneRecord* record) {
  CScopedKey key;
  LSTATUS status = RegOpenKeyExW(list, keyName, 0, kReadAccess, key.Receive());
  if (status != ERROR_SUCCESS) return status;
  if ((status = ReadString(key.Get(), L"Display", 256, &record->DisplayName)) != ERROR_SUCCESS) return status;
  if ((status = ReadString(key.Get(), L"Std", 64, &record->StandardName)) != ERROR_SUCCESS) return status;
  if ((status = ReadString(key.Get(), L"Dlt", 64, &record->DaylightName)) != ERROR_SUCCESS) return status;
  RegTzi tzi{};
  DWORD type = 0;
  DWORD bytes = sizeof tzi;
  status = RegQueryValueExW(key.Get(), L"TZI", nullptr, &type, reinterpret_cast<BYTE*>(&tzi), &bytes);
  if (status != ERROR_SUCCESS) return status;
  if (type != REG_BINARY) return ERROR_INVALID_DATA;
  record->Bias = tzi.Bias;
  record->StandardBias = tzi.StandardBias;
  record->DaylightBias = tzi.DaylightBias;
  record->StandardDate = FromSystemTime(tzi.StandardDate);
  record->DaylightDate = FromSystemTime(tzi.DaylightDate);
  record->KeyName = keyName;
  return ERROR_SUCCESS;
}

TIME_ZONE_INFORMATION ToZoneInformation(const TimeZoneRecord& r) {
  TIME_ZONE_INFORMATION z{};
  z.Bias = r.Bias;
  z.StandardBias = r.StandardBias;
  z.DaylightBias = r.DaylightBias;
  z.StandardDate = ToSystemTime(r.StandardDate);
  z.DaylightDate = ToSystemTime(r.DaylightDate);
  return z;
}

}  // namespace

bool LoadTimeZoneTable() {
  CScopedKey list;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTimeZonesKey, 0, kReadAccess, list.Receive()) != ERROR_SUCCESS) return false;
  LSTATUS status = ERROR_SUCCESS;
  for (DWORD index = 0;; ++index) {
    wchar_t name[kKeyNameChars];
    DWORD chars = kKeyNameChars;
    status = RegEnumKeyExW(list.Get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    // A name too long for the record cannot be a key anyone looks up; the
    // zones after it are still worth having.
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) break;
    TimeZoneRecord record;
    if ((status = ReadRecord(list.Get(), name, &record)) != ERROR_SUCCESS) break;
    GetTimeZoneTable().push_back(std::move(record));
  }
  return status == ERROR_NO_MORE_ITEMS;
}

bool LoadTimeZoneRecord(const std::wstring& key, TimeZoneRecord* record) {
  CScopedKey list;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTimeZonesKey, 0, kReadAccess, list.Receive()) != ERROR_SUCCESS) return false;
  return ReadRecord(list.Get(), key.c_str(), record) == ERROR_SUCCESS;
}

CurrentTimeZone QueryCurrentTimeZone() {
  TIME_ZONE_INFORMATION z{};
  GetTimeZoneInformation(&z);
  CurrentTimeZone zone;
  zone.Bias = z.Bias;
  zone.StandardBias = z.StandardBias;
  zone.DaylightBias = z.DaylightBias;
  zone.StandardName.assign(z.StandardName, wcsnlen(z.StandardName, 32));
  zone.DaylightName.assign(z.DaylightName, wcsnlen(z.DaylightName, 32));
  return zone;
}

namespace TimeZonePlatform {

bool ConvertBetweenZones(const TimeZoneRecord& from, const TimeZoneRecord& to, const Platform::SystemTime& local,
                         Platform::SystemTime* out) {
  const TIME_ZONE_INFORMATION fromZone = ToZoneInformation(from);
  const TIME_ZONE_INFORMATION toZone = ToZoneInformation(to);
  const SYSTEMTIME in = ToSystemTime(local);
  SYSTEMTIME utc{};
  if (!TzSpecificLocalTimeToSystemTime(&fromZone, &in, &utc)) return false;
  SYSTEMTIME result{};
  if (!SystemTimeToTzSpecificLocalTime(&toZone, &utc, &result)) return false;
  *out = FromSystemTime(result);
  return true;
}

bool ConvertFromUtc(const TimeZoneRecord& to, const Platform::SystemTime& utc, Platform::SystemTime* out) {
  const TIME_ZONE_INFORMATION toZone = ToZoneInformation(to);
  const SYSTEMTIME in = ToSystemTime(utc);
  SYSTEMTIME result{};
  if (!SystemTimeToTzSpecificLocalTime(&toZone, &in, &result)) return false;
  *out = FromSystemTime(result);
  return true;
}

}  // namespace TimeZonePlatform
