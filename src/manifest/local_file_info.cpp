#include "manifest/local_file_info.h"

#include <cstdio>

#include "manifest/time_zone.h"

CLocalFileInfo::CLocalFileInfo(const std::wstring& path) : Path(path) {
  if (!Path.empty()) (void)ReadLocalFileInfo();
}

std::wstring MakeLocalTimeStamp(const CLocalFileInfo& info, const std::wstring& currentZoneKey, std::size_t length) {
  return MakeLocalTimeStamp(info, [&currentZoneKey] { return currentZoneKey; }, length);
}

std::wstring MakeLocalTimeStamp(const CLocalFileInfo& info, const std::function<std::wstring()>& currentZoneKey,
                                std::size_t length) {
  Platform::SystemTime time = info.LastWriteTimeUtc;
  if (time.year == 0 || !ConvertUtcToKoreaTime(time)) {
    time = info.LastWriteTime;
    const std::wstring key = currentZoneKey();
    if (!key.empty() && key != kKoreaTimeZoneKey) (void)ConvertToKoreaTime(time, key);
  }
  char digits[32];
  std::snprintf(digits, sizeof digits, "%04d%02d%02d%02d%02d", time.year, time.month, time.day, time.hour,
                time.minute);
  std::wstring stamp(digits, digits + std::char_traits<char>::length(digits));
  if (length < stamp.size()) stamp.resize(length);
  return stamp;
}
