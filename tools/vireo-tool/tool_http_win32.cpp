// Windows build: the request through the platform's HTTP service, with the
// updater's own request flags, so the server sees the same request path.
#include "platform/http.h"
#include "platform/text.h"
#include "tool_http.h"

namespace VireoTool {
namespace {

constexpr std::uint32_t kTimeoutMs = 30000;
constexpr std::size_t kReadSize = 64 * 1024;

std::string Failure(const char* what, Platform::ErrorCode code) {
  return std::string(what) + " failed, error " + std::to_string(code);
}

}  // namespace

bool HttpGet(const std::wstring& host, std::uint16_t port, const std::wstring& path, bool wantBody, HttpReply* reply,
             std::string* error) {
  *reply = HttpReply();
  Platform::HttpAddress server;
  server.host = host;
  server.port = port;
  Platform::HttpTimeouts timeouts;
  timeouts.connectMs = timeouts.sendMs = timeouts.receiveMs = kTimeoutMs;
  Platform::CHttpSession session;
  if (const Platform::HttpFailure opened = session.Open(L"vireo-tool", server, timeouts); opened) {
    *error = Failure(opened.step == Platform::HttpStep::kOpen ? "InternetOpen" : "InternetConnect", opened.code);
    return false;
  }
  Platform::CHttpRequest request;
  const Platform::HttpFailure sent = session.Send(Platform::HttpMethod::Get, path, nullptr, &request);
  if (sent.cause != Platform::HttpCause::kPlatform) {
    // A redirect or a password the service would not follow.
    *error = Platform::ToUtf8(Platform::DescribeHttpFailure(sent));
    return false;
  }
  switch (sent.step) {
    case Platform::HttpStep::kNone:
      break;
    case Platform::HttpStep::kOpen:
      *error = Failure("HttpOpenRequest", sent.code);
      return false;
    case Platform::HttpStep::kSend:
      *error = Failure("HttpSendRequest", sent.code);
      return false;
    case Platform::HttpStep::kStatus:
      *error = Failure("HttpQueryInfo (status)", sent.code);
      return false;
  }
  reply->status = static_cast<int>(request.Status());
  reply->hasContentLength = request.ContentLength(&reply->contentLength);
  if (!wantBody && reply->hasContentLength) return true;
  std::string buffer(kReadSize, '\0');
  for (;;) {
    std::size_t read = 0;
    if (const Platform::ErrorCode code = request.Read(buffer.data(), buffer.size(), &read); code != 0) {
      *error = Failure("InternetReadFile", code);
      return false;
    }
    if (read == 0) break;
    if (wantBody) reply->body.append(buffer.data(), read);
    reply->bodyLength += read;
  }
  reply->truncated = reply->hasContentLength && reply->bodyLength < reply->contentLength;
  return true;
}

}  // namespace VireoTool
