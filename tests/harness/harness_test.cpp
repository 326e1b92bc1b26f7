// Checks of the harness itself, so that a failing HTTP test points at the
// code under test and not at its server.
#include <winsock2.h>

#include <gtest/gtest.h>

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

  const auto entries = nginx.FindRequests("harness");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(TestHarness::CountConnections(entries), 1u) << "keep-alive must hold one connection";
  EXPECT_EQ(entries[0].requestLine, "GET /harness/a.txt HTTP/1.1");
  EXPECT_EQ(entries[0].status, 200);
  EXPECT_EQ(entries[1].requestOnConnection, 2);
  EXPECT_EQ(entries[2].status, 401);
  EXPECT_FALSE(nginx.AuthUser().empty());
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
