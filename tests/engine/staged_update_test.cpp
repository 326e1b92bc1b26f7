// A module's files are staged, then swapped in whole: against nginx and the
// scripted server, with real install folders, a module ends all old or all
// new whatever fails, and what a run staged is not fetched again.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/folder_table.h"
#include "common/test_files.h"
#include "engine/dialog_test_util.h"
#include "engine/engine_test_util.h"
#include "engine/module_staging.h"
#include "engine/module_swap.h"
#include "platform/process_control.h"
#include "engine/published_time.h"
#include "engine/zip_builder.h"
#include "harness/nginx_fixture.h"
#include "harness/scripted_server.h"
#include "manifest/trust_formats.h"
#include "platform/crypto.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/http.h"
#include "platform/process.h"
#include "platform/windows_handle.h"

using EngineTest::CScopedLog;
using EngineTest::CTestRun;
using EngineTest::Narrow;
using TestFiles::ReadOrMissing;
using TestHarness::CScriptedReply;
using TestHarness::CScriptedServer;

namespace {

std::string Pattern(std::size_t size, int seed) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 1024 + seed) % 26);
  return s;
}

std::string Sha256Hex(const std::string& bytes) {
  Platform::CSha256 hasher;
  Platform::Sha256Digest digest{};
  EXPECT_TRUE(hasher.Update(bytes.data(), bytes.size()) && hasher.Finish(&digest));
  return Narrow(FormatSha256Hex(digest));
}

// An update list naming `files` with a published time that differs from
// any local file's; with `declare`, each entry's size and SHA-256 too.
std::string ListOf(const std::vector<std::pair<std::string, std::string>>& files, bool declare) {
  std::string xml = "<?xml version=\"1.0\"?>\r\n<update>\r\n";
  for (const auto& [name, bytes] : files) {
    xml += "  <module filename=\"" + name + "\" version=\"\" datetime=\"203001011200\"";
    if (declare) xml += " size=\"" + std::to_string(bytes.size()) + "\" sha256=\"" + Sha256Hex(bytes) + "\"";
    xml += "/>\r\n";
  }
  return xml + "</update>\r\n";
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::unique_ptr<CUpdateModule> Module(const std::wstring& list, const std::wstring& folder, const wchar_t* image) {
  auto m = std::make_unique<CUpdateModule>();
  m->Name = L"printer";
  m->UpdateListPath = list;
  m->InstallPath = folder;
  m->ProcessImage = image;
  return m;
}

// The files of a module of eight: old copies installed, new ones served.
struct EightFiles {
  std::vector<std::pair<std::string, std::string>> fresh;
  std::vector<std::string> old;
  EightFiles() {
    for (int i = 1; i <= 8; ++i) {
      fresh.push_back({"f" + std::to_string(i) + ".dll", Pattern(3000 + i * 100, i)});
      old.push_back("old file " + std::to_string(i));
    }
  }
  // Serves the list and every file under `path` ("sw/"), declared.
  void Serve(const TestHarness::CNginxFixture& nginx, const std::wstring& path) const {
    ASSERT_TRUE(nginx.WriteDocument(path + L"UpdateList.xml", ListOf(fresh, true)));
    for (const auto& [name, bytes] : fresh) ASSERT_TRUE(nginx.WriteDocument(path + Wide(name), bytes));
  }
  // The install folder dir\Printer with the old files in it.
  std::wstring InstalledIn(const TestFiles::CTempDir& dir) const {
    const std::wstring folder = dir / L"Printer";
    EXPECT_TRUE(Platform::MakeDirectory(folder));
    Install(folder);
    return folder;
  }
  void Install(const std::wstring& folder) const {
    for (std::size_t i = 0; i < old.size(); ++i)
      ASSERT_TRUE(TestFiles::WriteBytes(folder + L"\\" + Wide(fresh[i].first), old[i]));
  }
  void ExpectOld(const std::wstring& folder) const {
    for (std::size_t i = 0; i < old.size(); ++i) {
      EXPECT_EQ(ReadOrMissing(folder + L"\\" + Wide(fresh[i].first)), old[i]) << fresh[i].first;
      EXPECT_FALSE(Platform::PathExists(folder + L"\\" + Wide(fresh[i].first) + L".bak")) << fresh[i].first;
    }
  }
  void ExpectNew(const std::wstring& folder) const {
    for (const auto& [name, bytes] : fresh) {
      EXPECT_TRUE(ReadOrMissing(folder + L"\\" + Wide(name)) == bytes) << name;
      EXPECT_FALSE(Platform::PathExists(folder + L"\\" + Wide(name) + L".bak")) << name;
    }
    EXPECT_FALSE(Platform::PathExists(StagingFolderOf(folder)));
  }
};

// The validator nginx gives the document at `path`.
std::string ValidatorOf(const TestHarness::CNginxFixture& nginx, const std::wstring& path) {
  Platform::HttpAddress address;
  EXPECT_TRUE(Platform::ParseHttpUrl(L"http://" + nginx.Address() + L"/", &address));
  Platform::CHttpSession session;
  Platform::CHttpRequest request;
  if (session.Open(L"test", address, {}) || session.Send(Platform::HttpMethod::Head, path, nullptr, &request))
    return {};
  return Narrow(request.ResumeValidator());
}

}  // namespace

TEST(EngineStagedUpdate, AMissingFileLeavesTheModuleOldAndTheNextRunFetchesOnlyTheRest) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  const EightFiles files;
  // Once with entries that declare size and SHA-256 (the staged files are
  // checked on disk), once without (the server is asked whether they are
  // still current).
  for (const bool declare : {true, false}) {
    SCOPED_TRACE(declare ? "declared" : "undeclared");
    const std::wstring server = declare ? L"s8d/" : L"s8u/";
    ASSERT_TRUE(nginx.WriteDocument(server + L"UpdateList.xml", ListOf(files.fresh, declare)));
    for (std::size_t i = 0; i < files.fresh.size(); ++i) {
      if (i != 4) ASSERT_TRUE(nginx.WriteDocument(server + Wide(files.fresh[i].first), files.fresh[i].second));
    }
    TestFiles::CTempDir dir;
    const std::wstring folder = files.InstalledIn(dir);
    CScopedLog log(dir / L"log.txt");
    {
      UpdateModuleList modules;
      modules.push_back(Module(L"/" + server + L"UpdateList.xml", folder, L"prog.exe"));
      CTestRun test(nginx.Address(), &modules);
      const RunOutcome outcome = test.run.RunUpdate();
      EXPECT_EQ(outcome.end, RunEnd::kFailed);
      EXPECT_EQ(outcome.error, L"Failed to receive a valid HTTP response from the server");
    }
    files.ExpectOld(folder);
    EXPECT_FALSE(log.HasPrefix("exec Orrery.exe"));
    EXPECT_FALSE(log.HasPrefix("Swap :"));
    // The four fetched are staged whole; a declared one is checked by its
    // bytes and needs no note, the others keep the validator to ask by.
    for (std::size_t i = 0; i < 4; ++i) {
      const StagedPaths staged = StagedPathsOf(StagingFolderOf(folder), Wide(files.fresh[i].first));
      EXPECT_TRUE(ReadOrMissing(staged.data) == files.fresh[i].second) << files.fresh[i].first;
      EXPECT_EQ(Platform::PathExists(staged.note), !declare) << files.fresh[i].first;
    }

    // The file is back: all eight go in. The first four, staged by the
    // failed run, are not sent again; the run had stopped at the fifth.
    ASSERT_TRUE(nginx.WriteDocument(server + Wide(files.fresh[4].first), files.fresh[4].second));
    const std::size_t before = nginx.FindRequests(Narrow(server)).size();
    {
      UpdateModuleList modules;
      modules.push_back(Module(L"/" + server + L"UpdateList.xml", folder, L"prog.exe"));
      CTestRun test(nginx.Address(), &modules);
      const RunOutcome outcome = test.run.RunUpdate();
      EXPECT_EQ(outcome.end, RunEnd::kDone) << Narrow(outcome.error);
    }
    files.ExpectNew(folder);
    // The module names a program it does not hold: the log says so.
    EXPECT_TRUE(log.Has("exec Orrery.exe : the program could not be started -> " + Narrow(folder) +
                        "\\prog.exe, Error:2"));
    // Every file has the list's published time, staged by the failed run
    // (given at the swap) or by this one (given to the staged file, kept by
    // the rename).
    std::uint64_t published = 0;
    ASSERT_TRUE(PublishedStampToFileTime(L"203001011200", &published));
    for (const auto& [name, bytes] : files.fresh) {
      Platform::FileTimes times;
      ASSERT_TRUE(Platform::GetFileTimes(folder + L"\\" + Wide(name), &times)) << name;
      EXPECT_EQ(times.lastWrite, published) << name;
    }
    // The last file's download is the run's last request.
    const std::string last = Narrow(server) + files.fresh[7].first + " ";
    auto hits = nginx.WaitForRequests(Narrow(server), [&](const std::vector<TestHarness::AccessLogEntry>& found) {
      return found.size() > before && found.back().requestLine.rfind("GET ", 0) == 0 &&
             found.back().requestLine.find(last) != std::string::npos;
    });
    hits.erase(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(before));
    std::uint64_t fileBytes = 0;
    std::size_t stillCurrent = 0;
    for (const auto& h : hits) {
      if (h.requestLine.find("UpdateList.xml") != std::string::npos || h.requestLine.rfind("HEAD", 0) == 0) continue;
      if (h.status == 416) {
        ++stillCurrent;
      } else {
        EXPECT_EQ(h.status, 200) << h.requestLine;
        fileBytes += static_cast<std::uint64_t>(h.bytesSent);
      }
    }
    std::uint64_t rest = 0;
    for (std::size_t i = 4; i < 8; ++i) rest += files.fresh[i].second.size();
    EXPECT_EQ(fileBytes, rest);
    // Declared files are checked on disk; the others are asked for what
    // follows their staged bytes, which is nothing.
    EXPECT_EQ(stillCurrent, declare ? 0u : 4u);
    EXPECT_TRUE(log.HasPrefix("DownloadFile : f1.dll already staged"));
  }
}

TEST(EngineStagedUpdate, ASwapThatFailsPutsEveryFileBack) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  const EightFiles files;
  files.Serve(nginx, L"sw/");

  struct Case {
    const char* label;
    const char* operation;  // made to fail, or nullptr
    int nth;
    int heldFile;  // index of a target held open without delete sharing, or -1
    const wchar_t* error;
  };
  const Case cases[] = {
      // Each placement moves the old file aside, then the staged one in.
      {"disk full at the sixth file's move", "MoveItem", 11, -1,
       L"An error occured while opening the file to be downloaded, Error:112"},
      {"the journal cannot be created", "Create", 1, -1,
       L"An error occured while opening the file to be downloaded, Error:112"},
      {"a target held open", nullptr, 0, 6, L"An error occured while opening the file to be downloaded, Error:32"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TestFiles::CTempDir dir;
    const std::wstring folder = files.InstalledIn(dir);
    CScopedLog log(dir / L"log.txt");
    UpdateModuleList modules;
    modules.push_back(Module(L"/sw/UpdateList.xml", folder, L""));
    CTestRun test(nginx.Address(), &modules);
    ::HANDLE held = INVALID_HANDLE_VALUE;
    if (c.heldFile >= 0) {
      held = ::CreateFileW((folder + L"\\" + Wide(files.fresh[c.heldFile].first)).c_str(), GENERIC_READ,
                           FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(held, INVALID_HANDLE_VALUE);
    }
    const RunOutcome outcome = test.Job([&](CServerConnection& server) {
      // The list and the files come first; the fault is set for the swap.
      std::vector<std::unique_ptr<CFileData>> entries;
      std::vector<StagedFile> staged;
      for (const auto& [name, bytes] : files.fresh) {
        entries.push_back(std::make_unique<CFileData>(L"printer", Wide(name), L"", L"", folder));
        StagedFile file{entries.back().get(), false};
        if (FetchResult got = CFileTransfer(server).DownloadFile(L"/sw/", *file.entry, &file.publishedTimeSet);
            got.Failed())
          return got;
        staged.push_back(file);
      }
      Platform::ClearFaults();
      if (c.operation) Platform::FailNthCall(c.operation, c.nth, Platform::kErrorDiskFull);
      CSwapCleanup cleanup;
      FetchResult installed = InstallModule(folder, staged, server.Progress(), server.AbortFlag(), cleanup);
      cleanup.Wait();
      Platform::ClearFaults();
      return installed;
    });
    if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
    EXPECT_EQ(outcome.end, RunEnd::kFailed);
    EXPECT_EQ(outcome.error, c.error);
    files.ExpectOld(folder);
    EXPECT_FALSE(Platform::PathExists(StagingFolderOf(folder)));
    for (int i = 0; i < 8; ++i) EXPECT_FALSE(Platform::PathExists(folder + L"\\f" + std::to_wstring(i + 1) + L".dll.bak"));
  }
}

TEST(EngineStagedUpdate, AnInterruptedFileIsContinuedWhileItIsTheSame) {
  // The first run's connection is dropped at half the file by the scripted
  // server, which gives nginx's validator for it; the next run asks nginx
  // (or a server of another kind) for the rest.
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  const std::string body = Pattern(4 * 1024 * 1024, 3);
  const std::string changed = Pattern(4 * 1024 * 1024 + 1, 4);

  struct Case {
    const char* label;
    bool changeOnServer;    // the document differs (and its validator) on the second run
    bool scriptedSecond;    // the second run talks to a server that ignores ranges
    int expectedStatus;
    const char* logLine;
    bool declared;          // the entry declares the file's size and SHA-256
  };
  const Case cases[] = {
      {"continued", false, false, 206, "DownloadFile : resuming big.bin at byte 2097152", false},
      {"changed on the server", true, false, 200, "DownloadFile : resume refused, big.bin fetched whole", false},
      {"server without ranges", false, true, 200, "DownloadFile : resume refused, big.bin fetched whole", false},
      // The note of a declared file is written only once a part of it is
      // on the disk: a part is not continued without one.
      {"continued, declared", false, false, 206, "DownloadFile : resuming big.bin at byte 2097152", true},
      {"server without ranges, declared", false, true, 200, "DownloadFile : resume refused, big.bin fetched whole",
       true},
  };
  int serial = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::wstring path = L"rs" + std::to_wstring(++serial) + L"/";
    ASSERT_TRUE(nginx.WriteDocument(path + L"big.bin", body));
    const std::string validator = ValidatorOf(nginx, L"/" + path + L"big.bin");
    ASSERT_FALSE(validator.empty());

    TestFiles::CTempDir dir;
    CScopedLog log(dir / L"log.txt");
    CFileData entry(L"printer", L"big.bin", L"", L"", dir.Path());
    if (c.declared) {
      entry.Size = body.size();
      entry.SizeDeclared = true;
      ASSERT_TRUE(Platform::Sha256Of(body.data(), body.size(), &entry.Sha256));
      entry.Sha256Declared = true;
    }
    {
      CScriptedServer first([&](const TestHarness::ScriptedRequest&) {
        return CScriptedReply()
            .Send(CScriptedReply::Head(200, "OK", {"ETag: " + validator}, static_cast<long long>(body.size())) +
                  body.substr(0, body.size() / 2))
            .Close();
      });
      ASSERT_TRUE(first.Start());
      CTestRun test(first.Address());
      EXPECT_EQ(test.Job([&](CServerConnection& server) { return CFileTransfer(server).DownloadFile(L"/" + path, entry); }).end, RunEnd::kFailed);
      first.Stop();
    }
    EXPECT_EQ(StagedLength(StagedPathsOf(StagingFolderOf(dir.Path()), L"big.bin").data), body.size() / 2);
    EXPECT_TRUE(Platform::PathExists(StagedPathsOf(StagingFolderOf(dir.Path()), L"big.bin").note));

    if (c.changeOnServer) ASSERT_TRUE(nginx.WriteDocument(path + L"big.bin", changed));
    const std::string& served = c.changeOnServer ? changed : body;
    std::string rangeAsked;
    CScriptedServer plain([&](const TestHarness::ScriptedRequest& request) {
      rangeAsked = request.Header("Range") + "|" + request.Header("If-Range");
      return CScriptedReply::Response(200, "OK", body);
    });
    ASSERT_TRUE(plain.Start());
    CTestRun test(c.scriptedSecond ? plain.Address() : nginx.Address());
    const RunOutcome outcome = test.Job([&](CServerConnection& server) { return EngineTest::UpdateFile(server, L"/" + path, entry); });
    plain.Stop();
    EXPECT_EQ(outcome.end, RunEnd::kDone) << Narrow(outcome.error);
    EXPECT_TRUE(ReadOrMissing(dir / L"big.bin") == served);
    EXPECT_TRUE(log.Has(c.logLine)) << c.logLine;
    EXPECT_FALSE(Platform::PathExists(StagingFolderOf(dir.Path())));
    if (c.scriptedSecond) {
      EXPECT_EQ(rangeAsked, "bytes=2097152-|" + validator);
    } else {
      const auto hits = nginx.WaitForRequests(Narrow(path) + "big.bin", 1);
      ASSERT_FALSE(hits.empty());
      EXPECT_EQ(hits.back().status, c.expectedStatus);
      EXPECT_EQ(static_cast<std::uint64_t>(hits.back().bytesSent),
                c.changeOnServer ? changed.size() : body.size() - body.size() / 2);
    }
    // The file bar of a continued file starts at the part already there.
    if (c.expectedStatus == 206) {
      const auto percentages = test.progress.Percentages();
      ASSERT_FALSE(percentages.empty());
      EXPECT_GE(percentages.front(), 50u);
    }
  }
}

TEST(EngineStagedUpdate, RefusedResumesLeaveAtMostOneRequestOpen) {
  // Three staged halves; the server answers each resume with the wrong part
  // of the file. The first such answer is left open, later ones are read off
  // (the run goes on over two connections) or, when their rest stalls, the
  // run ends rather than leave a second one open.
  const std::string body = Pattern(1024 * 1024, 5);
  for (const bool stall : {false, true}) {
    SCOPED_TRACE(stall ? "rest stalls" : "rest arrives");
    std::atomic<int> connections{0}, refusals{0};
    CScriptedServer server([&](const TestHarness::ScriptedRequest& r) {
      connections = std::max(connections.load(), r.connection);
      if (r.Header("Range").empty()) return CScriptedReply::Response(200, "OK", body, {"ETag: \"v\""});
      const std::string head = CScriptedReply::Head(206, "Partial", {"ETag: \"v\"", "Content-Range: bytes 0-" +
          std::to_string(body.size() - 1) + "/" + std::to_string(body.size())}, static_cast<long long>(body.size()));
      if (++refusals == 2 && stall) return CScriptedReply().Send(head + body.substr(0, 100000)).WaitForRelease();
      return CScriptedReply().Send(head + body);
    });
    ASSERT_TRUE(server.Start());
    TestFiles::CTempDir dir;
    CScopedLog log(dir / L"log.txt");
    std::vector<CFileData> entries;
    for (const wchar_t* name : {L"a.bin", L"b.bin", L"c.bin"}) {
      entries.emplace_back(L"printer", name, L"", L"", dir.Path());
      const StagedPaths staged = StagedPathsOf(StagingFolderOf(dir.Path()), name);
      for (const std::wstring& path : {staged.data, staged.note})
        ASSERT_TRUE(EnsureDirectory(path.substr(0, path.rfind(L'\\'))));
      ASSERT_TRUE(TestFiles::WriteBytes(staged.data, body.substr(0, body.size() / 2)));
      ASSERT_TRUE(WriteStagedNote(staged.note, StagedNote{std::wstring(L"/p/") + name, L"\"v\"", true, body.size()}));
    }
    CTestRun test(server.Address());
    test.server.SetTimeoutsForTesting(5000, 5000, 1000);
    const RunOutcome outcome = test.Job([&](CServerConnection& connection) {
      for (const CFileData& entry : entries)
        if (FetchResult r = CFileTransfer(connection).DownloadFile(L"/p/", entry); r.Failed()) return r;
      return FetchResult();
    });
    server.Release();
    EXPECT_LE(connections.load(), 2);
    EXPECT_EQ(outcome.end, stall ? RunEnd::kFailed : RunEnd::kDone) << Narrow(outcome.error);
    EXPECT_EQ(ReadOrMissing(StagedPathsOf(StagingFolderOf(dir.Path()), L"c.bin").data) == body, !stall);
    EXPECT_EQ(log.HasPrefix("Request not sent: "), stall);
  }
}

TEST(EngineStagedUpdate, ACancelDuringTheSwapTakesEffectOnceTheModuleIsWhole) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  const EightFiles files;
  files.Serve(nginx, L"sc/");
  TestFiles::CTempDir dir;
  const std::wstring folder = files.InstalledIn(dir);
  CScopedLog log(dir / L"log.txt");
  UpdateModuleList modules;
  modules.push_back(Module(L"/sc/UpdateList.xml", folder, L"prog.exe"));
  CTestRun test(nginx.Address(), &modules);
  // Cancel pressed as the swap begins: the status is set on the run's thread.
  test.progress.onStatus = [&](const std::wstring& status) {
    if (status == L"Installing the module's files") test.abort = true;
  };
  const RunOutcome outcome = test.run.RunUpdate();
  EXPECT_EQ(outcome.end, RunEnd::kCancelled);
  files.ExpectNew(folder);
  EXPECT_TRUE(log.HasPrefix("Swap : done -> "));
  EXPECT_FALSE(log.HasPrefix("exec Orrery.exe"));
}

TEST(EngineStagedUpdate, AnArchiveIsUnpackedBeforeTheSwapAndACancelMeanwhileTouchesNothing) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  const std::string archive = EngineTest::BuildZip({{"a.dll", Pattern(40000, 1)}, {"b.dll", "new b"}});
  const std::vector<std::pair<std::string, std::string>> fresh = {{"pack.zip", archive}, {"f1.dll", "new f1"}};
  ASSERT_TRUE(nginx.WriteDocument(L"ar/UpdateList.xml", ListOf(fresh, true)));
  for (const auto& [name, bytes] : fresh) ASSERT_TRUE(nginx.WriteDocument(L"ar/" + Wide(name), bytes));
  for (const bool cancel : {true, false}) {
    SCOPED_TRACE(cancel ? "cancelled while the archive is unpacked" : "whole");
    TestFiles::CTempDir dir;
    const std::wstring folder = dir / L"Printer";
    ASSERT_TRUE(TestFiles::WriteBytes(folder + L"\\a.dll", "old a"));
    CScopedLog log(dir / L"log.txt");
    UpdateModuleList modules;
    modules.push_back(Module(L"/ar/UpdateList.xml", folder, L""));
    CTestRun test(nginx.Address(), &modules);
    // The next file's first status comes once the archive is staged whole,
    // and its unpacking under way beside it.
    const std::wstring stagedArchive = StagedPathsOf(StagingFolderOf(folder), L"pack.zip").data;
    test.progress.onStatus = [&](const std::wstring&) {
      if (cancel && TestFiles::ReadOrMissing(stagedArchive) == archive) test.abort = true;
    };
    const RunOutcome outcome = test.run.RunUpdate();
    const auto lines = log.Lines();
    const auto swap = std::find_if(lines.begin(), lines.end(),
                                   [](const std::string& l) { return l.rfind("Swap : putting", 0) == 0; });
    if (cancel) {
      EXPECT_EQ(outcome.end, RunEnd::kCancelled);
      EXPECT_EQ(ReadOrMissing(folder + L"\\a.dll"), "old a");
      EXPECT_EQ(ReadOrMissing(folder + L"\\b.dll"), "<missing>");
      EXPECT_EQ(ReadOrMissing(folder + L"\\f1.dll"), "<missing>");
      EXPECT_TRUE(swap == lines.end());
      EXPECT_TRUE(ReadOrMissing(stagedArchive) == archive);  // kept for the next run
      continue;
    }
    EXPECT_EQ(outcome.end, RunEnd::kDone) << Narrow(outcome.error);
    EXPECT_TRUE(ReadOrMissing(folder + L"\\a.dll") == Pattern(40000, 1));
    EXPECT_EQ(ReadOrMissing(folder + L"\\b.dll"), "new b");
    EXPECT_EQ(ReadOrMissing(folder + L"\\f1.dll"), "new f1");
    // Every line of the archive comes before the swap begins.
    const auto created = std::find(lines.begin(), lines.end(), "Target file created OK");
    ASSERT_TRUE(created != lines.end());
    EXPECT_LT(std::find(lines.begin(), lines.end(), "UnZip : OpenZip") - lines.begin(), swap - lines.begin());
    EXPECT_LT(std::find(created + 1, lines.end(), "Target file created OK") - lines.begin(), swap - lines.begin());
    EXPECT_TRUE(swap != lines.end());
    EXPECT_FALSE(Platform::PathExists(StagingFolderOf(folder)));
  }
}
