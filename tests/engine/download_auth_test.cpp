// Downloads that meet an authentication demand: a 401 answered through the
// platform's credentials dialog is sent again and the file arrives; a demand
// that is not answered (cancelled, or a 407 with no proxy to log on to)
// fails the download and leaves the installed file as it was.
#include <gtest/gtest.h>

#include <optional>

#include "common/test_files.h"
#include "engine/dialog_test_util.h"
#include "engine/engine_test_util.h"
#include "harness/nginx_fixture.h"
#include "harness/process_utils.h"
#include "harness/scripted_server.h"
#include "harness/wine_paths.h"
#include "platform/file.h"

using EngineTest::CScopedLog;
using EngineTest::CTestDownloadDlg;
using EngineTest::Narrow;
using TestFiles::ReadOrMissing;
using TestHarness::CScriptedReply;
using TestHarness::CScriptedServer;

namespace {

constexpr const wchar_t* kNoValidHttpResponse = L"Failed to receive a valid HTTP response from the server";

// Names a failed or finished download must not leave behind.
bool HasLeftovers(const std::wstring& folder) {
  std::vector<Platform::DirectoryEntry> entries;
  (void)Platform::ListDirectory(folder, &entries);
  for (const auto& e : entries) {
    if (e.name.find(L".download") != std::wstring::npos || e.name.find(L".bak") != std::wstring::npos) return true;
  }
  return false;
}

}  // namespace

TEST(EngineDownloadAuth, CredentialsDialogRetriesOrKeepsTheOldFile) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  if (TestHarness::GetEnvIsEmpty("DISPLAY")) GTEST_SKIP() << "the credentials dialog needs DISPLAY";
  std::string body(3000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('A' + i % 23);
  ASSERT_TRUE(nginx.WriteDocument(L"auth/dlauth/core.dll", body));

  struct Case {
    const char* label;
    bool policy;  // the machine allows Basic over plain http
    bool confirm;
    std::int64_t result;
    std::string content;
    const wchar_t* error;  // the error box, or nullptr for none (or any, without the policy)
  };
  const Case cases[] = {
      // nginx asks for Basic over plain http: the password would travel in
      // clear, so no dialog unless the machine's policy allows it.
      {"Basic over http refused", false, true, -1, "old core", nullptr},
      {"cancelled", true, false, -1, "old core", kNoValidHttpResponse},
      {"confirmed", true, true, 3000, body, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::optional<TestHarness::CScopedBasicOverHttpPolicy> policy;
    if (c.policy) {
      policy.emplace();
      ASSERT_TRUE(policy->IsSet());
    }
    TestFiles::CTempDir dir;
    const std::wstring local = dir / L"core.dll";
    ASSERT_TRUE(TestFiles::WriteBytes(local, "old core"));
    CScopedLog log(dir / L"log.txt");
    CTestDownloadDlg dialog(nginx.Address());
    // Only a dialog the update dialog owns is answered: the update dialog is
    // a dialog too, and a Cancel or OK meant for the credentials would end
    // the update instead while the credentials dialog went on waiting.
    TestHarness::CCredentialsAnswerer answerer([&dialog] { return dialog.GetSafeHwnd(); }, c.confirm,
                                               nginx.AuthUser(), nginx.AuthPassword(), {});
    std::int64_t result = 0;
    const INT_PTR modal = dialog.RunJob([&](CServerConnection& server) {
      FetchResult got = EngineTest::UpdateFile(server, L"/auth/dlauth/", CFileData(L"vireo viewer", L"core.dll", L"", L"", dir.Path()));
      result = got.bytes;
      return got;
    });
    answerer.Finish();
    // A watchdog that had to end the run leaves the rest meaningless.
    ASSERT_EQ(Narrow(answerer.Watchdog()), "");
    EXPECT_EQ(answerer.Dialogs().size(), c.policy ? 1u : 0u)
        << "one credentials dialog per demand (answers repeated: " << answerer.Retries() << ")";
    EXPECT_EQ(result, c.result);
    EXPECT_TRUE(ReadOrMissing(local) == c.content) << ReadOrMissing(local).size() << " bytes";
    EXPECT_FALSE(HasLeftovers(dir.Path()));
    if (!c.policy) {
      EXPECT_EQ(modal, IDCANCEL);
      EXPECT_EQ(dialog.errorBoxes.size(), 1u);
      EXPECT_TRUE(log.HasPrefix("Credentials refused: "));
    } else if (c.error) {
      EXPECT_EQ(modal, IDCANCEL);
      ASSERT_EQ(dialog.errorBoxes.size(), 1u);
      EXPECT_EQ(dialog.errorBoxes[0], c.error);
      EXPECT_TRUE(log.Has("Failed to retrieve a HTTP 200 status, Status Code:401"));
    } else {
      EXPECT_EQ(modal, IDOK);
      EXPECT_TRUE(dialog.errorBoxes.empty()) << Narrow(dialog.errorBoxes[0]);
      EXPECT_TRUE(log.Has("DownloadFile : core.dll"));
    }
  }
  const auto hits = nginx.WaitForRequests("/auth/dlauth/core.dll", [](const auto& found) {
    return found.size() >= 3 && found.back().status == 200;
  });
  ASSERT_GE(hits.size(), 3u);  // cancelled 401, then 401 and the resend(s)
  EXPECT_EQ(hits.front().status, 401);
  EXPECT_EQ(hits.back().status, 200);
}

TEST(EngineDownloadAuth, ProxyDemandWithoutProxyFailsWithoutTheDialog) {
  // No proxy is configured: a 407 comes from the server itself. There is
  // nobody to give credentials to, so no dialog and no resend; the error
  // page must not become the file.
  CScriptedServer server([](const TestHarness::ScriptedRequest&) {
    return CScriptedReply::Response(407, "Proxy Authentication Required", "proxy says no",
                                    {"Proxy-Authenticate: Basic realm=\"p\""});
  });
  ASSERT_TRUE(server.Start());
  struct Case {
    const char* label;
    const char* old;  // nullptr: no installed file
  };
  const Case cases[] = {{"over an installed file", "old core"}, {"no installed file", nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::size_t requestsBefore = server.Requests().size();
    TestFiles::CTempDir dir;
    const std::wstring local = dir / L"core.dll";
    if (c.old) {
      ASSERT_TRUE(TestFiles::WriteBytes(local, c.old));
    }
    CScopedLog log(dir / L"log.txt");
    CTestDownloadDlg dialog(server.Address());
    // A credentials dialog that should not be there is cancelled and counted
    // rather than left to block the run.
    TestHarness::CCredentialsAnswerer::Waits noneExpected;
    noneExpected.showMs = 0xFFFFFFFFu;
    TestHarness::CCredentialsAnswerer answerer([&dialog] { return dialog.GetSafeHwnd(); }, false, L"", L"",
                                               noneExpected);
    std::int64_t result = 0;
    const INT_PTR modal = dialog.RunJob([&](CServerConnection& server) {
      server.SetTimeoutsForTesting(2000, 2000, 2000);
      FetchResult got = EngineTest::UpdateFile(server, L"/x/", CFileData(L"vireo viewer", L"core.dll", L"", L"", dir.Path()));
      result = got.bytes;
      return got;
    });
    answerer.Finish();
    EXPECT_EQ(answerer.Dialogs().size(), 0u) << "no dialog";
    EXPECT_EQ(result, -1);
    EXPECT_EQ(modal, IDCANCEL);
    ASSERT_EQ(dialog.errorBoxes.size(), 1u);
    EXPECT_EQ(dialog.errorBoxes[0], kNoValidHttpResponse);
    EXPECT_EQ(ReadOrMissing(local), c.old ? c.old : "<missing>");
    EXPECT_FALSE(HasLeftovers(dir.Path()));
    EXPECT_EQ(server.Requests().size(), requestsBefore + 1) << "no resend";
    EXPECT_TRUE(log.Has("Failed to retrieve a HTTP 200 status, Status Code:407"));
  }
  server.Stop();
}
