// The HTTP service's reads against a server in the test process: blocks that
// grow once a body streams, and a trickle still handed over piece by piece.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "harness/scripted_server.h"
#include "platform/http.h"

using TestHarness::CScriptedReply;
using TestHarness::CScriptedServer;

TEST(PlatformHttp, ReadBlockGrowsWithAStreamingBodyAndNotWithATrickle) {
  std::string streamed(3 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < streamed.size(); ++i) streamed[i] = static_cast<char>((i * 7919) >> 5);
  const std::string trickled(3000, 't');
  CScriptedServer server([&](const TestHarness::ScriptedRequest& r) {
    if (r.requestLine.find("/streamed") != std::string::npos) return CScriptedReply::Response(200, "OK", streamed);
    return CScriptedReply()
        .Send(CScriptedReply::Head(200, "OK", {}, static_cast<long long>(trickled.size())))
        .Trickle(trickled, 100, 10);
  });
  ASSERT_TRUE(server.Start());
  Platform::HttpAddress address;
  ASSERT_TRUE(Platform::ParseHttpUrl(L"http://" + server.Address() + L"/", &address));
  Platform::CHttpSession session;
  ASSERT_FALSE(session.Open(L"test", address, Platform::HttpTimeouts{}));

  struct Row {
    const wchar_t* path;
    const std::string* body;
    std::size_t largestAtLeast;  // the largest read
    std::size_t largestAtMost;
  };
  const Row rows[] = {
      {L"/streamed", &streamed, 128 * 1024, 256 * 1024},
      // Never enough at hand to count as streaming: each piece as it comes.
      {L"/trickled", &trickled, 1, 8 * 1024 - 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.path, row.path + std::wcslen(row.path)));
    Platform::CHttpRequest request;
    ASSERT_FALSE(session.Send(Platform::HttpMethod::Get, row.path, nullptr, &request));
    ASSERT_EQ(request.Status(), 200u);
    std::string received;
    std::vector<char> buffer(256 * 1024);
    std::size_t largest = 0;
    for (int reads = 0; reads < 100000; ++reads) {
      std::size_t got = 0;
      ASSERT_EQ(request.ReadBlock(buffer.data(), buffer.size(), &got), 0u);
      if (got == 0) break;
      received.append(buffer.data(), got);
      largest = std::max(largest, got);
    }
    EXPECT_TRUE(received == *row.body) << received.size() << " bytes";
    EXPECT_GE(largest, row.largestAtLeast);
    EXPECT_LE(largest, row.largestAtMost);
  }
  session.Close();
  server.Stop();
}
