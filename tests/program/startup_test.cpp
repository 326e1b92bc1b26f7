// Updater.exe started as a process: single instance, the raw command line,
// and the silent end when the manifest cannot be had.
#include <gtest/gtest.h>

#include <optional>

#include "common/test_files.h"
#include "harness/nginx_fixture.h"
#include "harness/process_utils.h"
#include "harness/scripted_server.h"
#include "harness/wine_paths.h"

namespace {

using TestHarness::CChildProcess;
using TestHarness::CScriptedReply;
using TestHarness::CScriptedServer;
using TestHarness::ScriptedRequest;

// An Updater.exe of its own in a fresh folder, so that its log is its own.
class CUpdaterCopy {
 public:
  CUpdaterCopy() {
    std::string exe;
    ok_ = TestFiles::ReadBytes(TestHarness::UnixToWinePath(VIREO_UPDATER_EXE), &exe) &&
          TestFiles::WriteBytes(Exe(), exe);
  }
  bool Ok() const { return ok_; }
  std::wstring Exe() const { return dir_ / L"Updater.exe"; }
  std::wstring LogPath() const { return dir_ / L"updater_log.txt"; }
  std::string LogBytes() const { return TestFiles::ReadOrMissing(LogPath()); }
  // The log's lines without their time stamps.
  std::vector<std::wstring> LogLines() const {
    std::vector<std::wstring> lines;
    const std::wstring text = TestHarness::ReadUtf16File(LogPath());
    std::size_t start = 0, end;
    while ((end = text.find(L"\r\n", start)) != std::wstring::npos) {
      std::wstring line = text.substr(start, end - start);
      const auto stamp = line.find(L"] ");
      if (!line.empty() && line[0] == L'[' && stamp != std::wstring::npos) line.erase(0, stamp + 2);
      lines.push_back(line);
      start = end + 2;
    }
    return lines;
  }

 private:
  TestFiles::CTempDir dir_;
  bool ok_ = false;
};

// The first line of every run of the unkeyed build under test.
const wchar_t kUnkeyedLine[] =
    L"This updater is unkeyed: it checks no signatures, so whoever answers for the update server decides what it "
    L"installs";

// Runs the updater to its end; false if it was still running after the
// deadline or showed a window on the way.
::testing::AssertionResult RunsToEndWithoutWindow(CChildProcess& process, unsigned millis) {
  const DWORD start = ::GetTickCount();
  while (!process.Wait(50)) {
    for (const auto& w : TestHarness::ListTopLevelWindows(process.Pid())) {
      if (w.visible) return ::testing::AssertionFailure() << "a window showed";
    }
    if (::GetTickCount() - start > millis) return ::testing::AssertionFailure() << "still running";
  }
  return ::testing::AssertionSuccess();
}

TEST(UpdaterStartupTest, ManifestFailuresEndSilentlyWithTheCauseInTheLog) {
  CScriptedServer probe([](const ScriptedRequest&) { return CScriptedReply(); });
  ASSERT_TRUE(probe.Start());
  const std::wstring closedAddress = probe.Address();
  probe.Stop();
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  ASSERT_TRUE(nginx.WriteDocument(L"startup/nolist/update.xml",
                                  "<update><viewer><update_list></update_list></viewer></update>"));
  ASSERT_TRUE(nginx.WriteDocument(L"startup/tls/update.xml", "<update/>"));
  ASSERT_TRUE(nginx.WriteDocument(L"auth/startup/update.xml", "<update/>"));
  std::string problem;
  ASSERT_TRUE(nginx.TrustTestCa(&problem)) << problem;
  const struct {
    std::wstring address;
    std::optional<std::wstring> logLine;  // the one log line after the unkeyed one, as a prefix
  } cases[] = {
      {closedAddress, L"Failed in call to HttpSendRequest, Error: 120"},
      {nginx.Address() + L"/startup/missing", L"Failed to retrieve a HTTP 200 status, Status Code: 404"},
      {nginx.Address() + L"/startup/nolist", std::nullopt},  // fetched, not parseable
      {nginx.UntrustedTlsAddress() + L"/startup/tls",
       L"Failed in call to HttpSendRequest, Error: "},  // untrusted certificate
      {L"", std::nullopt},  // http:///update.xml names no server
      // Out of https: refused before anything reaches the plain server.
      {nginx.TlsAddress() + L"/to-plain/startup/away",
       L"Redirect refused: " + nginx.TlsAddress() + L"/to-plain/startup/away/update.xml redirects to http://"},
      // Basic over plain http: no dialog (no window at all), the remedy logged.
      {nginx.Address() + L"/auth/startup", L"Credentials refused: http://" + nginx.Address() +
                                               L"/auth/startup/update.xml asks for a password that would travel in "
                                               L"clear over plain http (Basic authentication); use the server's https "
                                               L"address"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "address " << std::string(c.address.begin(), c.address.end()));
    CUpdaterCopy updater;
    ASSERT_TRUE(updater.Ok());
    CChildProcess process;
    ASSERT_TRUE(process.Start(updater.Exe(), c.address)) << process.Error();
    EXPECT_TRUE(RunsToEndWithoutWindow(process, 20000));
    const auto lines = updater.LogLines();
    ASSERT_EQ(lines.size(), c.logLine ? 2u : 1u) << updater.LogBytes();
    EXPECT_EQ(lines[0], kUnkeyedLine);
    if (!c.logLine) continue;
    EXPECT_EQ(lines[1].rfind(*c.logLine, 0), 0u) << std::string(lines[1].begin(), lines[1].end());
  }
  EXPECT_TRUE(nginx.FindRequests("/startup/tls/").empty()) << "nothing reaches the https document";
  EXPECT_TRUE(TestHarness::OnPort(nginx.FindRequests("/to-plain/"), nginx.Port()).empty()) << "nothing left https";
}

TEST(UpdaterStartupTest, SecondInstanceEndsAtOnceAndLeavesTheLogAlone) {
  CScriptedServer server([](const ScriptedRequest&) {
    CScriptedReply reply;
    reply.WaitForRelease().Send(CScriptedReply::Head(404, "Not Found", {}, 0));
    return reply;
  });
  ASSERT_TRUE(server.Start());
  CUpdaterCopy first;
  CUpdaterCopy other;
  ASSERT_TRUE(first.Ok() && other.Ok());
  CChildProcess running;
  ASSERT_TRUE(running.Start(first.Exe(), server.Address()));
  // The first one is now held in its manifest request, its log open.
  for (int i = 0; i < 400 && server.Requests().empty(); ++i) ::Sleep(50);
  ASSERT_EQ(server.Requests().size(), 1u);
  const std::string logBefore = first.LogBytes();
  ASSERT_EQ(first.LogLines(), std::vector<std::wstring>{kUnkeyedLine});

  CChildProcess sameFolder, otherFolder;
  ASSERT_TRUE(sameFolder.Start(first.Exe(), server.Address()));
  EXPECT_TRUE(RunsToEndWithoutWindow(sameFolder, 10000));
  ASSERT_TRUE(otherFolder.Start(other.Exe(), server.Address()));
  EXPECT_TRUE(RunsToEndWithoutWindow(otherFolder, 10000));
  EXPECT_EQ(first.LogBytes(), logBefore) << "not emptied, not written";
  EXPECT_EQ(other.LogBytes(), "<missing>") << "not created";
  EXPECT_EQ(server.Requests().size(), 1u) << "the second ones asked for nothing";

  server.Release();
  EXPECT_TRUE(RunsToEndWithoutWindow(running, 20000));
  const auto lines = first.LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], L"Failed to retrieve a HTTP 200 status, Status Code: 404") << "the first one's log lives on";
}

TEST(UpdaterStartupTest, ServerAddressIsTheRawCommandLine) {
  CScriptedServer server(
      [](const ScriptedRequest&) { return CScriptedReply::Response(404, "Not Found", ""); });
  ASSERT_TRUE(server.Start());
  CUpdaterCopy updater;
  ASSERT_TRUE(updater.Ok());
  CChildProcess process;
  // Quotes and both inner spaces reach the request, escaped by the URL parser.
  ASSERT_TRUE(process.Start(updater.Exe(), server.Address() + L"/Dir \"A  b\""));
  EXPECT_TRUE(RunsToEndWithoutWindow(process, 20000));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requestLine, "GET /dir%20%22a%20%20b%22/update.xml HTTP/1.1");
  EXPECT_EQ(requests[0].Header("User-Agent"), "Updater");
}

}  // namespace
