// Checks of the harness itself, so that a failing HTTP test points at the
// code under test and not at its server.
#include <winsock2.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <memory>

#include "harness/nginx_fixture.h"
#include "harness/scripted_server.h"

namespace {

using TestHarness::CNginxFixture;
using TestHarness::CScriptedReply;
using TestHarness::CScriptedServer;

// Sends the requests over one TCP connection and returns everything received
// until the server closes or `expect` bytes have arrived.
std::string Exchange(unsigned short port, const std::string& requests, std::size_t expect) {
  WSADATA data;
  ::WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  std::string got;
  if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
    ::send(s, requests.data(), static_cast<int>(requests.size()), 0);
    char buffer[4096];
    int n;
    while (got.size() < expect && (n = ::recv(s, buffer, sizeof(buffer), 0)) > 0) got.append(buffer, n);
  }
  ::closesocket(s);
  ::WSACleanup();
  return got;
}

TEST(HarnessTest, NginxServesTheDocumentRootAndLogsConnections) {
  CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  ASSERT_TRUE(nginx.WriteDocument(L"harness/a.txt", "alpha"));
  ASSERT_TRUE(nginx.WriteDocument(L"auth/harness.txt", "secret"));
  const std::string request = "GET /harness/a.txt HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string authRequest = "GET /auth/harness.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  const std::string got = Exchange(nginx.Port(), request + request + authRequest, 1u << 20);
  EXPECT_NE(got.find("alpha"), std::string::npos);
  EXPECT_NE(got.find("401 Unauthorized"), std::string::npos);

  // One nginx serves the whole run: no other test may ask for a path with
  // "harness" in it.
  const auto entries = nginx.WaitForRequests("harness", 3);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(TestHarness::CountConnections(entries), 1u) << "keep-alive must hold one connection";
  EXPECT_EQ(entries[0].requestLine, "GET /harness/a.txt HTTP/1.1");
  EXPECT_EQ(entries[0].status, 200);
  EXPECT_EQ(entries[1].requestOnConnection, 2);
  EXPECT_EQ(entries[2].status, 401);
  EXPECT_FALSE(nginx.AuthUser().empty());
  // Every field after the user agent is read too: which server answered,
  // how long it took and when.
  EXPECT_EQ(TestHarness::OnPort(entries, nginx.Port()).size(), 3u);
  EXPECT_TRUE(TestHarness::OnPort(entries, nginx.TlsPort()).empty());
  EXPECT_EQ(TestHarness::SumBytesSent({entries[0], entries[1]}), 10u) << "body bytes only, not headers";
  EXPECT_GT(TestHarness::SumBytesSent(entries), 10u) << "the 401 page has a body";
  EXPECT_GT(entries[0].loggedAt, 1.5e9);
  EXPECT_LE(entries[0].loggedAt, entries[2].loggedAt);
  EXPECT_GE(entries[0].requestSeconds, 0.0);
}

struct InternetCloser {
  void operator()(void* h) const { ::InternetCloseHandle(h); }
};
using CInternet = std::unique_ptr<void, InternetCloser>;

// GETs the path twice over one WinINet connection to host:port over TLS;
// the bodies in *bodies, or false with the failing call's error in *error.
bool GetTwiceOverTls(const wchar_t* host, unsigned short port, const wchar_t* path, std::string* bodies,
                     DWORD* error) {
  CInternet session(::InternetOpenW(L"harness", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  CInternet connection(session ? ::InternetConnectW(session.get(), host, port, nullptr, nullptr,
                                                    INTERNET_SERVICE_HTTP, 0, 0)
                               : nullptr);
  *error = 0;
  for (int i = 0; i < 2 && connection; ++i) {
    CInternet request(::HttpOpenRequestW(connection.get(), L"GET", path, nullptr, nullptr, nullptr,
                                         INTERNET_FLAG_SECURE | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                             INTERNET_FLAG_KEEP_CONNECTION,
                                         0));
    if (!request || !::HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0)) {
      *error = ::GetLastError();
      return false;
    }
    char buffer[4096];
    DWORD got = 0;
    for (int reads = 0; reads < 64 && ::InternetReadFile(request.get(), buffer, sizeof buffer, &got) && got; ++reads) {
      bodies->append(buffer, got);
    }
  }
  if (!connection) *error = ::GetLastError();
  return *error == 0;
}

TEST(HarnessTest, HttpsOnLocalhostIsTrustedWithTheTestCaAndFailsWithoutIt) {
  CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  std::string problem;
  ASSERT_TRUE(nginx.TrustTestCa(&problem)) << problem;
  ASSERT_TRUE(nginx.TrustTestCa(&problem)) << "adding it again: " << problem;
  ASSERT_TRUE(nginx.WriteDocument(L"over-tls/a.txt", "over tls"));
  EXPECT_EQ(nginx.TlsAddress(), L"https://localhost:" + std::to_wstring(nginx.TlsPort()));
  EXPECT_EQ(nginx.UntrustedTlsAddress(), L"https://localhost:" + std::to_wstring(nginx.UntrustedTlsPort()));

  const struct {
    const char* what;
    const wchar_t* host;
    unsigned short port;
    DWORD error;  // 0: both bodies arrive
  } cases[] = {
      {"trusted CA, localhost", L"localhost", nginx.TlsPort(), 0},
      {"untrusted CA", L"localhost", nginx.UntrustedTlsPort(), ERROR_INTERNET_INVALID_CA},
      {"trusted CA, but the name asked for is an IP address", L"127.0.0.1", nginx.TlsPort(),
       ERROR_INTERNET_SEC_CERT_CN_INVALID},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bodies;
    DWORD error = 0;
    const bool ok = GetTwiceOverTls(c.host, c.port, L"/over-tls/a.txt", &bodies, &error);
    if (c.error == 0) {
      EXPECT_TRUE(ok) << "error " << error;
      EXPECT_EQ(bodies, "over tlsover tls");
    } else {
      EXPECT_FALSE(ok);
      // A fresh prefix may report an unknown CA as a failed revocation check.
      EXPECT_TRUE(error == c.error || (c.error == ERROR_INTERNET_INVALID_CA && error == 12057)) << "error " << error;
      EXPECT_EQ(bodies, "");
    }
  }
  const auto entries = nginx.WaitForRequests("/over-tls/", 2);
  const auto onTls = TestHarness::OnPort(entries, nginx.TlsPort());
  ASSERT_EQ(onTls.size(), 2u) << "only the trusted localhost requests reach a server";
  EXPECT_EQ(entries.size(), 2u);
  EXPECT_EQ(TestHarness::CountConnections(onTls), 1u);
  EXPECT_EQ(TestHarness::SumBytesSent(onTls), 16u);
}

TEST(HarnessTest, ScriptedServerRunsTheScriptAndRecordsRequests) {
  CScriptedServer server([](const TestHarness::ScriptedRequest& r) {
    if (r.requestLine.find("/short") != std::string::npos) {
      return CScriptedReply::Response(200, "OK", "abc", {}, 10).Close();
    }
    CScriptedReply reply;
    reply.Send(CScriptedReply::Head(407, "Proxy Authentication Required", {"X-Test: 1"}, 4)).Trickle("wxyz", 1, 5);
    return reply;
  });
  ASSERT_TRUE(server.Start());
  const std::string got = Exchange(server.Port(),
                                   "GET /slow HTTP/1.1\r\nHost: a\r\n\r\nGET /short HTTP/1.1\r\nHost: b\r\n\r\n",
                                   1u << 20);
  EXPECT_NE(got.find("407 Proxy Authentication Required\r\nX-Test: 1\r\nContent-Length: 4\r\n\r\nwxyz"),
            std::string::npos);
  EXPECT_TRUE(got.ends_with("Content-Length: 10\r\n\r\nabc")) << got;
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].requestLine, "GET /short HTTP/1.1");
  EXPECT_EQ(requests[1].Header("host"), "b");
  EXPECT_EQ(server.Connections(), 1);
}

}  // namespace
