// Run once per zone (TZ set by ctest): the Korea stamp of a file must be the
// same whichever zone the machine is in.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/test_files.h"
#include "manifest/local_file_info.h"
#include "manifest/time_zone.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace {

std::string Zone() {
  const char* tz = std::getenv("TZ");
  return tz ? tz : "";
}

TEST(KoreaStamp, SameInstantSameStampInEveryZone) {
  const std::wstring key = GetCurrentTimeZoneKey();
#ifdef _WIN32
  // Several registry zones share Berlin's rules; the platform names one of
  // them, so only its bias is checked there.
  struct Expected {
    const char* tz;
    const wchar_t* key;
    int bias;
  } zones[] = {{"Asia/Seoul", L"Korea Standard Time", -540},
               {"Europe/Berlin", nullptr, -60},
               {"America/New_York", L"Eastern Standard Time", 300},
               {"Australia/Lord_Howe", L"Lord Howe Standard Time", -630}};
  bool known = false;
  for (const Expected& z : zones) {
    if (Zone() != z.tz) continue;
    known = true;
    if (z.key) {
      EXPECT_EQ(key, z.key) << z.tz;
    }
    int bias = 0;
    bool found = false;
    for (const TimeZoneRecord& r : GetTimeZoneTable()) {
      if (r.KeyName != key) continue;
      found = true;
      bias = r.Bias;
    }
    EXPECT_TRUE(found) << testing::PrintToString(key);
    EXPECT_EQ(bias, z.bias) << z.tz;
  }
  EXPECT_TRUE(known) << "TZ=" << Zone();
  EXPECT_GT(GetTimeZoneTable().size(), 100u);
#else
  EXPECT_EQ(key, L"UTC");  // the native build reports file times in UTC
#endif

  struct Case {
    Platform::SystemTime utc;
    const wchar_t* stamp;
  } cases[] = {
      {{2024, 3, 0, 1, 0, 5, 0, 0}, L"202403010905"},    // northern winter
      {{2024, 1, 0, 15, 3, 5, 30, 0}, L"202401151205"},  // southern summer
      {{2024, 7, 0, 15, 14, 30, 0, 0}, L"202407152330"}, // northern summer, southern winter
      {{2024, 12, 0, 31, 20, 59, 59, 0}, L"202501010559"},
      {{2024, 3, 0, 31, 1, 30, 0, 0}, L"202403311030"},  // Berlin just after the spring change
      {{2024, 4, 0, 6, 16, 0, 0, 0}, L"202404070100"},   // Lord Howe just after the half-hour fall back
      {{2024, 10, 0, 5, 16, 0, 0, 0}, L"202410060100"},  // Lord Howe just after the spring change
      {{2024, 11, 0, 3, 7, 15, 0, 0}, L"202411031615"},  // New York just after the fall back
  };
  TestFiles::CTempDir dir;
  const std::wstring path = dir / L"plain.txt";
  ASSERT_TRUE(TestFiles::WriteBytes(path, "no version resource here"));
  for (const Case& c : cases) {
    Platform::FileTimes times;
    ASSERT_TRUE(Platform::FieldsToFileTime(c.utc, &times.lastWrite));
    times.lastAccess = times.lastWrite;
    ASSERT_TRUE(Platform::SetFileTimes(path, times));
    CLocalFileInfo info(path);
    EXPECT_EQ(MakeLocalTimeStamp(info, key, 12), c.stamp) << "TZ=" << Zone();
    EXPECT_EQ(MakeLocalTimeStamp(info, key, 10), std::wstring(c.stamp).substr(0, 10));
    // With the UTC time known the zone is not asked for; without, it is.
    bool asked = false;
    const auto zone = [&] { asked = true; return key; };
    EXPECT_EQ(MakeLocalTimeStamp(info, zone, 12), c.stamp);
    EXPECT_FALSE(asked);
    EXPECT_TRUE(info.FileVersion.empty());
    EXPECT_FALSE(info.ReadLocalFileInfo());

    // The same from the machine's local time and its zone key alone. Wine 8
    // gets its own local time for Lord Howe summer wrong by the half hour, so
    // that zone is left to the UTC path above.
    if (Zone() == "Australia/Lord_Howe") continue;
    CLocalFileInfo local = info;
    local.LastWriteTimeUtc = Platform::SystemTime{};
    EXPECT_EQ(MakeLocalTimeStamp(local, zone, 12), c.stamp) << "local time, TZ=" << Zone();
    EXPECT_TRUE(asked);
  }
}

TEST(KoreaStamp, ConversionNeedsBothZones) {
  Platform::SystemTime t{2024, 3, 5, 1, 9, 5, 0, 0};
  const Platform::SystemTime before = t;
  EXPECT_FALSE(ConvertToKoreaTime(t, L""));
  EXPECT_FALSE(ConvertToKoreaTime(t, L"No Such Zone"));
  EXPECT_EQ(t.hour, before.hour);
  EXPECT_EQ(t.day, before.day);
  EXPECT_TRUE(ConvertToKoreaTime(t, kKoreaTimeZoneKey));
  EXPECT_EQ(t.hour, before.hour);
}

}  // namespace
