// The analysis, the worker and process control under Wine: real update
// lists and files on nginx, real files in install folders, real programs
// started and ended.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "app/folder_table.h"
#include "common/test_files.h"
#include "engine/dialog_test_util.h"
#include "engine/module_staging.h"
#include "engine/module_swap.h"
#include "engine/engine_test_util.h"
#include "platform/process_control.h"
#include "engine/published_time.h"
#include "engine/zip_builder.h"
#include "harness/nginx_fixture.h"
#include "harness/wine_paths.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/windows_handle.h"

using EngineTest::CScopedLog;
using EngineTest::CTestRun;
using EngineTest::Narrow;
using TestFiles::ReadOrMissing;

namespace {

struct ListEntry {
  std::string fileName;
  std::string version;
  std::string dateTime;
};

std::string UpdateListXml(const std::vector<ListEntry>& entries) {
  std::string xml = "<?xml version=\"1.0\"?>\r\n<update>\r\n";
  for (const auto& e : entries) {
    xml += "  <module filename=\"" + e.fileName + "\" version=\"" + e.version + "\" datetime=\"" + e.dateTime +
           "\"/>\r\n";
  }
  return xml + "</update>\r\n";
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::wstring AppDir() {
  CFolderTable& folders = GetFolderTable();
  if (folders.GetAppDir().empty()) (void)InitFolderTable(folders);
  return folders.GetAppDir();
}

// The stand-in program built beside the tests.
std::wstring ProgramPath() { return AppDir() + L"\\engine_test_program.exe"; }

bool WaitForFile(const std::wstring& path, int millis) {
  for (int i = 0; i < millis / 10; ++i) {
    if (Platform::PathExists(path)) return true;
    ::Sleep(10);
  }
  return Platform::PathExists(path);
}

// The pid a started stand-in wrote into its marker, or 0.
DWORD StartedPid(const std::wstring& exe) {
  if (!WaitForFile(exe + L".started", 10000)) return 0;
  ::Sleep(50);
  const std::string text = ReadOrMissing(exe + L".started");
  return text.rfind("pid=", 0) == 0 ? static_cast<DWORD>(std::stoul(text.substr(4))) : 0;
}

bool ProcessEnds(DWORD pid, DWORD millis) {
  Platform::CScopedHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
  if (!process) return true;  // gone already
  return ::WaitForSingleObject(process.Get(), millis) == WAIT_OBJECT_0;
}

// A stand-in copied to `exe`, started and held running until the object goes.
class CHeldProgram {
 public:
  explicit CHeldProgram(const std::wstring& exe) : exe_(exe) {
    EXPECT_TRUE(Platform::CopyItem(ProgramPath(), exe, true));
    EXPECT_TRUE(TestFiles::WriteBytes(exe + L".hold", "hold"));
    EXPECT_EQ(Platform::LaunchProgram(exe), 1u);
    pid_ = StartedPid(exe);
    EXPECT_NE(pid_, 0u);
  }
  ~CHeldProgram() {
    (void)Platform::RemoveFile(exe_ + L".hold");
    (void)ProcessEnds(pid_, 5000);
    (void)Platform::RemoveFile(exe_ + L".started");
    (void)Platform::RemoveFile(exe_);
  }
  DWORD Pid() const { return pid_; }

 private:
  std::wstring exe_;
  DWORD pid_ = 0;
};

std::wstring UniqueName(const wchar_t* stem) {
  return L"vt" + std::to_wstring(::GetCurrentProcessId()) + L"_" + stem;
}

std::string FetchLine(const std::vector<std::string>& lines, const std::string& name) {
  for (const auto& l : lines)
    if (l.rfind(name + " : ", 0) == 0) return l;
  return "";
}

}  // namespace

TEST(EngineAnalysis, DecisionTable) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  TestFiles::CTempDir dir;
  const std::wstring folder = dir / L"Viewer";
  ASSERT_TRUE(Platform::MakeDirectory(folder));
  std::string versioned;
  ASSERT_TRUE(TestFiles::ReadBytes(Platform::GetExecutablePath(), &versioned));  // carries version 1.0.0.1

  enum class Local { Missing, Stamped, Versioned, Plain };
  struct Row {
    std::string name;     // as the list names it
    std::string local;    // the local file it is judged by
    Local kind;
    std::string version;  // published
    std::string dateTime;  // published
    bool fetched;
    std::string logLine;  // "" for none
  };
  const std::string stamp = "202403010905";
  const std::vector<Row> rows = {
      {"bin\\core.dll", "bin\\core.dll", Local::Missing, "1.0", stamp, true, ""},
      {"time.txt", "time.txt", Local::Stamped, "", "202403010906", true,
       "time.txt : old time - 202403010905, new time - 202403010906"},
      {"same_time.txt", "same_time.txt", Local::Stamped, "", stamp, false, ""},
      {"up.exe", "up.exe", Local::Versioned, "2.0.0.1", "", true, "up.exe : old version - 1.0.0.1, new version - 2.0.0.1"},
      {"down.exe", "down.exe", Local::Versioned, "0.9.0.0", "", true,
       "down.exe : old version - 1.0.0.1, new version - 0.9.0.0"},
      {"same.exe", "same.exe", Local::Versioned, "1.0.0.1", "", false, ""},
      {"hour.txt", "hour.txt", Local::Stamped, "", "2024030109", false, ""},
      {"hour2.txt", "hour2.txt", Local::Stamped, "", "2024030110", true,
       "hour2.txt : old time - 2024030109, new time - 2024030110"},
      {"nover.txt", "nover.txt", Local::Plain, "3.0", "", false, ""},
      {"bin\\Orrery.exe.zip", "bin\\Orrery.exe", Local::Stamped, "", stamp, false, ""},
      {"pkg\\tool.exe.zip", "pkg\\tool.exe", Local::Missing, "", stamp, true, ""},
  };
  std::vector<ListEntry> list;
  for (const auto& r : rows) {
    list.push_back({r.name, r.version, r.dateTime});
    std::string serverName = r.name;
    std::replace(serverName.begin(), serverName.end(), '\\', '/');
    const std::string content = r.name.size() > 4 && r.name.compare(r.name.size() - 4, 4, ".zip") == 0
                                    ? EngineTest::BuildZip({{"tool.exe", "new tool"}})
                                    : "new " + r.name;
    ASSERT_TRUE(nginx.WriteDocument(L"an/" + Wide(serverName), content));
    const std::wstring local = folder + L"\\" + Wide(r.local);
    switch (r.kind) {
      case Local::Missing:
        break;
      case Local::Stamped:
        ASSERT_TRUE(TestFiles::WriteBytes(local, "old"));
        ASSERT_TRUE(ApplyPublishedTime(local, Wide(stamp)));
        break;
      case Local::Versioned:
        ASSERT_TRUE(TestFiles::WriteBytes(local, versioned));
        break;
      case Local::Plain:
        ASSERT_TRUE(TestFiles::WriteBytes(local, "plain"));
        break;
    }
  }
  list.push_back({"..\\evil.txt", "", ""});
  ASSERT_TRUE(nginx.WriteDocument(L"an/UpdateList.xml", UpdateListXml(list)));
  ASSERT_FALSE(Platform::PathExists(folder + L"\\pkg"));

  CScopedLog log(dir / L"log.txt");
  CTestRun test(nginx.Address());
  std::int64_t result = 0;
  const RunOutcome outcome = test.Job([&](CServerConnection& server) {
    SetModuleDir(GetFolderTable(), folder);
    CSwapCleanup cleanup;
    FetchResult got = CModuleUpdate(server, LoadUpdateKey(), cleanup).AnalyzeUpdateList(L"/an/UpdateList.xml");
    result = got.bytes;
    return got;
  });
  EXPECT_GT(result, 0);
  EXPECT_EQ(outcome.end, RunEnd::kDone) << Narrow(outcome.error);
  const auto lines = log.Lines();
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::string serverName = r.name;
    std::replace(serverName.begin(), serverName.end(), '\\', '/');
    const auto hits = nginx.WaitForRequests("/an/" + serverName + " ", r.fetched ? 2 : 0);
    ASSERT_EQ(hits.size(), r.fetched ? 2u : 0u);  // size query (HEAD) and download
    if (r.fetched) EXPECT_EQ(hits[0].requestLine.rfind("HEAD ", 0), 0u) << hits[0].requestLine;
    EXPECT_EQ(FetchLine(lines, r.local), r.logLine);
  }
  EXPECT_TRUE(Platform::IsDirectory(folder + L"\\pkg"));
  EXPECT_EQ(ReadOrMissing(folder + L"\\bin\\core.dll"), "new bin\\core.dll");
  EXPECT_EQ(ReadOrMissing(folder + L"\\pkg\\tool.exe"), "new tool");
  EXPECT_FALSE(Platform::PathExists(folder + L"\\pkg\\tool.exe.zip"));
  EXPECT_EQ(ReadOrMissing(folder + L"\\time.txt"), "new time.txt");
  EXPECT_EQ(ReadOrMissing(folder + L"\\same.exe").size(), versioned.size());
  EXPECT_FALSE(Platform::PathExists(folder + L"\\UpdateList.xml"));
  EXPECT_TRUE(log.Has("AnalyzeUpdateList : file outside the install folder skipped -> ..\\evil.txt"));
  EXPECT_TRUE(nginx.FindRequests("evil").empty());
}

TEST(EngineAnalysis, TotalsFollowBytesOrFiles) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  ASSERT_TRUE(nginx.WriteDocument(L"tot/a.bin", std::string(100, 'a')));
  ASSERT_TRUE(nginx.WriteDocument(L"tot/b.bin", std::string(100, 'b')));
  ASSERT_TRUE(nginx.WriteDocument(L"tot/c.bin", std::string(200, 'c')));
  ASSERT_TRUE(nginx.WriteDocument(L"tot/UpdateList.xml", UpdateListXml({{"a.bin", "", ""}, {"b.bin", "", ""}, {"c.bin", "", ""}})));
  // Empty files: the sizes add up to 0, so the bar follows the file count.
  ASSERT_TRUE(nginx.WriteDocument(L"tot0/a.bin", ""));
  ASSERT_TRUE(nginx.WriteDocument(L"tot0/b.bin", ""));
  ASSERT_TRUE(nginx.WriteDocument(L"tot0/c.bin", ""));
  ASSERT_TRUE(nginx.WriteDocument(L"tot0/UpdateList.xml", UpdateListXml({{"a.bin", "", ""}, {"b.bin", "", ""}, {"c.bin", "", ""}})));

  struct Case {
    const wchar_t* listPath;
    std::vector<int> positions;
  };
  const Case cases[] = {{L"/tot/UpdateList.xml", {25, 50, 100}}, {L"/tot0/UpdateList.xml", {33, 66, 100}}};
  for (const auto& c : cases) {
    TestFiles::CTempDir dir;
    CTestRun test(nginx.Address());
    (void)test.Job([&](CServerConnection& server) {
      SetModuleDir(GetFolderTable(), dir.Path());
      CSwapCleanup cleanup;
      return CModuleUpdate(server, LoadUpdateKey(), cleanup).AnalyzeUpdateList(c.listPath);
    });
    EXPECT_EQ(test.progress.TotalPositions(), c.positions);
    const std::vector<std::wstring> labels = {L"Total : 0/3", L"Total : 1/3", L"Total : 2/3", L"Total : 3/3"};
    EXPECT_EQ(test.progress.TotalLabels(), labels);
  }
}

TEST(EngineWorker, ModulesInOrderUntilOneFails) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  ASSERT_TRUE(nginx.WriteDocument(L"w1/a/UpdateList.xml", UpdateListXml({{"a.txt", "", ""}})));
  ASSERT_TRUE(nginx.WriteDocument(L"w1/a/a.txt", "module a"));
  ASSERT_TRUE(nginx.WriteDocument(L"w1/b/UpdateList.xml", UpdateListXml({{"gone.txt", "", ""}})));
  ASSERT_TRUE(nginx.WriteDocument(L"w1/c/UpdateList.xml", UpdateListXml({{"c.txt", "", ""}})));
  TestFiles::CTempDir dir;
  const std::wstring a = dir / L"A";
  const std::wstring b = dir / L"B";
  const std::wstring c = dir / L"C";
  for (const auto& folder : {a, b, c}) {
    ASSERT_TRUE(Platform::MakeDirectory(folder));
    ASSERT_TRUE(Platform::CopyItem(ProgramPath(), folder + L"\\prog.exe", false));
  }
  UpdateModuleList modules;
  auto add = [&](const wchar_t* name, const wchar_t* list, const std::wstring& folder, const wchar_t* image) {
    auto m = std::make_unique<CUpdateModule>();
    m->Name = name;
    m->UpdateListPath = list;
    m->InstallPath = folder;
    m->ProcessImage = image;
    modules.push_back(std::move(m));
  };
  add(L"a", L"/w1/a/UpdateList.xml", a, L"prog.exe");
  add(L"b", L"/w1/b/UpdateList.xml", b, L"prog.exe");
  add(L"c", L"/w1/c/UpdateList.xml", c, L"prog.exe");

  CScopedLog log(dir / L"log.txt");
  CTestRun test(nginx.Address(), &modules);
  const RunOutcome outcome = test.run.RunUpdate();
  EXPECT_EQ(outcome.end, RunEnd::kFailed);
  EXPECT_EQ(outcome.error, L"Failed to receive a valid HTTP response from the server");

  EXPECT_EQ(ReadOrMissing(a + L"\\a.txt"), "module a");
  EXPECT_NE(StartedPid(a + L"\\prog.exe"), 0u);
  ::Sleep(300);
  EXPECT_FALSE(Platform::PathExists(b + L"\\prog.exe.started"));
  EXPECT_FALSE(Platform::PathExists(c + L"\\prog.exe.started"));
  EXPECT_TRUE(log.Has("exec Orrery.exe : -> " + Narrow(a) + "\\prog.exe"));
  EXPECT_FALSE(log.Has("exec Orrery.exe : -> " + Narrow(b) + "\\prog.exe"));
  EXPECT_TRUE(nginx.FindRequests("/w1/c/").empty());
  // The records of the modules that were processed are gone.
  EXPECT_FALSE(modules[0]);
  EXPECT_FALSE(modules[1]);
  EXPECT_TRUE(modules[2]);

  // One connection for the lists, the size queries and the downloads.
  const auto hits = nginx.WaitForRequests("/w1/", 6);
  EXPECT_EQ(hits.size(), 6u);  // a: list, size query, file; b: list, size query, failed file
  EXPECT_EQ(TestHarness::CountConnections(hits), 1u);
}

TEST(EngineWorker, ViewerSessionFilesEmptyInstallPathAndListPaths) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  const std::wstring appDir = AppDir();
  const std::wstring inAppDir = UniqueName(L"in_app_dir.txt");
  ASSERT_TRUE(nginx.WriteDocument(L"w2/viewer/UpdateList.xml", UpdateListXml({{"v.txt", "", ""}})));
  ASSERT_TRUE(nginx.WriteDocument(L"w2/viewer/v.txt", "viewer file"));
  ASSERT_TRUE(nginx.WriteDocument(L"w2/self/UpdateList.xml", UpdateListXml({{Narrow(inAppDir), "", ""}})));
  ASSERT_TRUE(nginx.WriteDocument(L"w2/self/" + inAppDir, "beside the updater"));

  struct Case {
    bool externalParam;
  };
  for (const Case c : {Case{false}, Case{true}}) {
    SCOPED_TRACE(c.externalParam ? "with external_param.xml" : "without external_param.xml");
    TestFiles::CTempDir dir;
    const std::wstring viewer = dir / L"Viewer";
    ASSERT_TRUE(Platform::MakeDirectory(viewer));
    ASSERT_TRUE(Platform::CopyItem(ProgramPath(), viewer + L"\\prog.exe", false));
    ASSERT_TRUE(TestFiles::WriteBytes(appDir + L"\\session.xml", "<session/>"));
    if (c.externalParam) {
      ASSERT_TRUE(TestFiles::WriteBytes(appDir + L"\\external_param.xml", "<param/>"));
    }
    UpdateModuleList modules;
    auto viewerModule = std::make_unique<CUpdateModule>();
    viewerModule->Name = L"VIEWER";
    viewerModule->UpdateListPath = L"w2\\viewer\\UpdateList.xml";  // no leading "/", "\" separators
    viewerModule->InstallPath = viewer;
    viewerModule->ProcessImage = L"prog.exe";
    modules.push_back(std::move(viewerModule));
    auto selfModule = std::make_unique<CUpdateModule>();
    selfModule->Name = L"tools";
    selfModule->UpdateListPath = L"/w2/self/UpdateList.xml";
    modules.push_back(std::move(selfModule));  // empty install path and process image

    CTestRun test(nginx.Address(), &modules);
    const RunOutcome outcome = test.run.RunUpdate();
    EXPECT_EQ(outcome.end, RunEnd::kDone) << Narrow(outcome.error);

    EXPECT_EQ(ReadOrMissing(viewer + L"\\v.txt"), "viewer file");
    EXPECT_EQ(ReadOrMissing(viewer + L"\\session.xml"), "<session/>");
    EXPECT_FALSE(Platform::PathExists(appDir + L"\\session.xml"));
    EXPECT_EQ(ReadOrMissing(viewer + L"\\external_param.xml"), c.externalParam ? "<param/>" : "<missing>");
    EXPECT_FALSE(Platform::PathExists(appDir + L"\\external_param.xml"));
    // The program found its session file when it started.
    ASSERT_NE(StartedPid(viewer + L"\\prog.exe"), 0u);
    EXPECT_NE(ReadOrMissing(viewer + L"\\prog.exe.started").find("session=1"), std::string::npos);

    EXPECT_EQ(ReadOrMissing(appDir + L"\\" + inAppDir), "beside the updater");
    (void)Platform::RemoveFile(appDir + L"\\" + inAppDir);
  }
  const auto lists = nginx.WaitForRequests("/w2/viewer/UpdateList.xml", 1);
  ASSERT_FALSE(lists.empty());
  EXPECT_EQ(lists[0].requestLine, "GET //w2/viewer/UpdateList.xml HTTP/1.1");
}

TEST(EngineWorker, CancelBeforeTheConnectionAndAQuietSecondRun) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  ASSERT_TRUE(nginx.WriteDocument(L"w3/UpdateList.xml", UpdateListXml({{"p.txt", "", "202403010905"}, {"q.txt", "", ""}})));
  ASSERT_TRUE(nginx.WriteDocument(L"w3/p.txt", "published"));
  ASSERT_TRUE(nginx.WriteDocument(L"w3/q.txt", "unstamped"));
  TestFiles::CTempDir dir;
  auto moduleList = [&] {
    UpdateModuleList modules;
    auto m = std::make_unique<CUpdateModule>();
    m->Name = L"plain";
    m->UpdateListPath = L"/w3/UpdateList.xml";
    m->InstallPath = dir.Path();
    modules.push_back(std::move(m));
    return modules;
  };

  {
    UpdateModuleList modules = moduleList();
    CTestRun test(nginx.Address(), &modules);
    test.abort = true;  // before the run even starts
    EXPECT_EQ(test.run.RunUpdate().end, RunEnd::kCancelled);
    EXPECT_TRUE(nginx.FindRequests("/w3/").empty());
  }
  for (int run = 1; run <= 2; ++run) {
    UpdateModuleList modules = moduleList();
    CTestRun test(nginx.Address(), &modules);
    EXPECT_EQ(test.run.RunUpdate().end, RunEnd::kDone);
  }
  EXPECT_EQ(ReadOrMissing(dir / L"p.txt"), "published");
  // Fetched by the first run only: its time is the published one.
  EXPECT_EQ(nginx.WaitForRequests("/w3/p.txt ", 2).size(), 2u);
  EXPECT_EQ(nginx.WaitForRequests("/w3/q.txt ", 2).size(), 2u);
  EXPECT_EQ(nginx.WaitForRequests("/w3/UpdateList.xml ", 2).size(), 2u);
  std::uint64_t published = 0;
  ASSERT_TRUE(PublishedStampToFileTime(L"202403010905", &published));
  Platform::FileTimes times;
  ASSERT_TRUE(Platform::GetFileTimes(dir / L"p.txt", &times));
  EXPECT_EQ(times.lastWrite, published);
}

TEST(EngineProcess, LaunchAndCloseRunningPrograms) {
  TestFiles::CTempDir dir;
  EXPECT_EQ(Platform::LaunchProgram(dir / L"missing.exe"), 2u);

  // Two copies with one name in different folders, one that differs only in
  // case in a third, one with another name: only the copy that runs from the
  // named file is ended, its path written in another letter case.
  const std::wstring name = UniqueName(L"viewer.exe");
  std::wstring upper = name;
  for (auto& ch : upper) ch = static_cast<wchar_t>(towupper(ch));
  ASSERT_TRUE(Platform::MakeDirectory(dir / L"one"));
  ASSERT_TRUE(Platform::MakeDirectory(dir / L"two"));
  ASSERT_TRUE(Platform::MakeDirectory(dir / L"three"));
  CHeldProgram first(dir / (L"one\\" + name));
  CHeldProgram second(dir / (L"two\\" + name));
  CHeldProgram other(dir / (L"three\\" + upper));
  CHeldProgram unrelated(dir / UniqueName(L"other.exe"));

  std::uint32_t error = 0;
  EXPECT_EQ(Platform::CloseRunningProgram(dir / (L"ONE\\" + upper), 5000, &error), Platform::CloseOutcome::kEnded);
  EXPECT_TRUE(ProcessEnds(first.Pid(), 5000));
  EXPECT_FALSE(ProcessEnds(second.Pid(), 200));
  EXPECT_FALSE(ProcessEnds(other.Pid(), 200));
  EXPECT_FALSE(ProcessEnds(unrelated.Pid(), 200));
  EXPECT_EQ(Platform::CloseRunningProgram(dir / (L"one\\" + name), 500, &error), Platform::CloseOutcome::kNoneRunning);
  EXPECT_EQ(Platform::CloseRunningProgram(dir / L"four\\nothing.exe", 500, &error), Platform::CloseOutcome::kNoneRunning);
}

TEST(EngineProcess, ARunningProgramIsEndedBeforeItsFileIsReplaced) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  const std::wstring appDir = AppDir();
  const std::wstring viewer = UniqueName(L"viewer.exe");
  const std::wstring other = UniqueName(L"other.exe");
  ASSERT_TRUE(nginx.WriteDocument(L"pc/" + viewer, "new viewer program"));
  ASSERT_TRUE(nginx.WriteDocument(L"pc/" + viewer + L".zip", EngineTest::BuildZip({{Narrow(viewer), "zipped viewer"}})));

  struct Case {
    std::wstring entry;
    std::string installed;
  };
  const Case cases[] = {{viewer, "new viewer program"}, {viewer + L".zip", "zipped viewer"}};
  TestFiles::CTempDir elsewhere;
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.entry));
    CHeldProgram running(appDir + L"\\" + viewer);
    CHeldProgram bystander(appDir + L"\\" + other);
    CHeldProgram namesake(elsewhere / viewer);  // same name, another folder
    CScopedLog log(elsewhere / L"log.txt");
    CTestRun test(nginx.Address());
    std::int64_t result = 0;
    (void)test.Job([&](CServerConnection& server) {
      FetchResult got = EngineTest::UpdateFile(server, L"/pc/", CFileData(L"", c.entry, L"", L"", appDir));
      result = got.bytes;
      return got;
    });
    EXPECT_GT(result, 0);
    EXPECT_TRUE(ProcessEnds(running.Pid(), 5000));
    EXPECT_FALSE(ProcessEnds(bystander.Pid(), 200));
    EXPECT_FALSE(ProcessEnds(namesake.Pid(), 200));
    EXPECT_EQ(ReadOrMissing(appDir + L"\\" + viewer), c.installed);
    EXPECT_TRUE(log.Has("CloseRunningProgram : ended -> " + Narrow(appDir) + "\\" + Narrow(viewer)));
  }
  // The server has no file for it: the running copy is not ended.
  const std::wstring absent = UniqueName(L"absent.exe");
  CHeldProgram running(appDir + L"\\" + absent);
  CTestRun test(nginx.Address());
  EXPECT_EQ(test.Job([&](CServerConnection& server) { return EngineTest::UpdateFile(server, L"/pc/", CFileData(L"", absent, L"", L"", appDir)); }).end,
            RunEnd::kFailed);
  EXPECT_FALSE(ProcessEnds(running.Pid(), 300));
}

TEST(EngineContainment, WhatTheServerNamesStaysInsideTheSuite) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  const std::wstring appDir = AppDir();
  const std::wstring self = Platform::GetExecutablePath().substr(appDir.size() + 1);
  ASSERT_TRUE(nginx.WriteDocument(L"ct/UpdateList.xml", UpdateListXml({{"c.txt", "", ""}})));
  ASSERT_TRUE(nginx.WriteDocument(L"ct/c.txt", "contained"));
  ASSERT_TRUE(nginx.WriteDocument(L"ct/keep/pacs.ini", UpdateListXml({{"c.txt", "", ""}})));
  ASSERT_TRUE(nginx.WriteDocument(L"ct/keep/c.txt", "contained"));
  ASSERT_TRUE(nginx.WriteDocument(L"ct/self/UpdateList.xml", UpdateListXml({{Narrow(self), "", "200001010000"}})));
  ASSERT_TRUE(nginx.WriteDocument(L"ct/self/" + self, "not the updater"));

  struct Case {
    const char* label;
    const wchar_t* list;
    std::wstring installPath;  // "" : the case's own folder
    const wchar_t* image;
    bool failed;
    const char* logLine;  // a line the run writes, or nullptr
  };
  const Case cases[] = {
      {"UNC install path", L"/ct/UpdateList.xml", L"\\\\host\\share\\x", L"", true,
       "Install path refused (a drive path such as D:\\Suite or a folder below the updater's is expected) -> "
       "\\\\host\\share\\x"},
      {"device install path", L"/ct/UpdateList.xml", L"\\\\?\\C:\\x", L"", true, nullptr},
      {"drive-relative install path", L"/ct/UpdateList.xml", L"C:x", L"", true, nullptr},
      {"climbing install path", L"/ct/UpdateList.xml", L"..\\outside", L"", true, nullptr},
      {"climbing program", L"/ct/UpdateList.xml", L"", L"..\\outside\\marker2.exe", false,
       "exec Orrery.exe : not started, the program is outside the install folder -> ..\\outside\\marker2.exe"},
      {"list named like an installed file", L"/ct/keep/pacs.ini", L"", L"", false, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TestFiles::CTempDir dir;
    ASSERT_TRUE(TestFiles::WriteBytes(dir / L"pacs.ini", "settings"));
    UpdateModuleList modules;
    auto m = std::make_unique<CUpdateModule>();
    m->Name = L"viewer";
    m->UpdateListPath = c.list;
    m->InstallPath = c.installPath.empty() ? dir.Path() : c.installPath;
    m->ProcessImage = c.image;
    modules.push_back(std::move(m));
    auto later = std::make_unique<CUpdateModule>();
    later->Name = L"later";
    later->UpdateListPath = L"/ct/UpdateList.xml";
    later->InstallPath = dir / L"later";
    modules.push_back(std::move(later));

    CScopedLog log(dir / L"log.txt");
    CTestRun test(nginx.Address(), &modules);
    const RunOutcome outcome = test.run.RunUpdate();
    EXPECT_EQ(outcome.end, c.failed ? RunEnd::kFailed : RunEnd::kDone) << Narrow(outcome.error);
    if (c.failed) {
      EXPECT_EQ(outcome.error, L"An error occurred while attempting to download the file, Error:161");
      EXPECT_FALSE(Platform::PathExists(dir / L"later"));  // later modules wait
    }
    if (c.logLine) EXPECT_TRUE(log.Has(c.logLine)) << c.logLine;
    EXPECT_EQ(ReadOrMissing(dir / L"pacs.ini"), "settings");
    EXPECT_FALSE(Platform::PathExists(appDir + L"\\..\\outside"));
  }

  // An entry named like the running program goes to Temp, never over it.
  std::string before;
  ASSERT_TRUE(TestFiles::ReadBytes(Platform::GetExecutablePath(), &before));
  UpdateModuleList modules;
  auto m = std::make_unique<CUpdateModule>();
  m->Name = L"self";
  m->UpdateListPath = L"/ct/self/UpdateList.xml";
  m->InstallPath = appDir;
  modules.push_back(std::move(m));
  CTestRun test(nginx.Address(), &modules);
  EXPECT_EQ(test.run.RunUpdate().end, RunEnd::kDone);
  std::string after;
  ASSERT_TRUE(TestFiles::ReadBytes(Platform::GetExecutablePath(), &after));
  EXPECT_TRUE(before == after);
  EXPECT_EQ(ReadOrMissing(appDir + L"\\Temp\\" + self), "not the updater");
  (void)Platform::RemoveFile(appDir + L"\\Temp\\" + self);
}

TEST(EngineHttps, AWholeRunOverTlsAndAnUntrustedServerRefused) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  std::string problem;
  ASSERT_TRUE(nginx.TrustTestCa(&problem)) << problem;
  const std::string big(300000, 'b');
  const std::string archive = EngineTest::BuildZip({{"inner.dll", std::string(50000, 'i')}});
  const std::string list = UpdateListXml({{"a.txt", "", ""}, {"big.bin", "", ""}, {"pack.dll.zip", "", ""}});
  ASSERT_TRUE(nginx.WriteDocument(L"hs/UpdateList.xml", list));
  ASSERT_TRUE(nginx.WriteDocument(L"hs/a.txt", "over tls"));
  ASSERT_TRUE(nginx.WriteDocument(L"hs/big.bin", big));
  ASSERT_TRUE(nginx.WriteDocument(L"hs/pack.dll.zip", archive));

  struct Case {
    const char* label;
    std::wstring address;
    bool trusted;
  };
  const Case cases[] = {{"trusted", nginx.TlsAddress(), true}, {"untrusted", nginx.UntrustedTlsAddress(), false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TestFiles::CTempDir dir;
    UpdateModuleList modules;
    auto m = std::make_unique<CUpdateModule>();
    m->Name = L"tls";
    m->UpdateListPath = L"/hs/UpdateList.xml";
    m->InstallPath = dir.Path();
    modules.push_back(std::move(m));
    CScopedLog log(dir / L"log.txt");
    CTestRun test(c.address, &modules);
    // As in the updater, whose window watches the run's waits: a body that
    // streams is read in blocks, here through TLS.
    test.run.SetServerWaits(std::make_shared<CServerWaits>());
    const RunOutcome outcome = test.run.RunUpdate();
    if (c.trusted) {
      EXPECT_EQ(outcome.end, RunEnd::kDone) << Narrow(outcome.error);
      EXPECT_EQ(ReadOrMissing(dir / L"a.txt"), "over tls");
      EXPECT_TRUE(ReadOrMissing(dir / L"big.bin") == big);
      EXPECT_EQ(ReadOrMissing(dir / L"inner.dll"), std::string(50000, 'i'));
    } else {
      // A certificate no trusted authority signed: refused, nothing fetched.
      EXPECT_EQ(outcome.end, RunEnd::kFailed);
      EXPECT_TRUE(outcome.error.rfind(L"An error occurred connecting to the server, Error:120", 0) == 0)
          << Narrow(outcome.error);
      EXPECT_TRUE(log.HasPrefix("Failed in call to HttpSendRequest, Error:120")) << Narrow(outcome.error);
      std::vector<Platform::DirectoryEntry> left;
      ASSERT_TRUE(Platform::ListDirectory(dir.Path(), &left));
      for (const auto& e : left)
        if (e.name != L"log.txt") ADD_FAILURE() << Narrow(e.name);
    }
  }
  // Every request of the trusted run went to the TLS server, each file
  // crossed the wire once (HEADs send no body), over one connection.
  const auto hits = nginx.WaitForRequests("/hs/", 7);  // list, three HEADs, three GETs
  ASSERT_EQ(hits.size(), 7u);
  EXPECT_EQ(TestHarness::OnPort(hits, nginx.TlsPort()).size(), hits.size());
  const std::uint64_t files = list.size() + 8 + big.size() + archive.size();
  EXPECT_EQ(TestHarness::SumBytesSent(hits), files);
  EXPECT_EQ(TestHarness::CountConnections(hits), 1u);
}

namespace {

// A file of the signed fixture tree (tests/fixtures/trust).
std::string TrustFixture(const std::string& name) {
  std::string bytes;
  EXPECT_TRUE(TestFiles::ReadBytes(TestHarness::UnixToWinePath(std::string(VIREO_FIXTURES) + "/trust/" + name), &bytes))
      << name;
  return bytes;
}

}  // namespace

TEST(EngineTrust, SignedListsAndDeclaredFiles) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  const std::string list = TrustFixture("tree/UpdateList.xml");
  const std::string signature = TrustFixture("tree/UpdateList.xml.sig");
  const std::string a = TrustFixture("tree/a.txt");
  const std::string b = TrustFixture("tree/b.txt");
  std::string bTampered = b;
  bTampered[0] = static_cast<char>(bTampered[0] ^ 0x20);  // same size, other bytes
  std::string listTampered = list;
  listTampered.replace(listTampered.find("<update>"), 8, "<update >");
  const CUpdateKey key = UpdateKeyFromPem(TrustFixture("signing-key.pub.pem"));
  const CUpdateKey otherKey = UpdateKeyFromPem(TrustFixture("other-key.pub.pem"));
  ASSERT_EQ(key.state, UpdateKeyState::Keyed);
  ASSERT_EQ(otherKey.state, UpdateKeyState::Keyed);

  // The list's request path: the server address's path ("/") and the list's.
  const std::wstring kNotSigned = L"The update list //tr/%s/UpdateList.xml is not signed by the publisher";
  struct Case {
    const char* label;
    const CUpdateKey* key;  // nullptr: unkeyed
    std::string list;
    bool withSignature;
    std::string bServed;
    bool done;
    const wchar_t* error;    // "%s" stands for the case's folder
    const char* logPrefix;   // a line the run writes, or nullptr
  };
  const Case cases[] = {
      {"signed tree, keyed", &key, list, true, b, true, nullptr, nullptr},
      {"file changed after signing", &key, list, true, bTampered, false,
       L"An error occurred while downloading the file, Error:13",
       "b.txt : the downloaded file does not match its entry"},
      {"list changed after signing", &key, listTampered, true, b, false, kNotSigned.c_str(),
       "AnalyzeUpdateList : the update list is not trusted, "},
      {"signature removed", &key, list, false, b, false, kNotSigned.c_str(),
       "AnalyzeUpdateList : the update list is not trusted, its signature is missing"},
      {"signed with another key", &otherKey, list, true, b, false, kNotSigned.c_str(), nullptr},
      {"unkeyed, declared hash not met", nullptr, list, false, bTampered, false,
       L"An error occurred while downloading the file, Error:13",
       "b.txt : the downloaded file does not match its entry"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::wstring folderName = L"t" + std::to_wstring(n++);
    const std::wstring server = L"tr/" + folderName + L"/";
    ASSERT_TRUE(nginx.WriteDocument(server + L"UpdateList.xml", c.list));
    if (c.withSignature) ASSERT_TRUE(nginx.WriteDocument(server + L"UpdateList.xml.sig", signature));
    ASSERT_TRUE(nginx.WriteDocument(server + L"a.txt", a));
    ASSERT_TRUE(nginx.WriteDocument(server + L"b.txt", c.bServed));
    TestFiles::CTempDir dir;
    UpdateModuleList modules;
    auto m = std::make_unique<CUpdateModule>();
    m->Name = L"trust";
    m->UpdateListPath = L"/" + server + L"UpdateList.xml";
    m->InstallPath = dir.Path();
    modules.push_back(std::move(m));
    CScopedLog log(dir / L"log.txt");
    CTestRun test(nginx.Address(), &modules);
    test.run.SetUpdateKey(c.key ? *c.key : CUpdateKey());
    const RunOutcome outcome = test.run.RunUpdate();
    if (c.done) {
      EXPECT_EQ(outcome.end, RunEnd::kDone) << Narrow(outcome.error);
      EXPECT_EQ(ReadOrMissing(dir / L"a.txt"), a);
      EXPECT_EQ(ReadOrMissing(dir / L"b.txt"), b);
      continue;
    }
    EXPECT_EQ(outcome.end, RunEnd::kFailed);
    std::wstring error = c.error;
    if (const std::size_t at = error.find(L"%s"); at != std::wstring::npos) error.replace(at, 2, folderName);
    EXPECT_EQ(outcome.error, error);
    EXPECT_EQ(ReadOrMissing(dir / L"b.txt"), "<missing>");
    if (c.logPrefix) EXPECT_TRUE(log.HasPrefix(c.logPrefix)) << c.logPrefix;
    std::vector<Platform::DirectoryEntry> left;
    ASSERT_TRUE(Platform::ListDirectory(dir.Path(), &left));
    for (const auto& e : left) {
      const std::string name = Narrow(e.name);
      EXPECT_TRUE(name == "log.txt" || name == "a.txt" || e.name == kStagingFolderName) << name;
    }
    // What was refused is not kept for the next run either.
    EXPECT_FALSE(Platform::PathExists(StagedPathsOf(StagingFolderOf(dir.Path()), L"b.txt").data));
  }
}
