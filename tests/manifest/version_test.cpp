#include <gtest/gtest.h>

#include <functional>

#include "common/test_files.h"
#include "manifest/local_file_info.h"
#include "manifest/pe_image_builder.h"
#include "manifest/pe_version.h"
#include "manifest/time_zone.h"
#include "manifest/version_compare.h"

namespace {

using PeVersion::PeVersionResult;

TEST(VersionCompare, Table) {
  struct Case {
    const wchar_t* first;
    const wchar_t* second;
    int expected;
  } cases[] = {
      {L"1.2.10", L"1.2.9", 2},
      {L"1.2.9", L"1.2.10", 1},
      {L"1.2", L"1.2.0", 3},
      {L"1,2,0,5", L"1.2.0.5", 3},
      {L"1. 2", L"1.2", 3},
      {L"2", L"10", 1},
      {L"1.2a", L"1.2", 3},
      {L"", L"0.0", 3},
      {L"", L"0.1", 1},
      {L"1_2_3", L"1|2|4", 1},
      {L"1-2", L"1 3", 1},
      {L"1.-2", L"1.0", 1},  // a sign is read
      {L"1.+2", L"1.2", 3},
      {L"1..3", L"1.0.3", 3},  // an empty component is 0
      {L"1.2.", L"1.2", 3},
      {L"2.1.0.17", L"2.1.0.17", 3},
      {L"3000000000", L"2999999999", 2},  // beyond 32 bits still ordered
      {L"99999999999999999999999", L"1", 2},
      {L"1.x", L"1.0", 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompareVersionStrings(c.first, c.second), c.expected) << "'" << testing::PrintToString(std::wstring(c.first))
                                                                   << "' vs '" << testing::PrintToString(std::wstring(c.second)) << "'";
  }

  // Only the first 50 components count.
  std::wstring fifty, longerLow, longerHigh;
  for (int i = 0; i < 50; ++i) fifty += (i ? L"." : L"") + std::to_wstring(i);
  longerLow = fifty + L".1";
  longerHigh = fifty + L".9";
  EXPECT_EQ(CompareVersionStrings(longerLow, longerHigh), 3);
  EXPECT_EQ(CompareVersionStrings(fifty, longerHigh), 3);
  EXPECT_EQ(CompareVersionStrings(fifty.substr(0, fifty.rfind(L'.')) + L".50", fifty), 2);
}

PeVersionResult Read(const std::string& bytes, PeVersion::FixedFileInfo* info) {
  PeVersion::CMemoryByteSource source(bytes.data(), bytes.size());
  return PeVersion::ReadFixedFileInfo(source, info);
}

TEST(PeVersionReader, WellFormedImages) {
  struct Case {
    const char* name;
    PeTest::ImageShape image;
    PeVersionResult result;
    std::uint32_t ls;
  };
  PeTest::ImageShape pe32;
  pe32.pe32Plus = false;
  PeTest::ImageShape noResources;
  noResources.withResources = false;
  PeTest::ImageShape otherType;
  otherType.typeId = 6;
  PeTest::ImageShape otherName;
  otherName.nameId = 2;
  PeTest::ImageShape neutral;
  neutral.languages = {0x412, 0x409, 0};
  PeTest::ImageShape english;
  english.languages = {0x412, 0x409};
  PeTest::ImageShape first;
  first.languages = {0x412, 0x411};
  PeTest::ImageShape noLanguage;
  noLanguage.languages = {};
  const Case cases[] = {
      {"PE32+", PeTest::ImageShape{}, PeVersionResult::Found, 0x11},
      {"PE32", pe32, PeVersionResult::Found, 0x11},
      {"no resource table", noResources, PeVersionResult::NoVersionResource, 0},
      {"no RT_VERSION", otherType, PeVersionResult::NoVersionResource, 0},
      {"version under another id", otherName, PeVersionResult::NoVersionResource, 0},
      {"neutral language first", neutral, PeVersionResult::Found, 0},
      {"then US English", english, PeVersionResult::Found, 0x409},
      {"else the first listed", first, PeVersionResult::Found, 0x412},
      {"no language entry", noLanguage, PeVersionResult::NoVersionResource, 0},
  };
  for (const Case& c : cases) {
    PeVersion::FixedFileInfo info;
    EXPECT_EQ(Read(PeTest::BuildImage(c.image), &info), c.result) << c.name;
    if (c.result == PeVersionResult::Found) {
      EXPECT_EQ(info.fileVersionMS, 0x00020001u) << c.name;
      EXPECT_EQ(info.fileVersionLS, c.ls) << c.name;
    }
  }
  EXPECT_EQ(PeVersion::FormatVersion(0x00020001, 0x00000011), L"2.1.0.17");
  EXPECT_EQ(PeVersion::FormatVersion(0xFFFFFFFF, 0x0000FFFF), L"65535.65535.0.65535");
}

TEST(PeVersionReader, HostileImages) {
  PeTest::ImageLayout at;
  const std::string good = PeTest::BuildImage(PeTest::ImageShape{}, &at);
  const std::size_t optional = at.peOffset + 24;
  const std::size_t resourceDir = optional + 112 + 16;
  using Mutate = std::function<void(std::string&)>;
  struct Case {
    const char* name;
    Mutate mutate;
    PeVersionResult result;
  } cases[] = {
      {"text file", [](std::string& b) { b = "just some text, not an image at all........................................"; },
       PeVersionResult::NotExecutable},
      {"empty", [](std::string& b) { b.clear(); }, PeVersionResult::NotExecutable},
      {"PE offset past the end", [](std::string& b) { PeTest::Put32(b, 0x3C, 0x7FFFFFF0); }, PeVersionResult::NotPe},
      {"PE offset at 4 GiB", [](std::string& b) { PeTest::Put32(b, 0x3C, 0xFFFFFFFF); }, PeVersionResult::NotPe},
      {"bad signature", [&](std::string& b) { b[at.peOffset + 1] = 'X'; }, PeVersionResult::NotPe},
      {"unknown optional magic", [&](std::string& b) { PeTest::Put16(b, optional, 0x107); }, PeVersionResult::NotPe},
      {"optional header past the end", [&](std::string& b) { PeTest::Put16(b, at.peOffset + 20, 0xFFFF); },
       PeVersionResult::Malformed},
      {"optional header too short for the resource entry", [&](std::string& b) { PeTest::Put16(b, at.peOffset + 20, 130); },
       PeVersionResult::NoVersionResource},
      {"only two data directories", [&](std::string& b) { PeTest::Put32(b, optional + 108, 2); },
       PeVersionResult::NoVersionResource},
      {"65535 sections", [&](std::string& b) { PeTest::Put16(b, at.peOffset + 6, 0xFFFF); }, PeVersionResult::Malformed},
      {"no sections", [&](std::string& b) { PeTest::Put16(b, at.peOffset + 6, 0); }, PeVersionResult::Malformed},
      {"resource RVA outside every section", [&](std::string& b) { PeTest::Put32(b, resourceDir, 0x9000); },
       PeVersionResult::Malformed},
      {"resource RVA near 4 GiB", [&](std::string& b) { PeTest::Put32(b, resourceDir, 0xFFFFFFF8); },
       PeVersionResult::Malformed},
      {"section raw data past the end", [&](std::string& b) { PeTest::Put32(b, at.sectionTable + 20, 0x7FFFFF00); },
       PeVersionResult::Malformed},
      {"huge raw size", [&](std::string& b) { PeTest::Put32(b, at.sectionTable + 16, 0xFFFFFFFF); },
       PeVersionResult::Found},
      {"65535 + 65535 root entries", [&](std::string& b) { PeTest::Put32(b, at.resourceStart + 12, 0xFFFFFFFF); },
       PeVersionResult::Malformed},
      {"type entry is data", [&](std::string& b) { PeTest::Put32(b, at.resourceStart + 20, 24); },
       PeVersionResult::Malformed},
      {"type directory offset near 2 GiB", [&](std::string& b) { PeTest::Put32(b, at.resourceStart + 20, 0xFFFFFFF0); },
       PeVersionResult::Malformed},
      {"language level points back at the root", [&](std::string& b) { PeTest::Put32(b, at.resourceStart + 24 + 20, 0x80000000); },
       PeVersionResult::Malformed},
      {"language entry is a directory", [&](std::string& b) { PeTest::Put32(b, at.resourceStart + 48 + 20, 0x80000000 | 48); },
       PeVersionResult::Malformed},
      {"data RVA outside", [&](std::string& b) { PeTest::Put32(b, at.firstBlock - 16, 0x00400000); },
       PeVersionResult::Malformed},
      {"data size too small", [&](std::string& b) { PeTest::Put32(b, at.firstBlock - 12, 60); },
       PeVersionResult::Malformed},
      {"block length too small", [&](std::string& b) { PeTest::Put16(b, at.firstBlock, 40); },
       PeVersionResult::Malformed},
      {"no fixed info", [&](std::string& b) { PeTest::Put16(b, at.firstBlock + 2, 0); }, PeVersionResult::Malformed},
      {"wrong key", [&](std::string& b) { b[at.firstBlock + 6] = 'W'; }, PeVersionResult::Malformed},
      {"wrong signature", [&](std::string& b) { PeTest::Put32(b, at.firstBlock + 40, 0xFEEF04BE); },
       PeVersionResult::Malformed},
  };
  for (const Case& c : cases) {
    std::string bytes = good;
    c.mutate(bytes);
    PeVersion::FixedFileInfo info;
    EXPECT_EQ(Read(bytes, &info), c.result) << c.name;
  }

  // Every truncation: found only when the whole block is still there.
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    PeVersion::FixedFileInfo info;
    const PeVersionResult r = Read(good.substr(0, cut), &info);
    EXPECT_EQ(r == PeVersionResult::Found, cut >= at.blocksEnd) << "cut at " << cut;
  }
}

TEST(PeVersionReader, FilesOnDisk) {
  TestFiles::CTempDir dir;
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"a.dll", PeTest::BuildImage(PeTest::ImageShape{})));
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"b.txt", "MZ"));
  PeVersion::FixedFileInfo info;
  EXPECT_EQ(PeVersion::ReadFixedFileInfoFromFile(dir / L"a.dll", &info), PeVersionResult::Found);
  EXPECT_EQ(info.fileVersionLS, 0x11u);
  EXPECT_EQ(PeVersion::ReadFixedFileInfoFromFile(dir / L"b.txt", &info), PeVersionResult::NotPe);
  EXPECT_EQ(PeVersion::ReadFixedFileInfoFromFile(dir / L"missing.dll", &info), PeVersionResult::ReadFailed);
}

TEST(TimeZoneKey, MatchingRules) {
  auto record = [](const wchar_t* key, int bias, int dlt, const wchar_t* std, const wchar_t* dltName) {
    TimeZoneRecord r;
    r.KeyName = key;
    r.Bias = bias;
    r.DaylightBias = dlt;
    r.StandardName = std;
    r.DaylightName = dltName;
    return r;
  };
  const TimeZoneTable table = {
      record(L"A", 300, -60, L"Eastern Standard Time", L"Eastern Daylight Time"),
      record(L"B", 300, -60, L"Eastern Standard Time", L"Eastern Daylight Time"),  // a later duplicate never wins
      record(L"C", -630, -30, L"Lord Howe Standard Time", L"Lord Howe Daylight Time"),
      record(L"D", -540, -60, L"Korea Standard Time", L"Korea Daylight Time"),
  };
  auto zone = [](int bias, int dlt, const wchar_t* std, const wchar_t* dltName) {
    CurrentTimeZone z;
    z.Bias = bias;
    z.DaylightBias = dlt;
    z.StandardName = std;
    z.DaylightName = dltName;
    return z;
  };
  struct Case {
    CurrentTimeZone zone;
    const wchar_t* key;
  } cases[] = {
      {zone(300, -60, L"Eastern Standard Time", L"Eastern Daylight Time"), L"A"},
      {zone(-630, -30, L"Lord Howe Standard Time", L"Lord Howe Daylight Time"), L"C"},
      // A zone without daylight saving reports the standard bias and name.
      {zone(-540, 0, L"Korea Standard Time", L"Korea Standard Time"), L"D"},
      {zone(-540, 0, L"korea standard time", L"Korea Standard Time"), L""},
      {zone(-540, -30, L"Korea Standard Time", L"Korea Daylight Time"), L""},
      {zone(-540, -60, L"Korea Standard Time", L"Other"), L""},
      {zone(-600, -60, L"Korea Standard Time", L"Korea Daylight Time"), L""},
      // Reported without names: known by its offsets alone.
      {zone(-630, -60, L"", L""), L"C"},
      {zone(300, 0, L"", L""), L"A"},
      {zone(-600, -60, L"", L""), L""},
      {zone(-630, -30, L"Lord Howe", L""), L""},
  };
  for (const Case& c : cases) EXPECT_EQ(FindTimeZoneKey(table, c.zone), c.key) << testing::PrintToString(c.zone.StandardName);
}

TEST(LocalTimeStamp, CutToPublishedLength) {
  CLocalFileInfo info;
  info.LastWriteTime = Platform::SystemTime{2024, 3, 5, 1, 9, 5, 59, 999};
  struct Case {
    std::size_t length;
    const wchar_t* stamp;
  } cases[] = {{12, L"202403010905"}, {10, L"2024030109"}, {40, L"202403010905"}, {0, L""}};
  for (const Case& c : cases) EXPECT_EQ(MakeLocalTimeStamp(info, kKoreaTimeZoneKey, c.length), c.stamp) << c.length;
  // No known zone: the time is taken as it is.
  EXPECT_EQ(MakeLocalTimeStamp(info, L"", 12), L"202403010905");
  EXPECT_EQ(MakeLocalTimeStamp(info, L"No Such Zone", 12), L"202403010905");

  // A known UTC time wins over the local one, whatever the zone key says.
  info.LastWriteTimeUtc = Platform::SystemTime{2024, 12, 2, 31, 20, 59, 0, 0};
  for (const wchar_t* key : {L"", L"No Such Zone", kKoreaTimeZoneKey, L"UTC"}) {
    EXPECT_EQ(MakeLocalTimeStamp(info, key, 12), L"202501010559") << testing::PrintToString(std::wstring(key));
  }
}

TEST(LocalFileInfo, FilesWithoutVersion) {
  TestFiles::CTempDir dir;
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"plain.txt", "hello"));
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"sub\\x.txt", "x"));
  CLocalFileInfo plain(dir / L"plain.txt");
  EXPECT_TRUE(plain.FileVersion.empty());
  EXPECT_GE(plain.LastWriteTime.year, 2020);
  EXPECT_FALSE(plain.ReadLocalFileInfo());
  for (const std::wstring& path : {std::wstring(), dir / L"missing.txt", dir / L"sub"}) {
    CLocalFileInfo info(path);
    EXPECT_FALSE(info.ReadLocalFileInfo());
    EXPECT_EQ(info.LastWriteTime.year, 0);
  }
}

}  // namespace
