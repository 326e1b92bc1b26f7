// Manifest retrieval against a real nginx and, for broken or unusual
// replies, the harness's scripted server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include <future>

#include "app/update_log.h"
#include "common/test_files.h"
#include "harness/nginx_fixture.h"
#include "harness/wine_paths.h"
#include "harness/process_utils.h"
#include "harness/scripted_server.h"
#include "manifest/fetch_manifest.h"

namespace {

using TestHarness::CNginxFixture;
using TestHarness::CScriptedReply;
using TestHarness::CScriptedServer;
using TestHarness::ScriptedRequest;

const wchar_t kUnchanged[] = L"<unchanged>";

class FetchManifestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(GetUpdateLog().OpenLog(logPath_, false));
    settings_.agent = L"FetchTest";
    settings_.timeoutMs = 5000;
  }
  void TearDown() override { GetUpdateLog().CloseLog(); }

  // Runs FetchManifest; the text stays kUnchanged when it is not set.
  bool Fetch(const std::wstring& address, std::wstring* text) {
    *text = kUnchanged;
    return FetchManifest(address, settings_, text);
  }
  std::wstring LogText() const { return TestHarness::ReadUtf16File(logPath_); }
  // The credentials dialog needs a display; without one it answers at once.
  static bool HaveDisplay() { return !TestHarness::GetEnvIsEmpty("DISPLAY"); }

  TestFiles::CTempDir dir_;
  std::wstring logPath_ = dir_ / L"updater_log.txt";
  ManifestFetchSettings settings_;
  CNginxFixture nginx_;
};

TEST_F(FetchManifestTest, RequestsTheLowerCasedManifestUrlFromNginx) {
  ASSERT_TRUE(nginx_.IsReady()) << nginx_.Problem();
  const std::wstring address = nginx_.Address();
  const struct {
    std::wstring address;
    const wchar_t* document;  // where the manifest lies, or null for none
    const char* requestLine;  // what nginx must have seen, or null for nothing
  } cases[] = {
      {address, L"update.xml", "GET /update.xml HTTP/1.1"},
      {address + L"/Fetch/Upper", L"fetch/upper/update.xml", "GET /fetch/upper/update.xml HTTP/1.1"},
      {L"http://" + address + L"/Fetch/App", L"fetch/app/update.xml", "GET /fetch/app/update.xml HTTP/1.1"},
      {L"HTTP://" + address + L"/fetch/scheme", L"fetch/scheme/update.xml", "GET /fetch/scheme/update.xml HTTP/1.1"},
      // "http://" in the middle: no second prefix, so there is no server.
      {address + L"/fetch/mid?u=http://x", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "address " << std::string(c.address.begin(), c.address.end()));
    const std::string body = "<update><m>" + std::to_string(reinterpret_cast<std::uintptr_t>(&c)) + "</m></update>";
    if (c.document) ASSERT_TRUE(nginx_.WriteDocument(c.document, body));
    std::wstring text;
    ASSERT_EQ(Fetch(c.address, &text), c.document != nullptr);
    if (!c.document) {
      EXPECT_EQ(text, kUnchanged);
      EXPECT_TRUE(nginx_.FindRequests("/fetch/mid").empty());
      continue;
    }
    EXPECT_EQ(text, std::wstring(body.begin(), body.end()));
    const auto hits = nginx_.WaitForRequests(std::string(" ") + strchr(c.requestLine, '/'), 1);
    ASSERT_FALSE(hits.empty());
    EXPECT_EQ(hits.back().requestLine, c.requestLine);
    EXPECT_EQ(hits.back().userAgent, "FetchTest");
  }
  EXPECT_EQ(LogText(), L"") << "nothing is logged on success";
}

TEST_F(FetchManifestTest, BodiesArriveWholeAndDecodedFromUtf8) {
  ASSERT_TRUE(nginx_.IsReady()) << nginx_.Problem();
  // Two-byte characters straddle every 1,024-byte read boundary.
  std::string big;
  std::wstring bigText;
  for (int i = 0; i < 3000; ++i) {
    big += "\xC3\xA9x";
    bigText += L"\u00E9x";
  }
  const struct {
    const wchar_t* document;  // under /fetch/body/ or /chunked/
    std::string bytes;
    std::wstring text;
  } cases[] = {
      {L"fetch/body/invalid/update.xml", "a\xFF" "b\xC3(c", L"a?b?(c"},
      {L"fetch/body/zero/update.xml", std::string("ab\0cd", 5), L"ab"},
      {L"fetch/body/big/update.xml", big, bigText},
      {L"chunked/fetch/update.xml", big, bigText},  // no Content-Length
      {L"fetch/body/empty/update.xml", "", L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::wstring(c.document).size() << " " << c.bytes.size());
    ASSERT_TRUE(nginx_.WriteDocument(c.document, c.bytes));
    std::wstring folder = c.document;
    folder.erase(folder.rfind(L'/'));
    std::wstring text;
    ASSERT_TRUE(Fetch(nginx_.Address() + L"/" + folder, &text));
    EXPECT_EQ(text, c.text);
  }
}

TEST_F(FetchManifestTest, StatusOtherThan200IsLoggedAndFails) {
  ASSERT_TRUE(nginx_.IsReady()) << nginx_.Problem();
  std::wstring text;
  EXPECT_FALSE(Fetch(nginx_.Address() + L"/fetch/missing", &text));
  EXPECT_EQ(text, kUnchanged);
  EXPECT_EQ(LogText(), L"Failed to retrieve a HTTP 200 status, Status Code: 404\r\n");
}

TEST_F(FetchManifestTest, ClosedPortLogsTheSendError) {
  // A port that was free a moment ago: nothing listens there.
  CScriptedServer probe([](const ScriptedRequest&) { return CScriptedReply(); });
  ASSERT_TRUE(probe.Start());
  const std::wstring address = probe.Address();
  probe.Stop();
  std::wstring text;
  EXPECT_FALSE(Fetch(address, &text));
  EXPECT_EQ(text, kUnchanged);
  EXPECT_EQ(LogText().rfind(L"Failed in call to HttpSendRequest, Error: ", 0), 0u) << LogText();
  EXPECT_NE(LogText().find(L"Error: 120"), std::wstring::npos) << "a WinINet error number: " << LogText();
}

TEST_F(FetchManifestTest, BrokenAndUnusualRepliesFromTheScriptedServer) {
  const std::string body = "<update><viewer/></update>";
  const struct {
    const char* path;
    bool ok;
    const wchar_t* text;  // expected text when ok
    const wchar_t* log;   // expected log when not ok (prefix), or null for no log
  } cases[] = {
      {"/longer", true, L"<update><viewer/></update>", nullptr},
      {"/nolength", true, L"<update><viewer/></update>", nullptr},
      {"/trickle", true, L"<update><viewer/></update>", nullptr},
      {"/shorter", false, nullptr, L"The manifest ended after 26 of its 100 bytes\r\n"},
      {"/reset", false, nullptr, nullptr},
      {"/stall", false, nullptr, nullptr},
      {"/500", false, nullptr, L"Failed to retrieve a HTTP 200 status, Status Code: 500\r\n"},
      // Faster than the pace floor, slower than the total bound: a 401 page
      // read before the dialog, and the manifest itself.
      {"/slow401", false, nullptr, L"The server's page for http://{A}/slow401/update.xml did not arrive in time\r\n"},
      {"/slowbody", false, nullptr, L"The server did not send the manifest within 3 s\r\n"},
  };
  CScriptedServer server([&body](const ScriptedRequest& r) {
    const std::string& line = r.requestLine;
    auto is = [&line](const char* path) { return line.find(std::string(path) + "/update.xml") != std::string::npos; };
    CScriptedReply reply;
    if (is("/longer")) return CScriptedReply::Response(200, "OK", body, {}, 4).Close();
    if (is("/nolength")) return CScriptedReply::Response(200, "OK", body, {}, -2).Close();
    if (is("/trickle")) return reply.Send(CScriptedReply::Head(200, "OK", {}, body.size())).Trickle(body, 3, 20);
    if (is("/shorter")) return CScriptedReply::Response(200, "OK", body, {}, 100).Close();
    if (is("/reset")) return reply.Send(CScriptedReply::Head(200, "OK", {}, 100) + body).Pause(100).Reset();
    if (is("/stall")) return reply.Send(CScriptedReply::Head(200, "OK", {}, 100) + body).Pause(60000);
    const std::string page(20000, 'x');
    if (is("/slow401"))
      return reply.Send(CScriptedReply::Head(401, "Unauthorized", {"WWW-Authenticate: Negotiate"}, page.size()))
          .Trickle(page, 64, 100);
    if (is("/slowbody")) return reply.Send(CScriptedReply::Head(200, "OK", {}, page.size())).Trickle(page, 64, 100);
    return CScriptedReply::Response(500, "Internal Server Error", "no");
  });
  ASSERT_TRUE(server.Start());
  settings_.timeoutMs = 1500;
  settings_.totalMs = 3000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    GetUpdateLog().CloseLog();
    ASSERT_TRUE(GetUpdateLog().OpenLog(logPath_, false));
    std::wstring text;
    ASSERT_EQ(Fetch(server.Address() + std::wstring(c.path, c.path + strlen(c.path)), &text), c.ok) << LogText();
    if (c.ok) {
      EXPECT_EQ(text, c.text);
      EXPECT_EQ(LogText(), L"");
    } else {
      EXPECT_EQ(text, kUnchanged);
      std::wstring log = c.log ? c.log : L"";
      if (const auto at = log.find(L"{A}"); at != std::wstring::npos) log.replace(at, 3, server.Address());
      EXPECT_EQ(LogText(), log);
    }
  }
}

TEST_F(FetchManifestTest, CredentialsDialogRetriesOrLetsTheDeniedBodyStand) {
  ASSERT_TRUE(nginx_.IsReady()) << nginx_.Problem();
  if (!HaveDisplay()) GTEST_SKIP() << "the credentials dialog needs DISPLAY";
  // nginx asks for Basic over plain http: the dialog shows under the policy.
  TestHarness::CScopedBasicOverHttpPolicy policy;
  ASSERT_TRUE(policy.IsSet());
  const std::string manifest = "<update><secret/></update>";
  ASSERT_TRUE(nginx_.WriteDocument(L"auth/fetch/update.xml", manifest));
  const struct {
    bool confirm;
    bool wrongPassword;
  } cases[] = {{false, false}, {true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.confirm ? "confirmed" : "cancelled");
    // Generous: on a loaded machine Wine may take long to show the dialog,
    // and an unanswered dialog would hold Fetch for good.
    auto answer = std::async(std::launch::async, [&] {
      return TestHarness::AnswerCredentialsDialog(::GetCurrentProcessId(), c.confirm, nginx_.AuthUser(),
                                                  nginx_.AuthPassword(), 60000);
    });
    std::wstring text;
    const bool ok = Fetch(nginx_.Address() + L"/auth/fetch", &text);
    EXPECT_NE(answer.get(), L"") << "no credentials dialog showed";
    EXPECT_TRUE(ok);
    if (c.confirm) {
      EXPECT_EQ(text, L"<update><secret/></update>");
    } else {
      EXPECT_NE(text.find(L"401 Authorization Required"), std::wstring::npos) << "the 401 page is the text";
    }
  }
  const auto hits = nginx_.FindRequests("/auth/fetch/update.xml");
  std::string seen;
  for (const auto& h : hits) {
    seen += std::to_string(h.connection) + "." + std::to_string(h.requestOnConnection) + " " +
            std::to_string(h.status) + "; ";
  }
  SCOPED_TRACE("requests (connection.request status): " + seen);
  // Wine's resend may first go out without the credentials and repeat
  // itself on the second 401; the confirmed case ends in a 200 (its body is
  // the text checked above). The order in which nginx logs the last requests
  // is not relied on.
  ASSERT_GE(hits.size(), 3u);
  EXPECT_EQ(hits.front().status, 401);
  EXPECT_TRUE(std::any_of(hits.begin(), hits.end(), [](const auto& h) { return h.status == 200; }));
  EXPECT_EQ(TestHarness::CountConnections(hits), 1u) << "drained bodies keep the connection usable";
}

TEST_F(FetchManifestTest, OverPlainHttpOnlySchemesThatHideThePasswordGetTheDialog) {
  ASSERT_TRUE(nginx_.IsReady()) << nginx_.Problem();
  if (!HaveDisplay()) GTEST_SKIP() << "the credentials dialog would show only with DISPLAY";
  ASSERT_TRUE(nginx_.WriteDocument(L"auth/nobasic/update.xml", "<update/>"));
  // A dialog would block the fetch: then it is cancelled and the test fails.
  auto fetched = std::async(std::launch::async, [this] {
    std::wstring text;
    return Fetch(nginx_.Address() + L"/auth/nobasic", &text);
  });
  if (fetched.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    ADD_FAILURE() << "the fetch is held: a credentials dialog is up";
    TestHarness::AnswerCredentialsDialog(::GetCurrentProcessId(), false, L"", L"", 10000);
  }
  EXPECT_FALSE(fetched.get());
  EXPECT_EQ(LogText(), L"Credentials refused: http://" + nginx_.Address() +
                           L"/auth/nobasic/update.xml asks for a password that would travel in clear over plain http "
                           L"(Basic authentication); use the server's https address (or set the machine policy "
                           L"HKEY_LOCAL_MACHINE\\Software\\Vireo PACS Updater AllowBasicOverHttp = 1)\r\n");
  EXPECT_EQ(nginx_.WaitForRequests("/auth/nobasic/update.xml", 1).size(), 1u) << "asked once, no resend";

  // Schemes that keep the password safe still get the dialog over plain http.
  CScriptedServer server([](const ScriptedRequest&) {
    return CScriptedReply::Response(401, "Unauthorized", "who are you",
                                    {"WWW-Authenticate: Negotiate", "WWW-Authenticate: NTLM"});
  });
  ASSERT_TRUE(server.Start());
  auto answer = std::async(std::launch::async, [] {
    return TestHarness::AnswerCredentialsDialog(::GetCurrentProcessId(), false, L"", L"", 60000);
  });
  std::wstring text;
  EXPECT_TRUE(Fetch(server.Address(), &text));
  EXPECT_NE(answer.get(), L"") << "no credentials dialog showed";
  EXPECT_EQ(text, L"who are you") << "cancelled: the 401 page stands";
}

TEST_F(FetchManifestTest, RedirectsAreFollowedOnlyOnTheSameServerAndNeverOutOfHttps) {
  ASSERT_TRUE(nginx_.IsReady()) << nginx_.Problem();
  std::string problem;
  ASSERT_TRUE(nginx_.TrustTestCa(&problem)) << problem;
  ASSERT_TRUE(nginx_.WriteDocument(L"fetch/redir/update.xml", "<update><redirected/></update>"));
  const std::wstring plain = L"http://" + nginx_.Address();
  const std::wstring tls = nginx_.TlsAddress();
  const struct {
    const char* label;
    std::wstring address;
    bool ok;
    std::wstring log;
  } cases[] = {
      {"http, same server", plain + L"/hop/fetch/redir", true, L""},
      {"https, same server", tls + L"/hop/fetch/redir", true, L""},
      {"https to http", tls + L"/to-plain/fetch/redir", false,
       L"Redirect refused: " + tls + L"/to-plain/fetch/redir/update.xml redirects to " + plain +
           L"/to-plain/fetch/redir/update.xml, which leaves https\r\n"},
      {"endless", plain + L"/loop/fetch/redir", false, L"Redirect refused: more than 5 redirects, the last from "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    GetUpdateLog().CloseLog();
    ASSERT_TRUE(GetUpdateLog().OpenLog(logPath_, false));
    std::wstring text;
    EXPECT_EQ(Fetch(c.address, &text), c.ok) << LogText();
    EXPECT_EQ(text, c.ok ? L"<update><redirected/></update>" : kUnchanged);
    EXPECT_EQ(LogText().substr(0, c.log.size()), c.log);
    if (c.ok) EXPECT_EQ(LogText(), L"");
  }
  // Nothing was asked of the plain server on the way out of https.
  EXPECT_TRUE(TestHarness::OnPort(nginx_.FindRequests("/to-plain/"), nginx_.Port()).empty());
  EXPECT_EQ(nginx_.WaitForRequests("/loop/", 6).size(), 6u) << "the first request and five redirects followed";
}

TEST_F(FetchManifestTest, ProxyAuthenticationWithoutProxyLetsItsBodyStand) {
  CScriptedServer server([](const ScriptedRequest&) {
    return CScriptedReply::Response(407, "Proxy Authentication Required", "proxy says no",
                                    {"Proxy-Authenticate: Basic realm=\"p\""});
  });
  ASSERT_TRUE(server.Start());
  std::wstring text;
  EXPECT_TRUE(Fetch(server.Address(), &text));
  EXPECT_EQ(text, L"proxy says no");
  EXPECT_EQ(server.Requests().size(), 1u) << "no resend without a proxy to log on to";
  EXPECT_EQ(LogText(), L"");
}

TEST_F(FetchManifestTest, HttpsToAnUntrustedCertificateFailsCleanly) {
  ASSERT_TRUE(nginx_.IsReady()) << nginx_.Problem();
  ASSERT_TRUE(nginx_.WriteDocument(L"fetch/tls/update.xml", "<update/>"));
  std::wstring text;
  EXPECT_FALSE(Fetch(L"HTTPS://localhost:" + std::to_wstring(nginx_.UntrustedTlsPort()) + L"/fetch/tls", &text));
  EXPECT_EQ(text, kUnchanged);
  EXPECT_EQ(LogText().rfind(L"Failed in call to HttpSendRequest, Error: ", 0), 0u) << LogText();
  // The plain server still answers the same path.
  EXPECT_TRUE(Fetch(L"http://127.0.0.1:" + std::to_wstring(nginx_.Port()) + L"/fetch/tls", &text));
  EXPECT_EQ(text, L"<update/>");
}

}  // namespace

TEST_F(FetchManifestTest, AKeyedFetchTakesOnlyWhatTheKeySigned) {
  ASSERT_TRUE(nginx_.IsReady()) << nginx_.Problem();
  const auto fixture = [](const char* name) {
    std::string bytes;
    EXPECT_TRUE(TestFiles::ReadBytes(TestHarness::UnixToWinePath(std::string(VIREO_FIXTURES) + "/trust/" + name), &bytes));
    return bytes;
  };
  const std::string manifest = fixture("update.xml");
  const std::string signature = fixture("update.xml.sig");
  const CUpdateKey key = UpdateKeyFromPem(fixture("signing-key.pub.pem"));
  const CUpdateKey other = UpdateKeyFromPem(fixture("other-key.pub.pem"));
  std::string changed = manifest;
  changed.insert(changed.find("<update>") + 8, " ");
  struct Case {
    const char* label;
    const char* folder;
    const std::string* document;
    bool withSignature;
    const CUpdateKey* key;
    bool ok;
    const wchar_t* log;
  };
  const Case cases[] = {
      {"signed, right key", "keyed/ok", &manifest, true, &key, true, L""},
      {"signature removed", "keyed/nosig", &manifest, false, &key, false,
       L"The manifest is not trusted: its signature update.xml.sig is missing\r\n"},
      {"another key", "keyed/other", &manifest, true, &other, false, nullptr},
      {"changed after signing", "keyed/changed", &changed, true, &key, false, nullptr},
      {"unkeyed takes it unsigned", "keyed/unkeyed", &manifest, false, nullptr, true, L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(GetUpdateLog().OpenLog(logPath_, false));
    const std::wstring folder(c.folder, c.folder + std::strlen(c.folder));
    ASSERT_TRUE(nginx_.WriteDocument(folder + L"/update.xml", *c.document));
    if (c.withSignature) ASSERT_TRUE(nginx_.WriteDocument(folder + L"/update.xml.sig", signature));
    settings_.key = c.key ? *c.key : CUpdateKey();
    std::wstring text;
    EXPECT_EQ(Fetch(nginx_.Address() + L"/" + folder, &text), c.ok);
    EXPECT_EQ(text == kUnchanged, !c.ok);
    if (c.log) {
      EXPECT_EQ(LogText(), c.log);
    } else {
      EXPECT_EQ(LogText().rfind(L"The manifest is not trusted: ", 0), 0u);
    }
  }
}
