#include "manifest/local_file_info.h"

#include <cstdio>

#include "manifest/time_zone.h"

CLocalFileInfo::CLocalFileInfo(const std::wstring& path) : Path(path) {
  if (!Path.empty()) (void)ReadLocalFileInfo();
}

bool StampNeedsZoneKey(const CLocalFileInfo& info) {
  Platform::SystemTime time = info.LastWriteTimeUtc;
  return time.year == 0 || !ConvertUtcToKoreaTime(time);
}

std::wstring MakeLocalTimeStamp(const CLocalFileInfo& info, const std::wstring& currentZoneKey, std::size_t length) {
  Platform::SystemTime time = info.LastWriteTimeUtc;
  if (time.year == 0 || !ConvertUtcToKoreaTime(time)) {
    time = info.LastWriteTime;
    if (!currentZoneKey.empty() && currentZoneKey != kKoreaTimeZoneKey) {
      (void)ConvertToKoreaTime(time, currentZoneKey);
    }
  }
  char digits[32];
  std::snprintf(digits, sizeof digits, "%04d%02d%02d%02d%02d", time.year, time.month, time.day, time.hour,
                time.minute);
  std::wstring stamp(digits, digits + std::char_traits<char>::length(digits));
  if (length < stamp.size()) stamp.resize(length);
  return stamp;
}
