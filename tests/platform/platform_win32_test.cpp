// Windows only: the portable calendar arithmetic agrees with the platform's
// own FILETIME <-> SYSTEMTIME calls, through the one SYSTEMTIME copy.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/system_time_win32.h"

using namespace Platform;

TEST(PlatformClockWin32, FieldsAgreeWithThePlatform) {
  const std::uint64_t fileTimes[] = {
      0,                                // 1601-01-01, a Monday
      116444736000000000ULL,            // 1970-01-01
      125962560000000000ULL,            // 2000-02-29
      133537251000000000ULL + 1234567,  // milliseconds, with a rest below them
      0x7FFF35F4F06C7FFFULL,            // 30827-12-31 23:59:59.999, the last one
  };
  for (const std::uint64_t ft : fileTimes) {
    FILETIME in{static_cast<DWORD>(ft), static_cast<DWORD>(ft >> 32)};
    SYSTEMTIME st{};
    ASSERT_TRUE(::FileTimeToSystemTime(&in, &st)) << ft;
    SystemTime ours;
    ASSERT_TRUE(FileTimeToFields(ft, &ours)) << ft;
    const SystemTime theirs = FromSystemTime(st);
    EXPECT_EQ(ours.year, theirs.year) << ft;
    EXPECT_EQ(ours.month, theirs.month) << ft;
    EXPECT_EQ(ours.dayOfWeek, theirs.dayOfWeek) << ft;
    EXPECT_EQ(ours.day, theirs.day) << ft;
    EXPECT_EQ(ours.hour, theirs.hour) << ft;
    EXPECT_EQ(ours.minute, theirs.minute) << ft;
    EXPECT_EQ(ours.second, theirs.second) << ft;
    EXPECT_EQ(ours.milliseconds, theirs.milliseconds) << ft;

    // And back: the platform reads our fields as we do.
    const SYSTEMTIME back = ToSystemTime(ours);
    FILETIME out{};
    ASSERT_TRUE(::SystemTimeToFileTime(&back, &out)) << ft;
    std::uint64_t ourBack = 0;
    ASSERT_TRUE(FieldsToFileTime(ours, &ourBack));
    EXPECT_EQ((static_cast<std::uint64_t>(out.dwHighDateTime) << 32) | out.dwLowDateTime, ourBack) << ft;
    EXPECT_EQ(ourBack, ft - ft % 10000) << ft;
  }
}
