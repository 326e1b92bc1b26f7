// A module's swap over real files: killed at every step, it is undone by the
// next run's repair and then goes through whole; killed after its mark, it
// is completed. Staged-file notes, the staging folder's name and the record
// of installed files.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/folder_table.h"
#include "common/test_files.h"
#include "engine/engine_test_util.h"
#include "engine/installed_digests.h"
#include "engine/module_staging.h"
#include "engine/module_swap.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/text.h"
#ifdef _WIN32
#include "platform/windows_api.h"
#endif

using EngineTest::CScopedLog;
using EngineTest::Narrow;
using TestFiles::ReadOrMissing;

namespace {

struct FileCase {
  const wchar_t* name;
  const char* old;  // nullptr: no file before
  bool readOnly;
  const char* fresh;
};
const FileCase kFiles[] = {
    {L"a.dll", "old a", false, "new a"},
    {L"b.exe", "old b", true, "new b"},
    {L"sub\\c.dat", "old c", false, "new c"},
    {L"d.dll", nullptr, false, "new d"},
};

class EngineModuleSwap : public ::testing::Test {
 protected:
  void SetUp() override {
    app = root / L"App";
    ASSERT_TRUE(Platform::MakeDirectory(app));
    ASSERT_TRUE(Platform::MakeDirectory(app + L"\\sub"));
    for (const FileCase& f : kFiles) {
      if (!f.old) continue;
      ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\" + f.name, f.old));
      if (f.readOnly) ASSERT_TRUE(Platform::SetAttributes(app + L"\\" + f.name, Platform::kAttrReadOnly));
    }
    StageAll();
  }
  void TearDown() override { Platform::ClearFaults(); }

  std::wstring Staged(const FileCase& f) { return StagedPathsOf(StagingFolderOf(app), f.name).data; }

  void StageAll() {
    for (const FileCase& f : kFiles) {
      const std::wstring staged = Staged(f);
      if (Platform::PathExists(staged)) continue;
      ASSERT_TRUE(EnsureDirectory(staged.substr(0, staged.rfind(L'\\'))));
      ASSERT_TRUE(TestFiles::WriteBytes(staged, f.fresh));
    }
  }

  // Places the first `count` files; the swap is then dropped as a killed
  // run leaves it (no commit, no undo).
  void PlaceAndDrop(std::size_t count) {
    CModuleSwap swap(app);
    Platform::ErrorCode error = 0;
    ASSERT_TRUE(swap.Start(&error));
    for (std::size_t i = 0; i < count; ++i) {
      (void)swap.PlaceFile(Staged(kFiles[i]), app + L"\\" + kFiles[i].name, &error);
    }
  }

  // Every file as before the swap, its new copy still staged, no backup.
  void ExpectAllOld() {
    for (const FileCase& f : kFiles) {
      const std::wstring target = app + L"\\" + f.name;
      EXPECT_EQ(ReadOrMissing(target), f.old ? f.old : "<missing>") << Narrow(target);
      EXPECT_FALSE(Platform::PathExists(target + L".bak")) << Narrow(target);
      EXPECT_EQ(ReadOrMissing(Staged(f)), f.fresh) << Narrow(target);
      std::uint32_t attributes = 0;
      if (f.readOnly) {
        EXPECT_TRUE(Platform::GetAttributes(target, &attributes) && (attributes & Platform::kAttrReadOnly));
      }
    }
  }

  void ExpectAllNew() {
    for (const FileCase& f : kFiles) {
      const std::wstring target = app + L"\\" + f.name;
      EXPECT_EQ(ReadOrMissing(target), f.fresh) << Narrow(target);
      EXPECT_FALSE(Platform::PathExists(target + L".bak")) << Narrow(target);
    }
    EXPECT_FALSE(Platform::PathExists(StagingFolderOf(app)));
  }

  void SwapWhole() {
    CModuleSwap swap(app);
    Platform::ErrorCode error = 0;
    ASSERT_TRUE(swap.Start(&error));
    for (const FileCase& f : kFiles) ASSERT_TRUE(swap.PlaceFile(Staged(f), app + L"\\" + f.name, &error));
    RemoveSwapLeftovers(swap.Commit());
  }

  TestFiles::CTempDir root;
  std::wstring app;
};

}  // namespace

TEST_F(EngineModuleSwap, KilledAtAnyStepIsUndoneThenGoesThroughWhole) {
  // Kill points: after each whole placement, and inside a placement,
  // between its journal line and the old file's move (the move fails as
  // the kill would have it not happen) and between that move and the new
  // file's.
  struct Kill {
    const char* label;
    std::size_t placed;
    int failMove;  // 0: none; 1 and 2: that move of the next placement
  };
  const Kill kills[] = {
      {"journal only", 0, 0},        {"after a.dll", 1, 0},
      {"after b.exe", 2, 0},         {"after sub\\c.dat", 3, 0},
      {"after every file", 4, 0},    {"before a.dll's backup", 0, 1},
      {"before b.exe's new file", 1, 2}, {"before d.dll's new file", 3, 1},
  };
  for (const Kill& k : kills) {
    SCOPED_TRACE(k.label);
    CScopedLog log(root / L"log.txt");
    if (k.failMove == 0) {
      PlaceAndDrop(k.placed);
    } else {
      // Each pass begins from the old state: place `placed` files, then
      // fail the chosen move of the next one, and drop the swap.
      CModuleSwap swap(app);
      Platform::ErrorCode error = 0;
      ASSERT_TRUE(swap.Start(&error));
      for (std::size_t i = 0; i < k.placed; ++i)
        ASSERT_TRUE(swap.PlaceFile(Staged(kFiles[i]), app + L"\\" + kFiles[i].name, &error));
      Platform::FailNthCall("MoveItem", k.failMove, Platform::kErrorSharingViolation);
      EXPECT_FALSE(swap.PlaceFile(Staged(kFiles[k.placed]), app + L"\\" + kFiles[k.placed].name, &error));
      Platform::ClearFaults();
    }
    Platform::ErrorCode error = 0;
    EXPECT_EQ(RepairInterruptedSwap(app, &error), SwapRepair::kUndone);
    EXPECT_TRUE(log.HasPrefix("Interrupted installation undone : " + Narrow(app)));
    ExpectAllOld();
    EXPECT_EQ(RepairInterruptedSwap(app, &error), SwapRepair::kNothing);
  }
  // The files returned to the staging folder go in whole next time.
  SwapWhole();
  ExpectAllNew();
}

TEST_F(EngineModuleSwap, KilledAfterItsMarkIsCompleted) {
  // A swap killed after its journal's mark, with backups not yet removed:
  // the journal and backups are put back after a whole swap to make that
  // state.
  PlaceAndDrop(4);
  std::string journal;
  ASSERT_TRUE(TestFiles::ReadBytes(StagingFolderOf(app) + L"\\journal", &journal));
  Platform::ErrorCode error = 0;
  ASSERT_EQ(RepairInterruptedSwap(app, &error), SwapRepair::kUndone);
  SwapWhole();
  ASSERT_TRUE(TestFiles::WriteBytes(StagingFolderOf(app) + L"\\journal", journal + "C\n"));
  for (const FileCase& f : kFiles) {
    if (f.old) ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\" + f.name + L".bak", f.old));
  }
  CScopedLog log(root / L"log.txt");
  EXPECT_EQ(RepairInterruptedSwap(app, &error), SwapRepair::kCompleted);
  EXPECT_TRUE(log.Has("Interrupted installation completed : " + Narrow(app) + " (4 files)"));
  ExpectAllNew();
}

TEST_F(EngineModuleSwap, AFailedStepIsUndoneAndAJournalNamesNothingOutside) {
  CScopedLog log(root / L"log.txt");
  {
    CModuleSwap swap(app);
    Platform::ErrorCode error = 0;
    ASSERT_TRUE(swap.Start(&error));
    ASSERT_TRUE(swap.PlaceFile(Staged(kFiles[0]), app + L"\\a.dll", &error));
    ASSERT_TRUE(swap.PlaceFile(Staged(kFiles[3]), app + L"\\d.dll", &error));
    // A target set aside twice in one swap keeps its first backup.
    ASSERT_TRUE(TestFiles::WriteBytes(root / L"again.dll", "newer a"));
    ASSERT_TRUE(swap.SetAside(app + L"\\a.dll", std::wstring(), &error));
    ASSERT_TRUE(Platform::MoveItem(root / L"again.dll", app + L"\\a.dll"));
    // Outside the install folder: refused before anything is touched.
    EXPECT_FALSE(swap.SetAside(root / L"evil.dll", std::wstring(), &error));
    EXPECT_EQ(error, 161u);
    EXPECT_TRUE(swap.Undo());
  }
  // a.dll's second copy was not a staged file: removed, not staged.
  EXPECT_EQ(ReadOrMissing(Staged(kFiles[0])), "<missing>");
  StageAll();
  ExpectAllOld();
  EXPECT_FALSE(Platform::PathExists(StagingFolderOf(app) + L"\\journal"));

  // A journal edited to name files outside the module, or in a form of its
  // own, touches none of them.
  ASSERT_TRUE(TestFiles::WriteBytes(root / L"outside.dll", "outside"));
  ASSERT_TRUE(TestFiles::WriteBytes(StagingFolderOf(app) + L"\\journal",
                                    "vireo-swap 1\nT\t0\t..\\outside.dll\t\nT\t0\tC:\\x\t\nT\tx\ta.dll\t\n"
                                    "T\t128\tb.exe\n"));
  Platform::ErrorCode error = 0;
  EXPECT_EQ(RepairInterruptedSwap(app, &error), SwapRepair::kUndone);
  EXPECT_EQ(ReadOrMissing(root / L"outside.dll"), "outside");
  ExpectAllOld();
}

// Links in the staging folder or on a journal's paths lead out of the
// module: a run removes them as links and never touches what they lead to.
// The swap knows which names stand in a folder from one listing of it: a
// file put there by someone else once it began is still never overwritten.
TEST_F(EngineModuleSwap, AFileThatAppearsMidSwapIsNeverOverwritten) {
  CModuleSwap swap(app);
  Platform::ErrorCode error = 0;
  ASSERT_TRUE(swap.Start(&error));
  ASSERT_TRUE(swap.PlaceFile(Staged(kFiles[0]), app + L"\\" + kFiles[0].name, &error));
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\d.dll", "someone else's"));
  EXPECT_FALSE(swap.PlaceFile(Staged(kFiles[3]), app + L"\\d.dll", &error));
  EXPECT_TRUE(swap.Undo());
  EXPECT_EQ(ReadOrMissing(app + L"\\d.dll"), "someone else's");
  EXPECT_EQ(ReadOrMissing(app + L"\\a.dll"), "old a");
}

TEST_F(EngineModuleSwap, LinksAreNeverFollowed) {
  CScopedLog log(root / L"log.txt");
  const std::wstring outside = root / L"precious";
  ASSERT_TRUE(TestFiles::WriteBytes(outside + L"\\keep.txt", "keep"));
  const std::wstring staging = StagingFolderOf(app);
  TestFiles::RemoveTree(staging);
  ASSERT_TRUE(Platform::MakeDirectory(staging));
  if (!TestFiles::MakeFolderLink(staging + L"\\files", outside)) GTEST_SKIP() << "no links here";
  ASSERT_TRUE(TestFiles::MakeFolderLink(app + L"\\lnk", outside));
  EXPECT_TRUE(CrossesLink(app, L"lnk\\keep.txt"));
  EXPECT_FALSE(CrossesLink(app, L"sub\\c.dat"));
  // A journal line through a link is ignored; the rest is undone.
  ASSERT_TRUE(TestFiles::WriteBytes(staging + L"\\journal", "vireo-swap 1\nT\t0\tlnk\\keep.txt\t\n"));
  Platform::ErrorCode error = 0;
  EXPECT_EQ(RepairInterruptedSwap(app, &error), SwapRepair::kUndone);
  EXPECT_TRUE(log.Has("Interrupted installation : a line that runs through a link ignored -> " + Narrow(app) +
                      "\\lnk\\keep.txt"));
  // A swap does not put a file through it either.
  {
    CModuleSwap swap(app);
    ASSERT_TRUE(swap.Start(&error));
    EXPECT_FALSE(swap.SetAside(app + L"\\lnk\\keep.txt", std::wstring(), &error));
    EXPECT_EQ(error, 161u);
    EXPECT_TRUE(swap.Undo());
  }
  RemoveStagingLinks(app);
  EXPECT_TRUE(log.Has("Staging : link removed, not followed -> " + Narrow(staging) + "\\files"));
  ASSERT_TRUE(TestFiles::MakeFolderLink(staging + L"\\files", outside));
  EXPECT_TRUE(RemoveStagingFolder(app));
  EXPECT_EQ(ReadOrMissing(outside + L"\\keep.txt"), "keep");
  EXPECT_FALSE(Platform::PathExists(staging));
  (void)Platform::RemoveLink(app + L"\\lnk");
}

TEST(EngineStaging, NotesAndNames) {
  TestFiles::CTempDir dir;
  const std::wstring path = dir / L"note";
  const StagedNote written{L"/app/core.dll", L"\"5f2-3a\"", true, 1234567890123ull};
  ASSERT_TRUE(WriteStagedNote(path, written));
  StagedNote read;
  ASSERT_TRUE(ReadStagedNote(path, &read));
  EXPECT_TRUE(read.url == written.url && read.validator == written.validator && read.totalKnown &&
              read.total == written.total);
  ASSERT_TRUE(WriteStagedNote(path, StagedNote{L"/x", L"Tue, 08 Dec 2026 10:00:00 GMT", false, 0}));
  ASSERT_TRUE(ReadStagedNote(path, &read));
  EXPECT_FALSE(read.totalKnown);
  EXPECT_FALSE(WriteStagedNote(path, StagedNote{L"/x", L"a\nb", true, 1}));

  const char* malformed[] = {"", "/x\n\"v\"\n", "/x\n\"v\"\n12a\n", "/x\n\"v\"\n12\nextra\n",
                             "/x\n\"v\"\n99999999999999999999\n", "/x\n\"v\"\n12"};
  for (const char* text : malformed) {
    ASSERT_TRUE(TestFiles::WriteBytes(path, text));
    EXPECT_FALSE(ReadStagedNote(path, &read)) << text;
  }
  EXPECT_FALSE(ReadStagedNote(dir / L"missing", &read));

  const struct {
    const wchar_t* name;
    bool staging;
  } names[] = {
      {L"~vireo-staging", true},     {L"~VIREO-STAGING\\files\\a", true}, {L"sub/~vireo-staging/x", true},
      {L"~vireo-staging.dll", false}, {L"a\\b", false},                    {L"x~vireo-staging", false},
      {L"~Vireo-Digests", true},      {L"~vireo-digests.new", true},       {L"sub\\~vireo-digests", false},
  };
  for (const auto& n : names) EXPECT_EQ(NamesStagingFolder(n.name), n.staging) << Narrow(n.name);

  // By place: any spelling that the file system takes to the staging
  // folder, its short name among them.
  const std::wstring staging = StagingFolderOf(dir.Path());
  ASSERT_TRUE(EnsureDirectory(staging));
  std::vector<std::pair<std::wstring, bool>> places = {
      {L"~VIREO-STAGING\\x", true}, {L"~vireo-staging.dll", false}, {L"~other\\x", false}, {L"a\\~vireo-staging", true}};
#ifdef _WIN32
  wchar_t alias[MAX_PATH] = {};
  ASSERT_NE(::GetShortPathNameW(staging.c_str(), alias, MAX_PATH), 0u);
  places.emplace_back(std::wstring(alias).substr(std::wstring(alias).rfind(L'\\') + 1) + L"\\x", true);
#endif
  for (const auto& [name, reaches] : places) EXPECT_EQ(ReachesStagingFolder(dir.Path(), name), reaches) << Narrow(name);
}

namespace {

// The record of installed files: read back by name in any letter case, only
// while size and time still match; kept only where patches are; never
// written or read through a link at its names.
TEST(InstalledDigests, AHintKeptWherePatchesAre) {
  TestFiles::CTempDir dir;
  const std::wstring record = dir / L"~vireo-digests";
  Platform::Sha256Digest one{}, two{}, found{};
  one[0] = 1;
  two[0] = 2;
  CInstalledDigests digests;
  digests.Set(L"bin\\a.dll", 5, 100, one);
  digests.Set(L"b.exe", 7, 200, two);
  digests.Set(L"tab\tname", 1, 1, two);  // not a name a line can hold: left out
  ASSERT_TRUE(digests.Save(dir.Path()));
  const CInstalledDigests read = CInstalledDigests::Load(dir.Path());
  EXPECT_TRUE(read.Find(L"BIN\\A.DLL", 5, 100, &found) && found == one);
  EXPECT_FALSE(read.Find(L"bin\\a.dll", 6, 100, &found));
  EXPECT_FALSE(read.Find(L"bin\\a.dll", 5, 101, &found));
  EXPECT_FALSE(read.Find(L"tab\tname", 1, 1, &found));
  // Lines out of form are skipped; another first line empties it all.
  const std::string hex(64, 'a');
  ASSERT_TRUE(TestFiles::WriteBytes(record, "vireo-digests 1\n" + hex + "\tx\t1\tbad\n" + hex + "\t3\t4\n" + hex +
                                                "\t3\t4\tgood\n" + hex.substr(1) + "\t3\t4\tshort\n"));
  EXPECT_TRUE(CInstalledDigests::Load(dir.Path()).Find(L"good", 3, 4, &found));
  EXPECT_FALSE(CInstalledDigests::Load(dir.Path()).Find(L"short", 3, 4, &found));
  ASSERT_TRUE(TestFiles::WriteBytes(record, "vireo-digests 2\n" + hex + "\t3\t4\tgood\n"));
  EXPECT_TRUE(CInstalledDigests::Load(dir.Path()).Empty());

  // After a swap: nothing where the list names no patch and no record is.
  ASSERT_TRUE(Platform::RemoveFile(record));
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"a.dll", "new a"));
  CFileData entry(L"m", L"a.dll", L"", L"", dir.Path());
  entry.Size = 5;
  entry.SizeDeclared = true;
  entry.Sha256 = one;
  entry.Sha256Declared = true;
  CInstalledDigests::Load(dir.Path()).KeepAfterSwap(dir.Path(), {&entry}, false);
  EXPECT_FALSE(Platform::PathExists(record));
  CInstalledDigests::Load(dir.Path()).KeepAfterSwap(dir.Path(), {&entry}, true);
  Platform::FileTimes times;
  ASSERT_TRUE(Platform::GetFileTimes(dir / L"a.dll", &times));
  EXPECT_TRUE(CInstalledDigests::Load(dir.Path()).Find(L"a.dll", 5, times.lastWrite, &found) && found == one);
  entry.Size = 6;  // not what stands there: its line goes
  CInstalledDigests::Load(dir.Path()).KeepAfterSwap(dir.Path(), {&entry}, false);
  EXPECT_FALSE(CInstalledDigests::Load(dir.Path()).Find(L"a.dll", 5, times.lastWrite, &found));

  // A link at the record's names leads nowhere outside.
  TestFiles::CTempDir outside;
  ASSERT_TRUE(TestFiles::WriteBytes(outside / L"keep", "keep"));
  std::error_code error;
  const auto native = [](const std::wstring& path) {
    std::string text = Platform::ToUtf8(path);
#ifndef _WIN32
    for (char& c : text) c = c == '\\' ? '/' : c;
#endif
    return std::filesystem::path(text);
  };
  ASSERT_TRUE(Platform::RemoveFile(record));
  std::filesystem::create_symlink(native(outside / L"keep"), native(record + L".new"), error);
  if (error) return;  // no file links here (Wine makes none)
  ASSERT_TRUE(digests.Save(dir.Path()));
  EXPECT_EQ(ReadOrMissing(outside / L"keep"), "keep");
  EXPECT_FALSE(Platform::IsLink(record));
  ASSERT_TRUE(Platform::RemoveFile(record));
  std::filesystem::create_symlink(native(outside / L"keep"), native(record), error);
  EXPECT_TRUE(CInstalledDigests::Load(dir.Path()).Empty());
}

}  // namespace
