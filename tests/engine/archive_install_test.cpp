// Installing archives over a folder of real files: backups, restores,
// partial files, the updater's own name, names that leave the folder.
#include <gtest/gtest.h>

#include <cwctype>

#include <algorithm>
#include <atomic>

#include "app/folder_table.h"
#include "common/test_files.h"
#include "engine/archive_install.h"
#include "engine/engine_test_util.h"
#include "engine/module_staging.h"
#include "engine/module_swap.h"
#include "engine/staged_prepare.h"
#include "engine/zip_builder.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/process.h"
#include "zip/zip_test_support.h"

using EngineTest::BuildZip;
using EngineTest::CScopedLog;
using EngineTest::Narrow;
using EngineTest::ZipEntry;
using TestFiles::ReadOrMissing;

namespace {

class EngineArchiveInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(InitFolderTable(GetFolderTable()));
    updaterName = GetUpdaterFileName(GetFolderTable());
    app = root / L"App";
    ASSERT_TRUE(Platform::MakeDirectory(app));
  }
  void TearDown() override { Platform::ClearFaults(); }

  bool NoLeftovers(const std::wstring& folder) {
    std::vector<Platform::DirectoryEntry> entries;
    if (!Platform::ListDirectory(folder, &entries)) return false;
    for (const auto& e : entries) {
      const std::wstring& n = e.name;
      if (n.size() > 4 && (n.compare(n.size() - 4, 4, L".bak") == 0 || n.compare(n.size() - 4, 4, L".zip") == 0)) {
        ADD_FAILURE() << "left behind: " << Narrow(n);
        return false;
      }
    }
    return true;
  }

  // Installs the archive written at app\\name as a module's swap does: the
  // archive staged, its items set in place, the swap committed, or undone
  // when an item fails (*error then says why).
  bool Install(const std::wstring& name, Platform::ErrorCode* error = nullptr) {
    return Stage(name) && InstallStaged(name, error);
  }
  bool Stage(const std::wstring& name) {
    const std::wstring staged = StagedPathsOf(StagingFolderOf(app), name).data;
    if (EnsureDirectory(staged.substr(0, staged.rfind(L'\\'))) && Platform::MoveItem(app + L"\\" + name, staged))
      return true;
    ADD_FAILURE() << "archive not staged";
    return false;
  }
  // Unpacks the staged archive as the fetch loop does (CStagedPreparer),
  // then renames its items in within one swap.
  bool InstallStaged(const std::wstring& name, Platform::ErrorCode* error = nullptr) {
    Platform::ErrorCode ignored = 0;
    if (!error) error = &ignored;
    PrepareOutcome outcome;
    {
      CStagedPreparer preparer(app, abort);
      preparer.Add(0, name);
      outcome = preparer.Finish();
    }
    if (outcome.state != PrepareOutcome::State::kDone) {
      *error = outcome.error;
      EXPECT_TRUE(RemoveStagingFolder(app));
      return false;
    }
    CModuleSwap swap(app);
    if (!swap.Start(error)) return false;
    if (InstallArchiveItems(outcome.items[0], swap, error)) {
      RemoveSwapLeftovers(swap.Commit());
      return true;
    }
    EXPECT_TRUE(swap.Undo());
    EXPECT_TRUE(RemoveStagingFolder(app));
    return false;
  }

  std::atomic<bool> abort{false};
  TestFiles::CTempDir root;
  std::wstring app;
  std::wstring updaterName;
};

}  // namespace

TEST_F(EngineArchiveInstall, ItemsReplaceCreateAndSkip) {
  CScopedLog log(root / L"log.txt");
  const std::string self = Narrow(updaterName);
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\a.dll", "old a"));
  ASSERT_TRUE(Platform::SetAttributes(app + L"\\a.dll", Platform::kAttrReadOnly));
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\a.dll.bak", "stale backup"));
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\sub\\b.dll", "old b"));
  ASSERT_TRUE(TestFiles::WriteBytes(root / L"evil.dll", "outside"));
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\" + updaterName, "running updater"));

  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\setup.zip", BuildZip({
      {self, "new updater"},
      {"a.dll", "new a"},
      {"sub/b.dll", "new b"},
      {"new.dll", "brand new"},
      {"../evil.dll", "escaped"},
      {"..\\evil.dll", "escaped"},
      {"~VIREO-staging", "into the staging folder"},
      {"plug/", "", (040755u << 16) | 0x10},
      {"ro.dll", "read-only item", 0x01},
  })));
  ASSERT_TRUE(Install(L"setup.zip"));

  struct Expect {
    std::wstring path;
    std::string content;
  };
  const Expect expected[] = {
      // Only the running updater's own file is kept from: a file of its
      // name in another folder is a file like any other.
      {app + L"\\Temp\\" + updaterName, "<missing>"},
      {app + L"\\" + updaterName, "new updater"},
      {app + L"\\a.dll", "new a"},
      {app + L"\\sub\\b.dll", "old b"},  // items with folders are not installed
      {app + L"\\new.dll", "brand new"},
      {root / L"evil.dll", "outside"},
      {app + L"\\ro.dll", "read-only item"},
      {app + L"\\setup.zip", "<missing>"},
  };
  for (const auto& e : expected) EXPECT_EQ(ReadOrMissing(e.path), e.content) << Narrow(e.path);
  EXPECT_FALSE(Platform::PathExists(app + L"\\plug"));
  EXPECT_FALSE(Platform::PathExists(StagingFolderOf(app)));
  EXPECT_TRUE(NoLeftovers(app));
  EXPECT_TRUE(NoLeftovers(app + L"\\sub"));

  EXPECT_TRUE(log.HasPrefix("UnZip : strZipFileName -> " + Narrow(StagingFolderOf(app))));
  EXPECT_TRUE(log.Has("UnZip : OpenZip"));
  EXPECT_TRUE(log.Has("UnZip : item outside the install folder skipped -> ../evil.dll"));
  EXPECT_TRUE(log.Has("UnZip : item outside the install folder skipped -> ..\\evil.dll"));
  EXPECT_TRUE(log.Has("UnZip : item outside the install folder skipped -> ~VIREO-staging"));
  EXPECT_TRUE(log.Has("UnZip : folder item skipped -> plug/"));
  EXPECT_TRUE(log.Has("Restore file : " + Narrow(app) + "\\sub/b.dll.bak"));
  EXPECT_TRUE(log.Has("Stale backup removed : " + Narrow(app) + "\\a.dll.bak (" + Narrow(app) + "\\a.dll is whole)"));
  EXPECT_TRUE(log.Has("Delete file : " + Narrow(app) + "\\a.dll.bak"));
  EXPECT_TRUE(log.Has("Target file matches original file ==> OK"));
}

TEST_F(EngineArchiveInstall, AFailedItemPutsEveryItemBack) {
  // A corrupt item fails while the archive is unpacked into staging, before
  // the installation is touched. An item that cannot be renamed in fails
  // the swap after items that replaced, created and set aside files: all
  // of them go back as they were, attributes included.
  struct Case {
    const char* label;
    bool corrupt;
    int failedMove;  // the swap's MoveItem call made to fail (0: none)
    Platform::ErrorCode error;
  };
  const Case cases[] = {
      {"corrupt item", true, 0, 1392u},
      // a.dll aside, a.dll in, new.dll in, then bad.dll aside.
      {"item not renamed in", false, 4, Platform::kErrorSharingViolation},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CScopedLog log(root / L"log.txt");
    ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\a.dll", "old a"));
    ASSERT_TRUE(Platform::SetAttributes(app + L"\\a.dll", Platform::kAttrReadOnly));
    ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\bad.dll", "old bad"));
    ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\setup.zip", BuildZip({
        {"a.dll", "new a"},
        {"new.dll", "brand new"},
        {"bad.dll", "corrupt", 0100644u << 16, c.corrupt},
        {"late.dll", "never reached"},
    })));
    ASSERT_TRUE(Stage(L"setup.zip"));
    if (c.failedMove != 0) Platform::FailNthCall("MoveItem", c.failedMove, Platform::kErrorSharingViolation);
    Platform::ErrorCode error = 0;
    EXPECT_FALSE(InstallStaged(L"setup.zip", &error));
    Platform::ClearFaults();
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(ReadOrMissing(app + L"\\a.dll"), "old a");
    std::uint32_t attributes = 0;
    ASSERT_TRUE(Platform::GetAttributes(app + L"\\a.dll", &attributes));
    EXPECT_TRUE(attributes & Platform::kAttrReadOnly);
    EXPECT_EQ(ReadOrMissing(app + L"\\bad.dll"), "old bad");
    EXPECT_EQ(ReadOrMissing(app + L"\\new.dll"), "<missing>");
    EXPECT_EQ(ReadOrMissing(app + L"\\late.dll"), "<missing>");
    EXPECT_TRUE(NoLeftovers(app));
    EXPECT_EQ(log.Has("Restore file : " + Narrow(app) + "\\a.dll.bak"), !c.corrupt);
    EXPECT_EQ(log.Has("Undo : new file removed -> " + Narrow(app) + "\\new.dll"), !c.corrupt);
    if (!c.corrupt) continue;
    // The sequence for the corrupt item, in order.
    auto lines = log.Lines();
    const auto at = std::find(lines.begin(), lines.end(), "UnzipItem failed to create target file");
    ASSERT_NE(at, lines.end());
    ASSERT_GE(at - lines.begin(), 1);
    EXPECT_EQ(*(at - 1), "UnzipItem failed");
    ASSERT_TRUE(Platform::SetAttributes(app + L"\\a.dll", Platform::kAttrNormal));
  }
}

TEST_F(EngineArchiveInstall, FailuresLeaveTheOldFile) {
  struct Case {
    const char* label;
    const char* operation;  // platform call made to fail
    int nth;
    const char* expectLine;
    bool unpacked;  // the failure comes in the swap, after the item was unpacked whole
  };
  const Case cases[] = {
      {"target in use", "MoveItem", 1, "Target file could not be moved aside, not replaced : ", true},
      // The log's lines for the archive, the open and the item come first;
      // the 5th write is the extraction's second 16 KiB chunk.
      {"disk full while writing", "Write", 5, "UnzipItem failed to create target file", false},
      // The unpacked item is the first file created.
      {"target cannot be created", "Create", 1, "UnzipItem failed to create target file", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CScopedLog log(root / L"log.txt");
    ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\core.dll", "old core"));
    ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\pack.zip", BuildZip({{"core.dll", std::string(100000, 'n')}})));
    ASSERT_TRUE(Stage(L"pack.zip"));
    Platform::ClearFaults();
    Platform::FailNthCall(c.operation, c.nth, Platform::kErrorSharingViolation);
    EXPECT_FALSE(InstallStaged(L"pack.zip"));
    Platform::ClearFaults();
    EXPECT_TRUE(ReadOrMissing(app + L"\\core.dll") == "old core");
    EXPECT_TRUE(NoLeftovers(app));
    EXPECT_TRUE(log.HasPrefix(c.expectLine));
    EXPECT_EQ(log.Has("Target file created OK"), c.unpacked);
  }
}

TEST_F(EngineArchiveInstall, LeftoverBackupOfAStoppedRun) {
  // A run stopped in mid-extraction left a partial core.dll beside the
  // backup of the old one. This run's corrupt item fails in staging and
  // leaves both as they were; the next good item finds the target of
  // another size than itself, so the backup is the old file: it comes back
  // before it is set aside again.
  CScopedLog log(root / L"log.txt");
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\core.dll", "partial"));
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\core.dll.bak", "old core"));
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\pack.zip", BuildZip({{"core.dll", "corrupt new core", 0100644u << 16, true}})));
  EXPECT_FALSE(Install(L"pack.zip"));
  EXPECT_EQ(ReadOrMissing(app + L"\\core.dll"), "partial");
  EXPECT_EQ(ReadOrMissing(app + L"\\core.dll.bak"), "old core");
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\pack.zip", BuildZip({{"core.dll", "NEW core"}})));
  EXPECT_TRUE(Install(L"pack.zip"));
  EXPECT_EQ(ReadOrMissing(app + L"\\core.dll"), "NEW core");
  EXPECT_TRUE(NoLeftovers(app));
  EXPECT_TRUE(log.HasPrefix("Stale backup restored : " + Narrow(app) + "\\core.dll.bak"));

  // Beside a target of the item's size the backup is stale: removed, and
  // the item installed.
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\core.dll.bak", "older core"));
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\pack.zip", BuildZip({{"core.dll", "new core"}})));
  EXPECT_TRUE(Install(L"pack.zip"));
  EXPECT_EQ(ReadOrMissing(app + L"\\core.dll"), "new core");
  EXPECT_TRUE(NoLeftovers(app));
  EXPECT_TRUE(log.HasPrefix("Stale backup removed : " + Narrow(app) + "\\core.dll.bak"));
}

TEST_F(EngineArchiveInstall, SubFolderEntriesAndUnreadableArchives) {
  CScopedLog log(root / L"log.txt");
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\plugins\\x.zip", BuildZip({{"x.dll", "x"}, {"y.dll", "y"}})));
  EXPECT_TRUE(Install(L"plugins\\x.zip"));
  EXPECT_EQ(ReadOrMissing(app + L"\\plugins\\x.dll"), "x");
  EXPECT_EQ(ReadOrMissing(app + L"\\plugins\\y.dll"), "y");
  EXPECT_FALSE(Platform::PathExists(app + L"\\x.dll"));
  EXPECT_FALSE(Platform::PathExists(app + L"\\plugins\\x.zip"));

  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\junk.zip", "not an archive at all"));
  Platform::ErrorCode error = 0;
  EXPECT_FALSE(Install(L"junk.zip", &error));
  EXPECT_EQ(error, 1392u);
  EXPECT_TRUE(log.HasPrefix("UnZip : GetZipItem failed -> " + Narrow(StagingFolderOf(app))));
  EXPECT_FALSE(Platform::PathExists(app + L"\\junk.zip"));
}

TEST_F(EngineArchiveInstall, EachItemGetsItsOwnBytesOnce) {
  // Items are installed by their own index: a stored folder name never
  // picks up the bytes of a top-level item of the same last name, entries
  // that share one item's data install it once, names flagged UTF-8 are
  // installed as such, and names Windows would take for something else are
  // skipped.
  CScopedLog log(root / L"log.txt");
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\sub\\a.dll", "old sub a"));
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\shared1.dll", "old shared1"));
  std::vector<ZipTest::Entry> entries = {
      ZipTest::Stored("a.dll", "top a"),
      ZipTest::Stored("sub/a.dll", "sub a"),
      ZipTest::Stored("shared0.dll", "shared bytes"),
      ZipTest::Stored("shared1.dll", "shared bytes"),
      ZipTest::Stored("caf\xC3\xA9.txt", "utf-8 name"),
      ZipTest::Stored("nul.dll", "device"),
      ZipTest::Stored("com1", "device"),
      ZipTest::Stored("dot.dll.", "trailing dot"),
      ZipTest::Stored("space.dll ", "trailing space"),
      ZipTest::Stored("line\r\nforged.dll", "control units"),
      ZipTest::Stored("star*.dll", "wildcard"),
  };
  entries[4].flags = 0x0800;
  std::string bytes = ZipTest::BuildArchive(entries);
  const ZipTest::Layout layout = ZipTest::ReadLayout(bytes);
  // shared1.dll's entry points at shared0.dll's local header.
  ZipTest::Put32(&bytes, layout.items[3].central + 42, static_cast<std::uint32_t>(layout.items[2].local));
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\pack.zip", bytes));
  // An archive that lies about its items is not installed at all.
  EXPECT_FALSE(Install(L"pack.zip"));
  EXPECT_TRUE(log.Has("UnZip : GetZipItem failed"));  // shared1.dll's record is refused
  EXPECT_EQ(ReadOrMissing(app + L"\\a.dll"), "<missing>");
  EXPECT_EQ(ReadOrMissing(app + L"\\shared0.dll"), "<missing>");
  // Without the lie, every item that may be installed is, with its bytes.
  entries.erase(entries.begin() + 3);
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\pack.zip", ZipTest::BuildArchive(entries)));
  EXPECT_TRUE(Install(L"pack.zip"));

  struct Expect {
    std::wstring path;
    std::string content;
  };
  const Expect expected[] = {
      {app + L"\\a.dll", "top a"},
      {app + L"\\sub\\a.dll", "old sub a"},
      {app + L"\\shared0.dll", "shared bytes"},
      {app + L"\\shared1.dll", "old shared1"},
      {app + L"\\caf\x00E9.txt", "utf-8 name"},
      {app + L"\\dot.dll", "<missing>"},
      {app + L"\\dot.dll.", "<missing>"},
      {app + L"\\space.dll", "<missing>"},
      {app + L"\\pack.zip", "<missing>"},
  };
  for (const auto& e : expected) EXPECT_EQ(ReadOrMissing(e.path), e.content) << Narrow(e.path);
  EXPECT_TRUE(NoLeftovers(app));
  EXPECT_TRUE(NoLeftovers(app + L"\\sub"));
  std::vector<Platform::DirectoryEntry> files;
  ASSERT_TRUE(Platform::ListDirectory(app, &files));
  // a.dll, café.txt, shared0.dll, shared1.dll, sub: no device names (which
  // cannot be read back as files by name on Windows; the listing shows them).
  EXPECT_EQ(files.size(), 5u);
  EXPECT_TRUE(log.Has("Restore file : " + Narrow(app) + "\\sub/a.dll.bak"));
  for (const char* name : {"nul.dll", "com1", "dot.dll.", "space.dll ", "star*.dll"}) {
    EXPECT_TRUE(log.Has(std::string("UnZip : item outside the install folder skipped -> ") + name)) << name;
  }
}

TEST_F(EngineArchiveInstall, TheRunningUpdaterIsNeverReplaced) {
  // The test program stands for the updater: an item that names its file,
  // in any letter case, waits in Temp beside it.
  const std::wstring self = Platform::GetExecutablePath();
  const std::size_t slash = self.rfind(L'\\');
  const std::wstring folder = self.substr(0, slash);
  std::wstring name = self.substr(slash + 1);
  for (auto& c : name) c = static_cast<wchar_t>(std::towupper(c));
  std::string before;
  ASSERT_TRUE(TestFiles::ReadBytes(self, &before));
  ASSERT_TRUE(TestFiles::WriteBytes(folder + L"\\self_test.zip", BuildZip({{Narrow(name), "not the updater"}})));
  app = folder;
  (void)RemoveStagingFolder(app);  // what a killed run of this test left
  EXPECT_TRUE(Install(L"self_test.zip"));
  std::string after;
  ASSERT_TRUE(TestFiles::ReadBytes(self, &after));
  EXPECT_TRUE(before == after);
  EXPECT_EQ(ReadOrMissing(folder + L"\\Temp\\" + name), "not the updater");
  (void)Platform::RemoveFile(folder + L"\\Temp\\" + name);
  (void)Platform::RemoveEmptyDirectory(folder + L"\\Temp");
}

TEST_F(EngineArchiveInstall, ACancelWhileUnpackingTouchesNothing) {
  // Cancelled inside an item (between its chunks), and before the first
  // item: nothing is logged as failed, no partial file stays in staging and
  // the installation is as it was.
  CScopedLog log(root / L"log.txt");
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\core.dll", "old core"));
  ASSERT_TRUE(TestFiles::WriteBytes(app + L"\\pack.zip", BuildZip({{"core.dll", std::string(100000, 'n')}})));
  ASSERT_TRUE(Stage(L"pack.zip"));
  const std::wstring items = StagedItemsFolderOf(StagingFolderOf(app), L"pack.zip");
  ASSERT_TRUE(MakeStagedItemsFolder(app, L"pack.zip"));
  int asked = 0;
  std::vector<PreparedItem> prepared;
  Platform::ErrorCode error = 0;
  // Asked before the item, then before each chunk: the third ask is inside it.
  EXPECT_FALSE(UnZip(StagedPathsOf(StagingFolderOf(app), L"pack.zip").data, app, items,
                     [&] { return ++asked == 3; }, &prepared, &error));
  EXPECT_EQ(asked, 3);
  EXPECT_TRUE(prepared.empty());
  EXPECT_FALSE(Platform::PathExists(items + L"\\core.dll"));
  EXPECT_FALSE(log.Has("UnzipItem failed"));

  abort = true;
  CStagedPreparer preparer(app, abort);
  preparer.Add(0, L"pack.zip");
  EXPECT_EQ(preparer.Finish().state, PrepareOutcome::State::kCancelled);
  EXPECT_TRUE(preparer.Failed());
  EXPECT_EQ(ReadOrMissing(app + L"\\core.dll"), "old core");
  EXPECT_FALSE(log.Has("Target file created OK"));
}
