#include <sys/time.h>
#include <time.h>

#include "platform/clock_platform.h"

namespace Platform {

SystemTime ClockPlatform::ReadLocalTime() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm {};
  localtime_r(&ts.tv_sec, &tm);
  SystemTime t;
  t.year = static_cast<std::uint16_t>(tm.tm_year + 1900);
  t.month = static_cast<std::uint16_t>(tm.tm_mon + 1);
  t.dayOfWeek = static_cast<std::uint16_t>(tm.tm_wday);
  t.day = static_cast<std::uint16_t>(tm.tm_mday);
  t.hour = static_cast<std::uint16_t>(tm.tm_hour);
  t.minute = static_cast<std::uint16_t>(tm.tm_min);
  t.second = static_cast<std::uint16_t>(tm.tm_sec > 59 ? 59 : tm.tm_sec);
  t.milliseconds = static_cast<std::uint16_t>(ts.tv_nsec / 1000000);
  return t;
}

std::uint64_t ClockPlatform::ReadUtcFileTime() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  constexpr std::uint64_t k1601To1970 = 116444736000000000ULL;
  return k1601To1970 + static_cast<std::uint64_t>(ts.tv_sec) * 10000000ULL +
         static_cast<std::uint64_t>(ts.tv_nsec) / 100;
}

std::uint32_t GetTickCountMs() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000;
  return static_cast<std::uint32_t>(ms);
}

}  // namespace Platform
