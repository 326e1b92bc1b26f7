#include "platform/clock_platform.h"
#include "platform/system_time_win32.h"

namespace Platform {

SystemTime FromSystemTime(const SYSTEMTIME& st) {
  SystemTime t;
  t.year = st.wYear;
  t.month = st.wMonth;
  t.dayOfWeek = st.wDayOfWeek;
  t.day = st.wDay;
  t.hour = st.wHour;
  t.minute = st.wMinute;
  t.second = st.wSecond;
  t.milliseconds = st.wMilliseconds;
  return t;
}

SYSTEMTIME ToSystemTime(const SystemTime& t) {
  SYSTEMTIME st{};
  st.wYear = t.year;
  st.wMonth = t.month;
  st.wDayOfWeek = t.dayOfWeek;
  st.wDay = t.day;
  st.wHour = t.hour;
  st.wMinute = t.minute;
  st.wSecond = t.second;
  st.wMilliseconds = t.milliseconds;
  return st;
}

SystemTime ClockPlatform::ReadLocalTime() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  return FromSystemTime(st);
}

std::uint64_t ClockPlatform::ReadUtcFileTime() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

std::uint32_t GetTickCountMs() { return ::GetTickCount(); }

}  // namespace Platform
