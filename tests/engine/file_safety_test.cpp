// Names kept inside the install folder, published stamps as file times, and
// replacing a file through its backup, backups left by a stopped run.
#include <gtest/gtest.h>

#include "common/test_files.h"
#include "engine/engine_test_util.h"
#include "engine/file_replace.h"
#include "engine/published_time.h"
#include "engine/safe_path.h"
#include "platform/clock.h"
#include "platform/fault.h"
#include "platform/file.h"

namespace {

std::uint64_t FileTimeOf(int year, int month, int day, int hour, int minute) {
  Platform::SystemTime t;
  t.year = static_cast<std::uint16_t>(year);
  t.month = static_cast<std::uint16_t>(month);
  t.day = static_cast<std::uint16_t>(day);
  t.hour = static_cast<std::uint16_t>(hour);
  t.minute = static_cast<std::uint16_t>(minute);
  std::uint64_t ft = 0;
  EXPECT_TRUE(Platform::FieldsToFileTime(t, &ft));
  return ft;
}

}  // namespace

TEST(EngineFileSafety, NamesThatLeaveTheFolder) {
  struct Case {
    const wchar_t* name;
    bool contained;
  };
  const Case cases[] = {
      {L"core.dll", true},
      {L"bin\\core.dll", true},
      {L"bin/sub/x.dll", true},
      {L".\\a.txt", true},
      {L"a..b.dll", true},
      {L"..data", true},
      {L"", false},
      {L"..", false},
      {L"..\\evil.dll", false},
      {L"../evil.dll", false},
      {L"bin\\..\\..\\evil.dll", false},
      {L"bin\\..", false},
      {L"bin\\...\\x", false},
      {L"bin\\.. \\x", false},
      {L"\\Windows\\evil.dll", false},
      {L"/etc/passwd", false},
      {L"\\\\server\\share\\x.dll", false},
      {L"\\\\?\\C:\\x.dll", false},
      {L"C:\\Windows\\evil.dll", false},
      {L"C:evil.dll", false},
      {L"core.dll:stream", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsContainedRelativePath(c.name), c.contained) << std::string(c.name, c.name + wcslen(c.name));
}

TEST(EngineFileSafety, InstallFoldersResolvedAgainstTheUpdatersFolder) {
  const std::wstring app = L"D:\\Prog\\App";
  struct {
    std::wstring installPath;
    std::wstring expected;
  } cases[] = {
      {L"", app},
      {L"D:\\Suite", L"D:\\Suite"},
      {L"d:relative", L"d:relative"},
      {L"\\\\server\\share\\suite", L"\\\\server\\share\\suite"},
      {L"\\Suite", L"\\Suite"},
      {L"viewer", app + L"\\viewer"},
      {L"modules\\viewer", app + L"\\modules\\viewer"},
      {L".\\viewer", app + L"\\viewer"},
      {L".", app},
  };
  for (const auto& c : cases) EXPECT_EQ(ResolveInstallFolder(app, c.installPath), c.expected) << c.installPath.size();
}

TEST(EngineFileSafety, PublishedStampsReadInKoreaTime) {
  struct Case {
    const wchar_t* stamp;
    bool ok;
    int year, month, day, hour, minute;  // UTC
  };
  const Case cases[] = {
      {L"202403010905", true, 2024, 3, 1, 0, 5},
      {L"202403010805", true, 2024, 2, 29, 23, 5},  // day and leap day before
      {L"2024030109", true, 2024, 3, 1, 0, 0},
      {L"2024030", true, 2024, 2, 29, 15, 0},      // day "01" from the default's last digit
      {L"2024", true, 2023, 12, 31, 15, 0},
      {L"20240301090599", true, 2024, 3, 1, 0, 5},  // past the minutes: ignored
      {L"", false, 0, 0, 0, 0, 0},
      {L"2024-03-01", false, 0, 0, 0, 0, 0},
      {L"202402300000", false, 0, 0, 0, 0, 0},
      {L"202413010000", false, 0, 0, 0, 0, 0},
      {L"202403012400", false, 0, 0, 0, 0, 0},
      {L"202403010960", false, 0, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    std::uint64_t ft = 0;
    const std::string label(c.stamp, c.stamp + wcslen(c.stamp));
    ASSERT_EQ(PublishedStampToFileTime(c.stamp, &ft), c.ok) << label;
    if (c.ok) {
      EXPECT_EQ(ft, FileTimeOf(c.year, c.month, c.day, c.hour, c.minute)) << label;
    }
  }

  TestFiles::CTempDir dir;
  const std::wstring path = dir / L"core.dll";
  ASSERT_TRUE(TestFiles::WriteBytes(path, "x"));
  ASSERT_TRUE(ApplyPublishedTime(path, L"202403010905"));
  Platform::FileTimes times;
  ASSERT_TRUE(Platform::GetFileTimes(path, &times));
  EXPECT_EQ(times.lastWrite, FileTimeOf(2024, 3, 1, 0, 5));
  EXPECT_FALSE(ApplyPublishedTime(path, L"bad"));
}

TEST(EngineFileSafety, LeftoverBackupRestoredOrRemoved) {
  struct Case {
    const char* label;
    const char* target;  // nullptr: no target
    const char* backup;  // nullptr: no backup
    bool incomplete;
    bool readOnlyBackup;
    const char* failOperation;
    bool ok;
    const char* afterTarget;
    const char* linePrefix;  // nullptr: nothing logged
  };
  const Case cases[] = {
      {"no backup", "new", nullptr, false, false, nullptr, true, "new", nullptr},
      {"target missing", nullptr, "old", false, false, nullptr, true, "old", "Stale backup restored : "},
      {"target whole", "new", "old", false, false, nullptr, true, "new", "Stale backup removed : "},
      {"target partial", "ne", "old", true, false, nullptr, true, "old", "Stale backup restored : "},
      {"read-only backup beside a whole target", "new", "old", false, true, nullptr, true, "new",
       "Stale backup removed : "},
      {"read-only backup restored", nullptr, "old", false, true, nullptr, true, "old", "Stale backup restored : "},
      {"restore fails", nullptr, "old", false, false, "MoveItem", false, "<missing>", "Stale backup left in place : "},
      {"removal fails", "new", "old", false, false, "RemoveFile", false, "new", "Stale backup left in place : "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TestFiles::CTempDir dir;
    EngineTest::CScopedLog log(dir / L"log.txt");
    const std::wstring target = dir / L"imaging.dll";
    const std::wstring backup = target + L".bak";
    if (c.target) {
      ASSERT_TRUE(TestFiles::WriteBytes(target, c.target));
    }
    if (c.backup) {
      ASSERT_TRUE(TestFiles::WriteBytes(backup, c.backup));
    }
    if (c.readOnlyBackup) {
      ASSERT_TRUE(Platform::SetAttributes(backup, Platform::kAttrReadOnly));
    }

    Platform::ClearFaults();
    if (c.failOperation) Platform::FailNthCall(c.failOperation, 1, Platform::kErrorSharingViolation);
    const bool ok = ResolveStaleBackup(target, c.incomplete);
    Platform::ClearFaults();

    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(TestFiles::ReadOrMissing(target), c.afterTarget);
    // Nothing is lost: a backup that could not be dealt with is still there.
    EXPECT_EQ(Platform::PathExists(backup), !c.ok);
    const auto lines = log.Lines();
    if (c.linePrefix == nullptr) {
      EXPECT_TRUE(lines.empty());
    } else {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0].rfind(c.linePrefix + EngineTest::Narrow(backup), 0), 0u) << lines[0];
    }
  }
}
