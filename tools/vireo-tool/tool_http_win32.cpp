// Windows build: the request through WinINet, opened with the updater's own
// flags (reload, no cache write, keep connection) so the server sees the
// same request path.
#include "platform/windows_api.h"
// WinINet after windows.h.
#include <wininet.h>

#include "tool_http.h"

namespace VireoTool {
namespace {

constexpr DWORD kTimeoutMs = 30000;
constexpr DWORD kRequestFlags = 0x84400000;

class CNetHandle {
 public:
  explicit CNetHandle(HINTERNET h) : h_(h) {}
  ~CNetHandle() {
    if (h_) ::InternetCloseHandle(h_);
  }
  CNetHandle(const CNetHandle&) = delete;
  CNetHandle& operator=(const CNetHandle&) = delete;
  HINTERNET Get() const { return h_; }

 private:
  HINTERNET h_;
};

std::string Failure(const char* what) { return std::string(what) + " failed, error " + std::to_string(::GetLastError()); }

}  // namespace

bool HttpGet(const std::wstring& host, std::uint16_t port, const std::wstring& path, bool wantBody, HttpReply* reply,
             std::string* error) {
  *reply = HttpReply();
  CNetHandle root(::InternetOpenW(L"vireo-tool", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!root.Get()) {
    *error = Failure("InternetOpen");
    return false;
  }
  DWORD timeout = kTimeoutMs;
  for (const DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
    ::InternetSetOptionW(root.Get(), option, &timeout, sizeof timeout);
  CNetHandle connection(
      ::InternetConnectW(root.Get(), host.c_str(), port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection.Get()) {
    *error = Failure("InternetConnect");
    return false;
  }
  LPCWSTR accept[] = {L"*/*", nullptr};
  CNetHandle request(::HttpOpenRequestW(connection.Get(), nullptr, path.c_str(), nullptr, nullptr, accept, kRequestFlags, 0));
  if (!request.Get()) {
    *error = Failure("HttpOpenRequest");
    return false;
  }
  if (!::HttpSendRequestW(request.Get(), nullptr, 0, nullptr, 0)) {
    *error = Failure("HttpSendRequest");
    return false;
  }
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!::HttpQueryInfoW(request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) {
    *error = Failure("HttpQueryInfo (status)");
    return false;
  }
  reply->status = static_cast<int>(status);
  wchar_t lengthText[32] = {};
  DWORD lengthSize = sizeof lengthText;
  if (::HttpQueryInfoW(request.Get(), HTTP_QUERY_CONTENT_LENGTH, lengthText, &lengthSize, nullptr)) {
    std::uint64_t length = 0;
    bool digits = lengthText[0] != 0;
    for (const wchar_t* p = lengthText; *p; ++p) {
      if (*p < L'0' || *p > L'9') digits = false;
      else length = length * 10 + static_cast<std::uint64_t>(*p - L'0');
    }
    reply->hasContentLength = digits;
    reply->contentLength = length;
  }
  if (!wantBody && reply->hasContentLength) return true;
  char buffer[65536];
  for (;;) {
    DWORD read = 0;
    if (!::InternetReadFile(request.Get(), buffer, sizeof buffer, &read)) {
      *error = Failure("InternetReadFile");
      return false;
    }
    if (read == 0) break;
    if (wantBody) reply->body.append(buffer, read);
    reply->bodyLength += read;
  }
  reply->truncated = reply->hasContentLength && reply->bodyLength < reply->contentLength;
  return true;
}

}  // namespace VireoTool
