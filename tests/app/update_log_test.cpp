// The log file's exact bytes, with a fixed clock.
#include <gtest/gtest.h>

#include "app/update_log.h"
#include "common/test_files.h"
#include "platform/clock.h"

namespace {

Platform::SystemTime FixedTime() { return Platform::SystemTime{2026, 12, 1, 7, 2, 39, 51, 123}; }

std::string Utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

class UpdateLogTest : public ::testing::Test {
 protected:
  void SetUp() override { Platform::SetLocalTimeSourceForTesting(&FixedTime); }
  void TearDown() override { Platform::SetLocalTimeSourceForTesting(nullptr); }
  TestFiles::CTempDir dir;
};

}  // namespace

TEST_F(UpdateLogTest, LinesAreStampedUtf16WithOneByteOrderMark) {
  CUpdateLog log;
  const std::wstring path = dir / L"updater_log.txt";
  ASSERT_TRUE(TestFiles::WriteBytes(path, "stale content from an earlier run"));
  ASSERT_TRUE(log.OpenLog(path, true));
  EXPECT_EQ(TestFiles::ReadOrMissing(path), "\xFF\xFE");

  log.WriteLog(L"DownloadFile : viewer.dll");
  // Readable by another process before the log is closed.
  EXPECT_EQ(TestFiles::ReadOrMissing(path),
            "\xFF\xFE" + Utf16("[2026-12-07 02:39:51:123] DownloadFile : viewer.dll\r\n"));

  // A name from the server cannot forge a line: control characters are
  // written escaped.
  log.WriteLog(L"ends in a break\r\nforged line\x01\x1F\t");
  log.WriteLog(L"\u00E9\u4E2D");
  log.CloseLog();
  log.WriteLog(L"after close");
  EXPECT_FALSE(log.IsOpen());

  const std::string expected = "\xFF\xFE" + Utf16("[2026-12-07 02:39:51:123] DownloadFile : viewer.dll\r\n") +
                               Utf16("[2026-12-07 02:39:51:123] ends in a break\\r\\nforged line\\x01\\x1F\\x09\r\n") +
                               Utf16("[2026-12-07 02:39:51:123] ") + std::string("\xE9\x00\x2D\x4E", 4) +
                               Utf16("\r\n");
  EXPECT_EQ(TestFiles::ReadOrMissing(path), expected);
}

TEST_F(UpdateLogTest, WithoutStampsAndWithoutFile) {
  CUpdateLog log;
  log.WriteLog(L"never opened");  // no file: nothing happens
  const std::wstring path = dir / L"plain.txt";
  ASSERT_TRUE(log.OpenLog(path, false));
  log.WriteLog(L"x");
  log.CloseLog();
  EXPECT_EQ(TestFiles::ReadOrMissing(path), "\xFF\xFE" + Utf16("x\r\n"));
  EXPECT_FALSE(log.OpenLog(dir / L"missing\\folder\\log.txt", true));
  log.WriteLog(L"dropped");
  EXPECT_EQ(FormatLogTimestamp(), L"2026-12-07 02:39:51:123");
}
