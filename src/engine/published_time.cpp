#include "engine/published_time.h"

#include "platform/clock.h"
#include "platform/file.h"

namespace {

constexpr std::uint64_t kTicksPerMinute = 60ull * 10000000ull;
constexpr std::uint64_t kKoreaOffset = 9 * 60 * kTicksPerMinute;

}  // namespace

bool PublishedStampToFileTime(const std::wstring& stamp, std::uint64_t* fileTime) {
  if (stamp.empty()) return false;
  // The stamp's own digits, then the defaults for the ones it leaves out.
  const std::wstring defaults = L"000001010000";
  std::wstring digits = stamp.substr(0, defaults.size());
  for (wchar_t c : digits) {
    if (c < L'0' || c > L'9') return false;
  }
  digits += defaults.substr(digits.size());
  auto field = [&digits](std::size_t at, std::size_t length) {
    std::uint16_t value = 0;
    for (std::size_t i = at; i < at + length; ++i) value = static_cast<std::uint16_t>(value * 10 + (digits[i] - L'0'));
    return value;
  };
  Platform::SystemTime korea;
  korea.year = field(0, 4);
  korea.month = field(4, 2);
  korea.day = field(6, 2);
  korea.hour = field(8, 2);
  korea.minute = field(10, 2);
  if (korea.hour > 23 || korea.minute > 59) return false;
  std::uint64_t local = 0;
  if (!Platform::FieldsToFileTime(korea, &local) || local < kKoreaOffset) return false;
  *fileTime = local - kKoreaOffset;
  return true;
}

bool ApplyPublishedTime(const std::wstring& path, const std::wstring& stamp) {
  std::uint64_t fileTime = 0;
  if (!PublishedStampToFileTime(stamp, &fileTime)) return false;
  Platform::FileTimes times;
  times.lastWrite = fileTime;
  times.lastAccess = fileTime;
  return Platform::SetFileTimes(path, times);
}
