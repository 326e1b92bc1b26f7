// The per-file decision of the analysis and the decision to end a running
// program before its file is replaced.
#include <gtest/gtest.h>

#include "app/folder_table.h"
#include "engine/update_decision.h"
#include "manifest/update_list.h"

TEST(EngineUpdateDecision, PublishedAgainstLocal) {
  struct Case {
    const wchar_t* publishedStamp;
    const wchar_t* localStamp;
    const wchar_t* publishedVersion;
    const wchar_t* localVersion;
    UpdateReason reason;
    const wchar_t* logLine;
  };
  const Case cases[] = {
      // Time test applies and differs: fetched, whatever the versions say.
      {L"202403010905", L"202403010904", L"2.0.0.1", L"2.0.0.1", UpdateReason::OldTime,
       L"core.dll : old time - 202403010904, new time - 202403010905"},
      {L"202403010905", L"202403010906", L"", L"", UpdateReason::OldTime,
       L"core.dll : old time - 202403010906, new time - 202403010905"},
      // Equal stamps, versions differ either way.
      {L"202403010905", L"202403010905", L"2.0.0.1", L"2.0.0.3", UpdateReason::OldVersion,
       L"core.dll : old version - 2.0.0.3, new version - 2.0.0.1"},
      {L"2024030109", L"2024030109", L"2.0.0.4", L"2.0.0.3", UpdateReason::OldVersion,
       L"core.dll : old version - 2.0.0.3, new version - 2.0.0.4"},
      // No time test (a stamp is empty), versions differ.
      {L"", L"202403010905", L"1.2.10", L"1.2.9", UpdateReason::OldVersion,
       L"core.dll : old version - 1.2.9, new version - 1.2.10"},
      // Equal or not comparable: current.
      {L"202403010905", L"202403010905", L"1.2", L"1.2.0", UpdateReason::Current, L""},
      {L"", L"", L"1,2,0,5", L"1.2.0.5", UpdateReason::Current, L""},
      {L"202403010905", L"202403010905", L"", L"1.0", UpdateReason::Current, L""},
      {L"", L"202403010905", L"2.0", L"", UpdateReason::Current, L""},  // no version resource
      {L"", L"", L"", L"", UpdateReason::Current, L""},
  };
  for (const auto& c : cases) {
    const UpdateDecision d = DecideUpdate(L"core.dll", c.publishedStamp, c.localStamp, c.publishedVersion, c.localVersion);
    EXPECT_EQ(d.reason, c.reason) << (&c - cases);
    EXPECT_EQ(d.logLine, c.logLine) << (&c - cases);
  }
  EXPECT_EQ(LocalNameOf(L"bin\\Orrery.exe.zip"), L"bin\\Orrery.exe");
  EXPECT_EQ(LocalNameOf(L"pack.ZIP"), L"pack");
  EXPECT_EQ(LocalNameOf(L"zip"), L"zip");
  EXPECT_EQ(LocalNameOf(L"a.zipx"), L"a.zipx");
}

TEST(EngineUpdateDecision, WhichProgramsAreEnded) {
  CFolderTable& folders = GetFolderTable();
  ASSERT_TRUE(InitFolderTable(folders));
  const std::wstring appDir = folders.GetAppDir();
  const std::wstring self = GetUpdaterFileName(folders);
  std::wstring upper = self;
  for (auto& ch : upper) ch = static_cast<wchar_t>(towupper(ch));
  std::wstring appDirUpper = appDir;
  for (auto& ch : appDirUpper) ch = static_cast<wchar_t>(towupper(ch));
  struct Case {
    std::wstring name;
    std::wstring folder;
    bool close;
    std::wstring program;
  };
  const Case cases[] = {
      {L"viewer.exe", appDir, true, L"viewer.exe"},
      {L"viewer.exe.zip", appDir, true, L"viewer.exe"},
      {L"Viewer.EXE.ZIP", appDirUpper, true, L"Viewer.EXE"},
      {L"viewer.exe", appDir + L"\\\\", false, L""},  // trailing separators count on the entry's side
      {self, appDir, false, L""},
      {upper, appDir, false, L""},
      {self + L".zip", appDir, false, L""},
      {L"viewer.exe", appDir + L"\\sub", false, L""},
      {L"viewer.dll", appDir, false, L""},
      {L"viewer.exe.7z", appDir, false, L""},
  };
  for (const auto& c : cases) {
    std::wstring program;
    const CFileData entry(L"vireo viewer", c.name, L"", L"", c.folder);
    EXPECT_EQ(ShouldCloseRunningProgram(entry, folders, &program), c.close) << (&c - cases);
    EXPECT_EQ(program, c.program) << (&c - cases);
  }
}
