// Downloads over the run's connection, against nginx and the scripted
// server, with real files on disk: whatever happens, the installed file is
// either the old one, intact, or the new one, whole, and no temporary file
// is left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "common/test_files.h"
#include "engine/dialog_test_util.h"
#include "engine/engine_test_util.h"
#include "engine/zip_builder.h"
#include "harness/nginx_fixture.h"
#include "harness/scripted_server.h"
#include "platform/fault.h"
#include "platform/file.h"

using EngineTest::CCanceller;
using EngineTest::CScopedLog;
using EngineTest::CTestRun;
using EngineTest::Narrow;
using TestFiles::ReadOrMissing;
using TestHarness::CScriptedReply;
using TestHarness::CScriptedServer;

namespace {

std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 1024) % 26);
  return s;
}

// Names in the folder that a finished download must not leave.
std::vector<std::string> Leftovers(const std::wstring& folder) {
  std::vector<Platform::DirectoryEntry> entries;
  std::vector<std::string> found;
  (void)Platform::ListDirectory(folder, &entries);
  for (const auto& e : entries) {
    const std::string n = Narrow(e.name);
    if (n.find(".download") != std::string::npos || n.find(".bak") != std::string::npos) found.push_back(n);
  }
  return found;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

}  // namespace

TEST(EngineDownload, OutcomesAgainstNginx) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  const std::string body = Pattern(5000);
  const std::string archive = EngineTest::BuildZip({{"item.dll", "from the archive"}});
  ASSERT_TRUE(nginx.WriteDocument(L"dl/core.dll", body));
  ASSERT_TRUE(nginx.WriteDocument(L"dl/empty.dat", ""));
  ASSERT_TRUE(nginx.WriteDocument(L"chunked/dl/c.txt", body));
  ASSERT_TRUE(nginx.WriteDocument(L"dl/pack.ZIP", archive));
  ASSERT_TRUE(nginx.WriteDocument(L"dl/pack2.zip", archive));
  ASSERT_TRUE(nginx.WriteDocument(L"dl/sub/setup.zip", archive));

  struct Case {
    const char* label;
    const wchar_t* serverPath;
    const wchar_t* name;
    const char* old;  // nullptr: no local file before
    const char* folder;  // sub-folder made beforehand, or nullptr
    std::int64_t result;
    std::string content;  // of the local file afterwards ("<missing>": none)
    const wchar_t* error;  // error text, or nullptr for none
    const char* logLine;
  };
  const Case cases[] = {
      {"new file", L"/dl/", L"core.dll", nullptr, nullptr, 5000, body, nullptr, "DownloadFile : core.dll"},
      {"replaces the old file", L"/dl/", L"core.dll", "old", nullptr, 5000, body, nullptr, nullptr},
      {"404", L"/dl/", L"missing.dll", nullptr, nullptr, -1, "<missing>",
       L"Failed to receive a valid HTTP response from the server", "Failed to retrieve a HTTP 200 status, Status Code:404"},
      {"404 keeps the old file", L"/dl/", L"missing.dll", "old", nullptr, -1, "old",
       L"Failed to receive a valid HTTP response from the server", nullptr},
      {"no Content-Length", L"/chunked/dl/", L"c.txt", nullptr, nullptr, 5000, body, nullptr, nullptr},
      {"empty file", L"/dl/", L"empty.dat", "old", nullptr, 0, "", nullptr, nullptr},
      {"upper-case .ZIP is not installed", L"/dl/", L"pack.ZIP", nullptr, nullptr,
       static_cast<std::int64_t>(archive.size()), archive, nullptr, nullptr},
      {"a .zip is installed and removed", L"/dl/", L"pack2.zip", nullptr, nullptr,
       static_cast<std::int64_t>(archive.size()), "<missing>", nullptr, "UnZip : OpenZip"},
      {"name with a folder", L"/dl/", L"sub\\setup.zip", nullptr, "sub", static_cast<std::int64_t>(archive.size()),
       "<missing>", nullptr, nullptr},
      {"name with a folder that is missing", L"/dl/", L"sub\\setup.zip", nullptr, nullptr,
       static_cast<std::int64_t>(archive.size()), "<missing>", nullptr, nullptr},
      {"name leaving the folder", L"/dl/", L"..\\core.dll", nullptr, nullptr, 0, "<missing>", nullptr,
       "DownloadFile : file outside the install folder skipped -> ..\\core.dll"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TestFiles::CTempDir dir;
    const std::wstring folder = dir / L"App";
    ASSERT_TRUE(Platform::MakeDirectory(folder));
    if (c.folder) {
      ASSERT_TRUE(Platform::MakeDirectory(folder + L"\\" + std::wstring(c.folder, c.folder + strlen(c.folder))));
    }
    const std::wstring local = folder + L"\\" + c.name;
    if (c.old) {
      ASSERT_TRUE(TestFiles::WriteBytes(local, c.old));
    }
    CScopedLog log(dir / L"log.txt");
    CTestRun test(nginx.Address());
    std::int64_t result = 12345;
    const RunOutcome outcome = test.Job([&](CServerConnection& server) {
      FetchResult got = EngineTest::UpdateFile(server, c.serverPath, CFileData(L"vireo viewer", c.name, L"", L"", folder));
      result = got.bytes;
      return got;
    });
    EXPECT_EQ(result, c.result);
    EXPECT_TRUE(ReadOrMissing(local) == c.content) << ReadOrMissing(local).size() << " bytes";
    EXPECT_TRUE(Leftovers(folder).empty()) << Leftovers(folder)[0];
    if (c.error) {
      EXPECT_EQ(outcome.end, RunEnd::kFailed);
      EXPECT_EQ(outcome.error, c.error);
    } else {
      EXPECT_EQ(outcome.end, RunEnd::kDone) << Narrow(outcome.error);
    }
    if (c.logLine) {
      EXPECT_TRUE(log.Has(c.logLine)) << c.logLine;
    }
  }
  // Archives: installed from the lower-case name, in the entry's sub-folder.
  const auto namesTheArchive = [](const std::vector<TestHarness::AccessLogEntry>& found) {
    return std::any_of(found.begin(), found.end(),
                       [](const auto& r) { return r.requestLine.find("setup.zip") != std::string::npos; });
  };
  EXPECT_TRUE(namesTheArchive(nginx.WaitForRequests("/dl/", namesTheArchive)));
}

TEST(EngineDownload, ArchivesInstallWhereTheEntrySays) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  ASSERT_TRUE(nginx.WriteDocument(L"dla/sub/setup.zip", EngineTest::BuildZip({{"b.dll", "bee"}})));
  TestFiles::CTempDir dir;
  const std::wstring folder = dir / L"App";
  ASSERT_TRUE(Platform::MakeDirectory(folder));
  ASSERT_TRUE(Platform::MakeDirectory(folder + L"\\sub"));
  CTestRun test(nginx.Address());
  EXPECT_EQ(test.Job([&](CServerConnection& server) {
              return EngineTest::UpdateFile(server, L"/dla/", CFileData(L"vireo viewer", L"sub\\setup.zip", L"", L"", folder));
            }).end,
            RunEnd::kDone);
  EXPECT_EQ(ReadOrMissing(folder + L"\\sub\\b.dll"), "bee");
  EXPECT_FALSE(Platform::PathExists(folder + L"\\sub\\setup.zip"));
}

TEST(EngineDownload, BrokenTransfersKeepTheOldFile) {
  const std::string body = Pattern(10000);
  struct Case {
    const char* label;
    std::function<CScriptedReply()> reply;
    const char* failOperation;  // platform fault, or nullptr
    int failNth;
    const wchar_t* errorPrefix;
  };
  const Case cases[] = {
      {"closed in mid-body",
       [&] { return CScriptedReply().Send(CScriptedReply::Head(200, "OK", {}, 10000) + body.substr(0, 5000)).Close(); },
       nullptr, 0, L"An error occurred while downloading the file, Error:12030"},
      {"one byte short",
       [&] { return CScriptedReply().Send(CScriptedReply::Head(200, "OK", {}, 10000) + body.substr(0, 9999)).Close(); },
       nullptr, 0, L"An error occurred while downloading the file, Error:12030"},
      {"reset in mid-body",
       [&] { return CScriptedReply().Send(CScriptedReply::Head(200, "OK", {}, 10000) + body.substr(0, 5000)).Reset(); },
       nullptr, 0, L"An error occurred while downloading the file, Error:"},
      {"server stalls",
       [&] {
         return CScriptedReply().Send(CScriptedReply::Head(200, "OK", {}, 10000) + body.substr(0, 3000)).Pause(8000);
       },
       nullptr, 0, L"An error occurred while downloading the file, Error:"},
      // The staged file's note is written first.
      {"disk full", [&] { return CScriptedReply::Response(200, "OK", body); }, "Write", 2,
       L"An error occurred while downloading the file, Error:112"},
      {"staged file cannot be made", [&] { return CScriptedReply::Response(200, "OK", body); }, "Create", 1,
       L"An error occured while opening the file to be downloaded, Error:112"},
      {"old file cannot be moved aside", [&] { return CScriptedReply::Response(200, "OK", body); }, "MoveItem", 1,
       L"An error occured while opening the file to be downloaded, Error:112"},
      {"new file cannot be moved in", [&] { return CScriptedReply::Response(200, "OK", body); }, "MoveItem", 2,
       L"An error occured while opening the file to be downloaded, Error:112"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CScriptedServer server([&](const TestHarness::ScriptedRequest&) { return c.reply(); });
    ASSERT_TRUE(server.Start());
    TestFiles::CTempDir dir;
    const std::wstring local = dir / L"core.dll";
    ASSERT_TRUE(TestFiles::WriteBytes(local, "old core"));
    CTestRun test(server.Address());
    test.server.SetTimeoutsForTesting(2000, 2000, 1000);
    std::int64_t result = 0;
    const RunOutcome outcome = test.Job([&](CServerConnection& server) {
      Platform::ClearFaults();
      if (c.failOperation) Platform::FailNthCall(c.failOperation, c.failNth, Platform::kErrorDiskFull);
      FetchResult got = EngineTest::UpdateFile(server, L"/x/", CFileData(L"vireo viewer", L"core.dll", L"", L"", dir.Path()));
      Platform::ClearFaults();
      result = got.bytes;
      return got;
    });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(outcome.end, RunEnd::kFailed);
    EXPECT_EQ(ReadOrMissing(local), "old core");
    EXPECT_TRUE(Leftovers(dir.Path()).empty()) << Leftovers(dir.Path())[0];
    EXPECT_TRUE(StartsWith(outcome.error, c.errorPrefix)) << Narrow(outcome.error);
    server.Stop();
  }
}

TEST(EngineDownload, CancelAtAnyReadKeepsTheOldFile) {
  const std::string body = Pattern(10000);
  struct Case {
    const char* label;
    std::size_t before;  // bytes sent before the reply waits for the cancel
  };
  const Case cases[] = {{"first read", 0}, {"a middle read", 5000}, {"the last read", 9990}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CScriptedServer server([&](const TestHarness::ScriptedRequest&) {
      return CScriptedReply()
          .Send(CScriptedReply::Head(200, "OK", {}, 10000) + body.substr(0, c.before))
          .WaitForRelease()
          .Send(body.substr(c.before));
    });
    ASSERT_TRUE(server.Start());
    TestFiles::CTempDir dir;
    const std::wstring local = dir / L"viewer.dll";
    ASSERT_TRUE(TestFiles::WriteBytes(local, "old viewer"));
    CTestRun test(server.Address());
    bool returned = false;
    RunOutcome outcome;
    {
      CCanceller canceller(
          test.abort, [&] { return server.Requests().size() == 1; }, [&] { server.Release(); });
      outcome = test.Job([&](CServerConnection& server) {
        FetchResult got = EngineTest::UpdateFile(server, L"/x/", CFileData(L"vireo viewer", L"viewer.dll", L"", L"", dir.Path()));
        returned = true;  // not reached: the cancel leaves by the signal
        return got;
      });
      EXPECT_TRUE(canceller.Cancelled());
    }
    EXPECT_FALSE(returned);
    EXPECT_EQ(outcome.end, RunEnd::kCancelled);
    EXPECT_EQ(ReadOrMissing(local), "old viewer");
    EXPECT_TRUE(Leftovers(dir.Path()).empty()) << Leftovers(dir.Path())[0];
    server.Stop();
  }
}

TEST(EngineDownload, CancelDuringAStallEndsTheRunSoon) {
  CScriptedServer server([](const TestHarness::ScriptedRequest&) {
    return CScriptedReply().Send(CScriptedReply::Head(200, "OK", {}, 10000) + std::string(3000, 'x')).Pause(60000);
  });
  ASSERT_TRUE(server.Start());
  TestFiles::CTempDir dir;
  CTestRun test(server.Address());  // the updater's own timeouts
  std::chrono::steady_clock::time_point cancelled;
  RunOutcome outcome;
  {
    CCanceller canceller(
        test.abort, [&] { return server.Requests().size() == 1; },
        [&] { cancelled = std::chrono::steady_clock::now(); });
    outcome = test.Job([&](CServerConnection& server) {
      return EngineTest::UpdateFile(server, L"/x/", CFileData(L"vireo viewer", L"big.bin", L"", L"", dir.Path()));
    });
  }
  const auto waited = std::chrono::steady_clock::now() - cancelled;
  // A stall ends in the receive timeout's failure or is seen as the cancel;
  // either way the run ends soon and nothing is installed.
  EXPECT_NE(outcome.end, RunEnd::kDone);
  // Far less than the server's minute of silence.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(waited).count(), 20);
  EXPECT_FALSE(Platform::PathExists(dir / L"big.bin"));
  EXPECT_TRUE(Leftovers(dir.Path()).empty());
  server.Stop();
}

TEST(EngineDownload, SizeQueries) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  ASSERT_TRUE(nginx.WriteDocument(L"sz/a.bin", Pattern(3000)));
  ASSERT_TRUE(nginx.WriteDocument(L"chunked/sz/b.bin", Pattern(2500)));
  struct Case {
    const wchar_t* path;
    const wchar_t* name;
    std::uint64_t size;
  };
  const Case cases[] = {
      {L"/sz/", L"a.bin", 3000},
      {L"/chunked/sz/", L"b.bin", 0},  // no length: known only when fetched
      {L"/sz/", L"missing.bin", 0},    // an error page counts nothing
      {L"/sz/", L"..\\a.bin", 0},      // never asked for
  };
  CTestRun test(nginx.Address());
  std::vector<std::int64_t> sizes;
  const RunOutcome outcome = test.Job([&](CServerConnection& server) {
    for (const auto& c : cases) sizes.push_back(CFileTransfer(server).GetRemoteFileSize(c.path, CFileData(L"", c.name, L"", L"", L"C:\\x")).bytes);
    return FetchResult();
  });
  EXPECT_EQ(outcome.end, RunEnd::kDone);
  ASSERT_EQ(sizes.size(), std::size(cases));
  for (std::size_t i = 0; i < sizes.size(); ++i) EXPECT_EQ(sizes[i], static_cast<std::int64_t>(cases[i].size)) << i;
  // HEAD requests only: no body crosses the wire for a size.
  // nginx writes a request's log line after its response went out.
  const auto hits = nginx.WaitForRequests("/sz/", 3);
  ASSERT_EQ(hits.size(), 3u);
  for (const auto& hit : hits) {
    EXPECT_EQ(hit.requestLine.rfind("HEAD ", 0), 0u) << hit.requestLine;
    EXPECT_EQ(hit.bytesSent, 0) << hit.requestLine;
  }
  EXPECT_EQ(TestHarness::CountConnections(hits), 1u);
}

TEST(EngineDownload, SizeQueryFallsBackToGetWhenHeadIsRefused) {
  const std::string body = Pattern(4000);
  struct Case {
    const char* label;
    int headStatus;
    long long getLength;  // the GET's Content-Length: -1 true length, -2 none
    std::int64_t size;
  };
  const Case cases[] = {
      {"405, GET with a length", 405, -1, 4000},
      {"501, GET without a length: the body counted", 501, -2, 4000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CScriptedServer server([&](const TestHarness::ScriptedRequest& r) {
      if (r.requestLine.rfind("HEAD ", 0) == 0) return CScriptedReply::Response(c.headStatus, "No", "", {}, 0);
      CScriptedReply reply = CScriptedReply::Response(200, "OK", body, {}, c.getLength);
      if (c.getLength == -2) reply.Close();
      return reply;
    });
    ASSERT_TRUE(server.Start());
    CTestRun test(server.Address());
    test.server.SetTimeoutsForTesting(2000, 2000, 2000);
    std::int64_t size = -5;
    EXPECT_EQ(test.Job([&](CServerConnection& server) {
                FetchResult got = CFileTransfer(server).GetRemoteFileSize(L"/x/", CFileData(L"", L"a.bin", L"", L"", L"C:\\x"));
                size = got.bytes;
                return got;
              }).end,
              RunEnd::kDone);
    EXPECT_EQ(size, c.size);
    server.Stop();
  }
}

TEST(EngineDownload, ATrickleIsReadAsItComesAndCancelledSoon) {
  // One byte a second: every byte is a read of its own, so the cancel is
  // seen within about a second rather than after a full buffer.
  CScriptedServer server([](const TestHarness::ScriptedRequest&) {
    return CScriptedReply().Send(CScriptedReply::Head(200, "OK", {}, 100)).Trickle(std::string(100, 'x'), 1, 1000);
  });
  ASSERT_TRUE(server.Start());
  TestFiles::CTempDir dir;
  CTestRun test(server.Address());
  std::chrono::steady_clock::time_point cancelled;
  RunOutcome outcome;
  {
    CCanceller canceller(
        test.abort, [&] { return test.progress.Statuses().size() >= 2; },
        [&] { cancelled = std::chrono::steady_clock::now(); });
    outcome = test.Job([&](CServerConnection& server) {
      return EngineTest::UpdateFile(server, L"/x/", CFileData(L"vireo viewer", L"slow.bin", L"", L"", dir.Path()));
    });
  }
  const auto waited = std::chrono::steady_clock::now() - cancelled;
  EXPECT_EQ(outcome.end, RunEnd::kCancelled) << Narrow(outcome.error);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 2000);
  EXPECT_FALSE(Platform::PathExists(dir / L"slow.bin"));
  EXPECT_TRUE(Leftovers(dir.Path()).empty());
  server.Stop();
}

TEST(EngineDownload, AFailedSizeQueryEndsTheModule) {
  // A size query that cannot reach the server is the module's failure: the
  // analysis stops there instead of going on without it.
  CScriptedServer server([](const TestHarness::ScriptedRequest&) { return CScriptedReply().Reset(); });
  ASSERT_TRUE(server.Start());
  CTestRun test(server.Address());
  test.server.SetTimeoutsForTesting(2000, 2000, 2000);
  const RunOutcome outcome = test.Job([&](CServerConnection& server) {
    return CFileTransfer(server).GetRemoteFileSize(L"/x/", CFileData(L"", L"a.bin", L"", L"", L"C:\\x"));
  });
  EXPECT_EQ(outcome.end, RunEnd::kFailed);
  EXPECT_TRUE(StartsWith(outcome.error, L"An error occurred connecting to the server, Error:")) << Narrow(outcome.error);
  server.Stop();
}
