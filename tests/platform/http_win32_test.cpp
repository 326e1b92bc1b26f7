// The HTTP service against a server in the test process: blocks that grow
// once a body streams, a trickle still handed over piece by piece, and the
// validators it keeps and sends back.
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

TEST(PlatformHttp, OnlyStandardValidatorsAreKeptAndSentBack) {
  // The validator headers each path's response carries.
  const struct {
    const char* path;
    std::vector<std::string> headers;
    const wchar_t* validator;
  } rows[] = {
      {"/tag", {"ETag: \"v1-abc\"", "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT"}, L"\"v1-abc\""},
      {"/weak", {"ETag: W/\"v1\"", "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT"}, L"Sun, 06 Nov 1994 08:49:37 GMT"},
      {"/cr", {"ETag: \"a\rb\""}, L""},
      {"/crdate", {"ETag: \"a\rb\"", "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT"},
       L"Sun, 06 Nov 1994 08:49:37 GMT"},
      {"/long", {"ETag: \"" + std::string(300, 'x') + "\""}, L""},
      {"/latin1", {"ETag: \"caf\xE9\""}, L""},
  };
  CScriptedServer server([&](const TestHarness::ScriptedRequest& r) {
    for (const auto& row : rows) {
      if (r.requestLine == std::string("GET ") + row.path + " HTTP/1.1")
        return CScriptedReply::Response(200, "OK", "body", row.headers);
    }
    return CScriptedReply::Response(404, "Not Found", "");
  });
  ASSERT_TRUE(server.Start());
  Platform::HttpAddress address;
  ASSERT_TRUE(Platform::ParseHttpUrl(L"http://" + server.Address() + L"/", &address));
  Platform::CHttpSession session;
  ASSERT_FALSE(session.Open(L"test", address, Platform::HttpTimeouts{}));
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    Platform::CHttpRequest request;
    ASSERT_FALSE(session.Send(Platform::HttpMethod::Get, std::wstring(row.path, row.path + std::strlen(row.path)),
                              nullptr, &request));
    EXPECT_EQ(request.ResumeValidator(), row.validator);
  }
  // A validator in another form is never sent: the resume fails as a
  // distinct failure before anything goes out, with no request left open.
  const std::size_t before = server.Requests().size();
  Platform::CHttpRequest request;
  const Platform::HttpResume resume{100, L"\"a\rb\""};
  const Platform::HttpFailure failure = session.Send(Platform::HttpMethod::Get, L"/tag", nullptr, &request, &resume);
  EXPECT_EQ(failure.step, Platform::HttpStep::kOpen);
  EXPECT_EQ(failure.cause, Platform::HttpCause::kResumeValidator);
  EXPECT_EQ(failure.code, Platform::kErrorInvalidParameter);
  EXPECT_FALSE(request.IsOpen());
  EXPECT_EQ(server.Requests().size(), before);
  // The same resume with the tag as it came: a request for the rest.
  const Platform::HttpResume good{1, L"\"v1-abc\""};
  ASSERT_FALSE(session.Send(Platform::HttpMethod::Get, L"/tag", nullptr, &request, &good));
  request.Close();
  ASSERT_FALSE(server.Requests().empty());
  EXPECT_EQ(server.Requests().back().Header("If-Range"), "\"v1-abc\"");
  EXPECT_EQ(server.Requests().back().Header("Range"), "bytes=1-");
  session.Close();
  server.Stop();
}
