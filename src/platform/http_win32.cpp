// The HTTP service over WinINet.
#include "platform/http.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "platform/internet_handle.h"

namespace Platform {
namespace {

// Reload from the server, keep it out of the cache, keep the connection.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION;
static_assert(kRequestFlags == 0x84400000);
// The most of a 401/407 page that is kept for the caller.
constexpr std::size_t kMaxKeptDeniedBody = 64 * 1024;
// The most of a 401/407 page read before giving up on it.
constexpr std::size_t kMaxDrainedDeniedBody = 1024 * 1024;
// The most of an unread body that closing its request may read off the
// connection (see CHttpRequest::Impl).
constexpr std::uint64_t kMaxDrainedRest = 64 * 1024;
// ReadBlock: a piece of at least this much at hand means the body streams;
// blocks start at kFirstBlock, double when filled within kQuickBlockMs (up to
// the caller's capacity), and shrink to a quarter when one took longer than
// kSlowBlockMs (below kFirstBlock: back to reading what is at hand).
constexpr std::size_t kStreamingPiece = 8 * 1024;
constexpr std::size_t kFirstBlock = 64 * 1024;
constexpr std::uint32_t kQuickBlockMs = 50;
constexpr std::uint32_t kSlowBlockMs = 250;

// Set on every handle: WinINet versions differ in what a child inherits.
void SetTimeouts(HINTERNET handle, const HttpTimeouts& timeouts) {
  const std::pair<DWORD, DWORD> options[] = {{INTERNET_OPTION_CONNECT_TIMEOUT, timeouts.connectMs},
                                             {INTERNET_OPTION_SEND_TIMEOUT, timeouts.sendMs},
                                             {INTERNET_OPTION_RECEIVE_TIMEOUT, timeouts.receiveMs}};
  for (auto [option, value] : options) (void)::InternetSetOptionW(handle, option, &value, sizeof value);
}

// The thread's last error after a failed WinINet call, never 0.
ErrorCode LastInternetError() {
  const DWORD error = ::GetLastError();
  return error != 0 ? error : static_cast<ErrorCode>(ERROR_INTERNET_INTERNAL_ERROR);
}

HttpFailure Fail(HttpStep step) { return HttpFailure{step, LastInternetError()}; }

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
  const int length = static_cast<int>(std::wcslen(prefix));
  return text.size() >= static_cast<std::size_t>(length) &&
         ::CompareStringOrdinal(text.c_str(), length, prefix, length, TRUE) == CSTR_EQUAL;
}

}  // namespace

bool HasHttpScheme(const std::wstring& text) {
  return StartsWithNoCase(text, L"http://") || StartsWithNoCase(text, L"https://");
}

bool ParseHttpUrl(const std::wstring& url, HttpAddress* out) {
  if (url.empty()) return false;
  // The canonical form may grow (each escaped character takes three), so ask
  // for the size when the first guess is too small.
  std::vector<wchar_t> canonical(url.size() * 3 + 16);
  DWORD length = static_cast<DWORD>(canonical.size());
  if (!::InternetCanonicalizeUrlW(url.c_str(), canonical.data(), &length, 0)) {
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    canonical.assign(length + 1, L'\0');
    length = static_cast<DWORD>(canonical.size());
    if (!::InternetCanonicalizeUrlW(url.c_str(), canonical.data(), &length, 0)) return false;
  }
  const std::wstring text(canonical.data(), length);

  // Lengths of 1 ask for pointers into text rather than copies.
  URL_COMPONENTSW parts{};
  parts.dwStructSize = sizeof(parts);
  parts.dwSchemeLength = 1;
  parts.dwHostNameLength = 1;
  parts.dwUrlPathLength = 1;
  parts.dwExtraInfoLength = 1;
  if (!::InternetCrackUrlW(text.c_str(), static_cast<DWORD>(text.size()), 0, &parts)) return false;

  HttpAddress parsed;
  if (parts.nScheme == INTERNET_SCHEME_HTTP) {
    parsed.scheme = HttpScheme::Http;
  } else if (parts.nScheme == INTERNET_SCHEME_HTTPS) {
    parsed.scheme = HttpScheme::Https;
  } else {
    return false;
  }
  // Without "scheme://" some WinINet versions report a scheme and no host.
  if (!parts.lpszHostName || parts.dwHostNameLength == 0) return false;
  parsed.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  parsed.path.clear();
  if (parts.lpszUrlPath) parsed.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo) parsed.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (parsed.path.empty() || parsed.path[0] != L'/') parsed.path.insert(0, L"/");
  parsed.port = parts.nPort != 0 ? parts.nPort
                                 : (parsed.scheme == HttpScheme::Https ? INTERNET_DEFAULT_HTTPS_PORT
                                                                       : INTERNET_DEFAULT_HTTP_PORT);
  *out = std::move(parsed);
  return true;
}

// ---- Requests -----------------------------------------------------------------

// Closing a request whose body was not read to its end reads the rest off
// the connection, to keep it for the next request (Wine's WinINet does so for
// every body with a Content-Length, as long as bytes keep coming). A server
// that declares gigabytes, or a large file given up on, would then hold the
// caller for as long as it sends. Such a request is left open instead: its
// handle, and with it its session's, stay to the end of the process, and the
// session's next request takes a new connection. Each of these follows a
// failure or a cancel, which ends the run, so few are ever left.
struct SessionState {
  bool keepHandles = false;  // a request was left open: Close leaves the handles
};

struct CHttpRequest::Impl {
  CInternetHandle handle;
  std::shared_ptr<SessionState> session;
  bool head = false;
  bool ended = false;  // the end of the body was read
  std::size_t block = 0;  // ReadBlock's next block; 0: what is at hand
  std::uint64_t bodyRead = 0;
  // The body of a 401/407 read off the connection before the credentials
  // dialog; handed out first when the dialog was not confirmed.
  std::string pending;
  std::size_t pendingUsed = 0;

  ~Impl() {
    if (!handle || head || ended) return;
    std::uint64_t declared = 0;
    if (!DeclaredLength(&declared) || declared <= bodyRead || declared - bodyRead <= kMaxDrainedRest) return;
    (void)handle.Release();
    session->keepHandles = true;
  }

  // The response's Content-Length, when it is a plain decimal number: a
  // sign, a space or a second value is no length to trust.
  bool DeclaredLength(std::uint64_t* length) const {
    wchar_t buffer[32] = {};
    DWORD size = sizeof buffer;
    if (!::HttpQueryInfoW(handle.Get(), HTTP_QUERY_CONTENT_LENGTH, buffer, &size, nullptr)) return false;
    std::uint64_t value = 0;
    const wchar_t* p = buffer;
    if (*p == 0) return false;
    for (; *p; ++p) {
      if (*p < L'0' || *p > L'9') return false;
      if (value > (UINT64_MAX - 9) / 10) return false;
      value = value * 10 + static_cast<std::uint64_t>(*p - L'0');
    }
    *length = value;
    return true;
  }
};

CHttpRequest::CHttpRequest() = default;
CHttpRequest::~CHttpRequest() = default;
CHttpRequest::CHttpRequest(CHttpRequest&&) noexcept = default;
CHttpRequest& CHttpRequest::operator=(CHttpRequest&&) noexcept = default;

bool CHttpRequest::IsOpen() const { return impl_ && impl_->handle; }

void CHttpRequest::Close() {
  impl_.reset();
  status_ = 0;
}

bool CHttpRequest::ContentLength(std::uint64_t* length) const {
  return IsOpen() && impl_->DeclaredLength(length);
}

ErrorCode CHttpRequest::Read(void* buffer, std::size_t capacity, std::size_t* got) {
  *got = 0;
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (impl_->pendingUsed < impl_->pending.size()) {
    const std::size_t n = std::min(capacity, impl_->pending.size() - impl_->pendingUsed);
    std::memcpy(buffer, impl_->pending.data() + impl_->pendingUsed, n);
    impl_->pendingUsed += n;
    *got = n;
    return 0;
  }
  // What the connection has: waits only while nothing has arrived, so a
  // slow server still lets the caller look at its cancel flag after every
  // piece, and a fast one fills big reads.
  DWORD available = 0;
  if (!::InternetQueryDataAvailable(impl_->handle.Get(), &available, 0, 0)) return LastInternetError();
  if (available == 0) {  // the end of the body
    impl_->ended = true;
    return 0;
  }
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(available, std::min<std::size_t>(capacity, 1u << 30)));
  DWORD read = 0;
  if (!::InternetReadFile(impl_->handle.Get(), buffer, want, &read)) return LastInternetError();
  *got = read;
  impl_->bodyRead += read;
  return 0;
}

ErrorCode CHttpRequest::ReadBlock(void* buffer, std::size_t capacity, std::size_t* got) {
  *got = 0;
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (impl_->block == 0 || impl_->pendingUsed < impl_->pending.size()) {
    const ErrorCode error = Read(buffer, capacity, got);
    if (error == 0 && *got >= kStreamingPiece) impl_->block = kFirstBlock;
    return error;
  }
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(std::min(capacity, impl_->block), 1u << 30));
  const std::uint32_t start = GetTickCountMs();
  DWORD read = 0;
  if (!::InternetReadFile(impl_->handle.Get(), buffer, want, &read)) return LastInternetError();
  const std::uint32_t took = GetTickCountMs() - start;
  if (read == 0) {
    impl_->ended = true;
    return 0;
  }
  impl_->bodyRead += read;
  *got = read;
  if (read == want && took <= kQuickBlockMs) {
    impl_->block = std::min(impl_->block * 2, capacity);
  } else if (took > kSlowBlockMs) {
    impl_->block = impl_->block / 4 >= kFirstBlock ? impl_->block / 4 : 0;
  }
  return 0;
}

// ---- The session ----------------------------------------------------------------

struct CHttpSession::Impl {
  // Declared in opening order so that they close connection first.
  CInternetHandle root;
  CInternetHandle connection;
  HttpTimeouts timeouts;
  std::shared_ptr<SessionState> state = std::make_shared<SessionState>();
};

CHttpSession::CHttpSession() = default;
CHttpSession::~CHttpSession() { Close(); }

bool CHttpSession::IsOpen() const { return impl_ && impl_->connection; }

void CHttpSession::Close() {
  if (!impl_) return;
  if (impl_->state->keepHandles) {
    // Closing them would close the request left open as well.
    (void)impl_->connection.Release();
    (void)impl_->root.Release();
  }
  impl_->connection.Reset();
  impl_->root.Reset();
  impl_.reset();
}

HttpFailure CHttpSession::Open(const std::wstring& agent, const HttpAddress& server, const HttpTimeouts& timeouts) {
  Close();
  auto impl = std::make_unique<Impl>();
  impl->timeouts = timeouts;
  impl->root.Reset(::InternetOpenW(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!impl->root) return Fail(HttpStep::kOpen);
  SetTimeouts(impl->root.Get(), timeouts);
  impl->connection.Reset(::InternetConnectW(impl->root.Get(), server.host.c_str(), server.port, L"", L"",
                                            INTERNET_SERVICE_HTTP, 0, 0));
  if (!impl->connection) return Fail(HttpStep::kSend);
  SetTimeouts(impl->connection.Get(), timeouts);
  scheme_ = server.scheme;
  host_ = server.host;
  impl_ = std::move(impl);
  return {};
}

std::wstring CHttpRequest::ResumeValidator() const {
  if (!IsOpen()) return {};
  const auto query = [&](DWORD info) {
    wchar_t buffer[256] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t);
    if (!::HttpQueryInfoW(impl_->handle.Get(), info, buffer, &size, nullptr)) return std::wstring();
    return std::wstring(buffer, size / sizeof(wchar_t));
  };
  // A weak tag ("W/...") promises equal meaning, not equal bytes: no part
  // of such a document may be joined to another part.
  std::wstring tag = query(HTTP_QUERY_ETAG);
  if (!tag.empty() && !StartsWithNoCase(tag, L"W/")) return tag;
  return query(HTTP_QUERY_LAST_MODIFIED);
}

bool CHttpRequest::ContentRange(HttpContentRange* range) const {
  if (!IsOpen()) return false;
  wchar_t buffer[128] = {};
  DWORD size = sizeof buffer - sizeof(wchar_t);
  if (!::HttpQueryInfoW(impl_->handle.Get(), HTTP_QUERY_CONTENT_RANGE, buffer, &size, nullptr)) return false;
  return ParseContentRange(std::wstring(buffer, size / sizeof(wchar_t)), range);
}

HttpFailure CHttpSession::Send(HttpMethod method, const std::wstring& path, void* authOwner, CHttpRequest* request,
                               const HttpResume* resume) {
  request->Close();
  if (!IsOpen()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return Fail(HttpStep::kOpen);
  }
  const wchar_t* acceptTypes[] = {L"*/*", nullptr};
  DWORD flags = kRequestFlags;
  if (scheme_ == HttpScheme::Https) flags |= INTERNET_FLAG_SECURE;
  auto impl = std::make_unique<CHttpRequest::Impl>();
  impl->session = impl_->state;
  impl->head = method == HttpMethod::Head;
  impl->handle.Reset(::HttpOpenRequestW(impl_->connection.Get(), method == HttpMethod::Head ? L"HEAD" : L"GET",
                                        path.c_str(), nullptr, nullptr, acceptTypes, flags, 0));
  if (!impl->handle) return Fail(HttpStep::kOpen);
  SetTimeouts(impl->handle.Get(), impl_->timeouts);

  std::wstring headers;
  if (resume && method == HttpMethod::Get) {
    // Validators come from a response; one that could end the header line
    // early is not sent.
    if (resume->validator.find_first_of(L"\r\n") != std::wstring::npos) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return Fail(HttpStep::kOpen);
    }
    headers = L"Range: bytes=" + std::to_wstring(resume->from) + L"-\r\nIf-Range: " + resume->validator + L"\r\n";
  }
  for (int round = 0;; ++round) {
    if (!::HttpSendRequestW(impl->handle.Get(), headers.empty() ? nullptr : headers.c_str(),
                            static_cast<DWORD>(headers.size()), nullptr, 0))
      return Fail(HttpStep::kSend);
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!::HttpQueryInfoW(impl->handle.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                          nullptr))
      return Fail(HttpStep::kStatus);
    request->status_ = status;
    impl->pending.clear();
    impl->pendingUsed = 0;
    impl->ended = false;
    impl->bodyRead = 0;
    if (status != HTTP_STATUS_DENIED && status != HTTP_STATUS_PROXY_AUTH_REQ) break;
    // The connection must be free of the old body before a retry sends on
    // it again. A failed read just ends the drain; a huge page is cut off.
    std::size_t drained = 0;
    bool ended = false;
    while (drained < kMaxDrainedDeniedBody) {
      char piece[4096];
      DWORD read = 0;
      if (!::InternetReadFile(impl->handle.Get(), piece, sizeof piece, &read) || read == 0) {
        ended = true;
        break;
      }
      drained += read;
      if (impl->pending.size() < kMaxKeptDeniedBody) impl->pending.append(piece, read);
    }
    impl->ended = ended;
    impl->bodyRead = drained;
    // A page that does not end is no answer to give credentials to.
    if (!ended) break;
    // No proxy to give credentials to: the dialog would have none to name
    // (Wine's fails outright), so this counts as not confirmed.
    if (status == HTTP_STATUS_PROXY_AUTH_REQ && !InternetUsesProxy(impl_->root.Get())) break;
    // Each confirmed answer sends once more; a person who keeps confirming
    // wrong credentials is asked again, a runaway loop is not.
    if (round >= 100) break;
    const DWORD answer = ::InternetErrorDlg(
        authOwner ? static_cast<HWND>(authOwner) : ::GetDesktopWindow(), impl->handle.Get(),
        ERROR_INTERNET_INCORRECT_PASSWORD,
        FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
        nullptr);
    if (answer != ERROR_INTERNET_FORCE_RETRY) break;
  }
  request->impl_ = std::move(impl);
  return {};
}

}  // namespace Platform
