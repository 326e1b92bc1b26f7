#include <atomic>

#include "platform/clock.h"
#include "platform/clock_platform.h"

namespace Platform {
namespace {

std::atomic<SystemTime (*)()> timeSource{nullptr};
std::atomic<std::uint64_t (*)()> utcSource{nullptr};

constexpr std::uint64_t kTicksPerSecond = 10000000ULL;
constexpr std::uint64_t kTicksPerDay = 86400ULL * kTicksPerSecond;

// Days from 1601-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t daysSince1970 = era * 146097 + static_cast<std::int64_t>(doe) - 719468;
  return daysSince1970 + 134774;  // 1601-01-01 .. 1970-01-01
}

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

}  // namespace

void SetLocalTimeSourceForTesting(SystemTime (*source)()) { timeSource = source; }

SystemTime GetLocalTimeNow() {
  if (auto source = timeSource.load()) return source();
  return ClockPlatform::ReadLocalTime();
}

void SetUtcTimeSourceForTesting(std::uint64_t (*source)()) { utcSource = source; }

std::uint64_t GetUtcNowFileTime() {
  if (auto source = utcSource.load()) return source();
  return ClockPlatform::ReadUtcFileTime();
}

bool FileTimeToFields(std::uint64_t fileTime, SystemTime* fields) {
  if (fileTime >= 0x8000000000000000ULL) return false;
  std::int64_t days = static_cast<std::int64_t>(fileTime / kTicksPerDay);
  std::uint64_t rest = fileTime % kTicksPerDay;
  // Civil from days (relative to 1970), the inverse of DaysFromCivil.
  std::int64_t z = days - 134774 + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
  if (y > 30827) return false;
  fields->year = static_cast<std::uint16_t>(y);
  fields->month = static_cast<std::uint16_t>(m);
  fields->day = static_cast<std::uint16_t>(d);
  fields->dayOfWeek = static_cast<std::uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
  fields->hour = static_cast<std::uint16_t>(rest / (3600 * kTicksPerSecond));
  rest %= 3600 * kTicksPerSecond;
  fields->minute = static_cast<std::uint16_t>(rest / (60 * kTicksPerSecond));
  rest %= 60 * kTicksPerSecond;
  fields->second = static_cast<std::uint16_t>(rest / kTicksPerSecond);
  rest %= kTicksPerSecond;
  fields->milliseconds = static_cast<std::uint16_t>(rest / 10000);
  return true;
}

bool FieldsToFileTime(const SystemTime& f, std::uint64_t* fileTime) {
  if (f.year < 1601 || f.year > 30827 || f.month < 1 || f.month > 12 || f.day < 1 ||
      f.day > DaysInMonth(f.year, f.month) || f.hour > 23 || f.minute > 59 || f.second > 59 ||
      f.milliseconds > 999) {
    return false;
  }
  const std::int64_t days = DaysFromCivil(f.year, f.month, f.day);
  *fileTime = static_cast<std::uint64_t>(days) * kTicksPerDay +
              (f.hour * 3600ULL + f.minute * 60ULL + f.second) * kTicksPerSecond +
              f.milliseconds * 10000ULL;
  return true;
}

}  // namespace Platform
