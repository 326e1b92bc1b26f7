// Path helpers and EnsureDirectory.
#include <gtest/gtest.h>

#include "app/folder_table.h"
#include "common/test_files.h"
#include "platform/error.h"
#include "platform/fault.h"
#include "platform/file.h"

TEST(PathHelpers, Table) {
  struct {
    std::wstring path;
    std::wstring fileName;
    std::wstring extension;
  } cases[] = {
      {L"D:\\Prog\\App\\Updater.exe", L"Updater.exe", L".exe"},
      {L"dir\\sub/name.zip", L"name.zip", L".zip"},
      {L"dir\\sub\\", L"", L""},
      {L"setup.exe.zip", L"setup.exe.zip", L".zip"},
      {L"D:\\a.b\\file", L"file", L""},
      {L"noextension", L"noextension", L""},
      {L"/update/viewer/update.xml", L"update.xml", L".xml"},
      {L".hidden", L".hidden", L""},
      {L"", L"", L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetFileNameFromPath(c.path), c.fileName);
    EXPECT_EQ(GetFileExtension(c.path), c.extension);
  }
  struct {
    std::wstring path;
    wchar_t separator;
    std::wstring expected;
  } removals[] = {
      {L"/update/viewer/update.xml", L'/', L"/update/viewer"},
      {L"/update.xml", L'/', L"/update.xml"},
      {L"update.xml", L'/', L"update.xml"},
      {L"a\\b\\", L'\\', L"a\\b"},
      {L"", L'/', L""},
  };
  for (const auto& r : removals) EXPECT_EQ(RemoveLastPathPart(r.path, r.separator), r.expected);
}

TEST(FolderTable, FilledFromTheExecutablePath) {
  CFolderTable& table = GetFolderTable();
  ASSERT_TRUE(InitFolderTable(table));
  const std::wstring exe = table.GetExePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(table.GetAppDir() + L"\\" + GetUpdaterFileName(table), exe);
  EXPECT_EQ(table.GetAppDirWithSlash(), table.GetAppDir() + L"\\");
  EXPECT_EQ(GetUpdaterFileName(table).find(L"app_tests"), 0u);  // this test executable
  EXPECT_TRUE(table.GetModuleDir().empty());
  SetModuleDir(table, L"D:\\Suite");
  EXPECT_EQ(table.GetModuleDir(), L"D:\\Suite");
  SetModuleDir(table, L"");
}

TEST(EnsureDirectory, CreatesAncestorsFirstAndStopsAtTheFirstFailure) {
  TestFiles::CTempDir dir;
  Platform::ClearFaults();
  EXPECT_TRUE(EnsureDirectory(dir / L"a\\b\\c"));
  EXPECT_EQ(Platform::CallCount("MakeDirectory"), 3);
  EXPECT_TRUE(Platform::IsDirectory(dir / L"a\\b\\c"));

  // The first level cannot be created: nothing below it is tried.
  Platform::FailNthCall("MakeDirectory", 1, Platform::kErrorAccessDenied);
  EXPECT_FALSE(EnsureDirectory(dir / L"x\\y\\z"));
  EXPECT_EQ(Platform::CallCount("MakeDirectory"), 1);
  EXPECT_FALSE(Platform::PathExists(dir / L"x"));

  // A middle level fails: the one above stays, nothing below.
  Platform::FailNthCall("MakeDirectory", 2, Platform::kErrorAccessDenied);
  EXPECT_FALSE(EnsureDirectory(dir / L"p\\q\\r"));
  EXPECT_TRUE(Platform::IsDirectory(dir / L"p"));
  EXPECT_FALSE(Platform::PathExists(dir / L"p\\q"));
  Platform::ClearFaults();

  EXPECT_TRUE(EnsureDirectory(L"no-backslash-here"));
  EXPECT_FALSE(Platform::PathExists(L"no-backslash-here"));

  // Two separators in a row: the folder before them is ensured, "b" is not.
  EXPECT_TRUE(EnsureDirectory(dir / L"d\\\\b"));
  EXPECT_TRUE(Platform::IsDirectory(dir / L"d"));
  EXPECT_FALSE(Platform::PathExists(dir / L"d\\\\b"));
  EXPECT_FALSE(Platform::PathExists(dir / L"d\\b"));

  // A trailing separator ensures the folder itself.
  EXPECT_TRUE(EnsureDirectory(dir / L"t\\"));
  EXPECT_TRUE(Platform::IsDirectory(dir / L"t"));
}
