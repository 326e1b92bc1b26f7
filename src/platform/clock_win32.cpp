#include <atomic>

#include "platform/clock.h"
#include "platform/windows_api.h"

namespace Platform {
namespace {
std::atomic<SystemTime (*)()> timeSource{nullptr};
}

void SetLocalTimeSourceForTesting(SystemTime (*source)()) { timeSource = source; }

SystemTime GetLocalTimeNow() {
  if (auto source = timeSource.load()) return source();
  SYSTEMTIME st;
  ::GetLocalTime(&st);
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

std::uint32_t GetTickCountMs() { return ::GetTickCount(); }

}  // namespace Platform
