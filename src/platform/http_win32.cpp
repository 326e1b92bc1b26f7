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
// Redirects are followed by Send under its own rules: WinINet's own
// following takes a redirect from https to plain http without a word (Wine).
constexpr DWORD kNoAutoRedirect = INTERNET_FLAG_NO_AUTO_REDIRECT;
// The longest Location kept; a longer one is no address to follow.
constexpr DWORD kMaxLocationUnits = 2048;
// The most of a 401/407 page that is kept for the caller.
constexpr std::size_t kMaxKeptDeniedBody = 64 * 1024;
// The most of a 401/407 page read before giving up on it.
constexpr std::size_t kMaxDrainedDeniedBody = 1024 * 1024;
// The most of an unread body that closing its request may read off the
// connection (see CHttpRequest::Impl).
constexpr std::uint64_t kMaxDrainedRest = 64 * 1024;
// The piece in which a rest is read off (CHttpRequest::Impl::DrainRest).
constexpr DWORD kDrainPiece = 64 * 1024;
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

HttpFailure Fail(HttpStep step) {
  HttpFailure failure;
  failure.step = step;
  failure.code = LastInternetError();
  return failure;
}

HttpFailure Refuse(HttpCause cause, ErrorCode code, std::wstring url, std::wstring location = {}) {
  HttpFailure failure{HttpStep::kSend, code, cause, std::move(url), std::move(location)};
  if (cause == HttpCause::kResumeValidator) failure.step = HttpStep::kOpen;
  return failure;
}

bool IsRedirect(DWORD status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Every value of one header of the response, e.g. each WWW-Authenticate.
// False when not all could be read (one too long, too many): a caller that
// judges them must then assume the worst.
bool QueryAll(HINTERNET request, DWORD info, std::vector<std::wstring>* values) {
  values->clear();
  for (DWORD index = 0; values->size() < 32;) {
    wchar_t buffer[1024] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t);
    const DWORD asked = index;
    if (!::HttpQueryInfoW(request, info, buffer, &size, &index)) return ::GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND;
    values->emplace_back(buffer, size / sizeof(wchar_t));
    if (index == asked) return false;
  }
  return false;
}

// Whether the credentials dialog may answer this 401 over plain http.
bool MayAskForCredentialsOverHttp(HINTERNET request) {
  std::vector<std::wstring> challenges;
  if (QueryAll(request, HTTP_QUERY_WWW_AUTHENTICATE, &challenges) && AllowsCredentialsOverHttp(challenges)) return true;
  return PolicyAllowsBasicOverHttp();
}

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
  const int length = static_cast<int>(std::wcslen(prefix));
  return text.size() >= static_cast<std::size_t>(length) &&
         ::CompareStringOrdinal(text.c_str(), length, prefix, length, TRUE) == CSTR_EQUAL;
}

}  // namespace

bool PolicyAllowsBasicOverHttp() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  DWORD value = 0;
  DWORD type = 0;
  DWORD size = sizeof value;
  const LSTATUS read =
      ::RegQueryValueExW(key, kAllowBasicOverHttpValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  ::RegCloseKey(key);
  return read == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value && value == 1;
}

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

namespace {

// Reads what the connection has at hand into `buffer`, at most `capacity`
// bytes, waiting (up to the receive timeout) only while nothing is there:
// WinINet's own read waits to fill the whole buffer of a body with a length,
// however slowly it comes. *read 0 at the end of the body.
bool ReadAtHand(HINTERNET request, void* buffer, DWORD capacity, DWORD* read) {
  *read = 0;
  DWORD available = 0;
  if (!::InternetQueryDataAvailable(request, &available, 0, 0)) return false;
  return available == 0 || ::InternetReadFile(request, buffer, std::min(available, capacity), read);
}

}  // namespace

// ---- Requests -----------------------------------------------------------------

// Closing a request whose body was not read to its end reads the rest off
// the connection, to keep it for the next request (Wine's WinINet does so for
// every body with a Content-Length, as long as bytes keep coming). A server
// that declares gigabytes, or a large file given up on, would then hold the
// caller for as long as it sends. The session's first such request is left
// open instead: its handle, and with it its session's, stay to the end of
// the process, and the session's next request takes a new connection. A
// later one is read off to its end within kMaxDrainedAnswer and kMaxDrainMs;
// when it cannot be, it is left open too and the session sends nothing more
// (the run ends), so one session never holds two open while it goes on.
struct SessionState {
  bool keepHandles = false;  // a request was left open: Close leaves the handles
  bool spent = false;        // a second was left open: no more requests
  const std::atomic<bool>* abort = nullptr;  // stops the session's own reads
  bool Aborted() const { return abort && abort->load(); }
};

struct CHttpRequest::Impl {
  CInternetHandle handle;
  std::shared_ptr<SessionState> session;
  bool head = false;
  bool ended = false;  // the end of the body was read
  bool abandoned = false;  // given up on mid-body: never closed as it is (see above)
  std::size_t block = 0;  // ReadBlock's next block; 0: what is at hand
  std::uint64_t bodyRead = 0;
  // The body of a 401/407 read off the connection before the credentials
  // dialog; handed out first when the dialog was not confirmed.
  std::string pending;
  std::size_t pendingUsed = 0;

  ~Impl() {
    if (!handle || (!abandoned && (head || ended))) return;
    std::uint64_t declared = 0;
    const bool known = DeclaredLength(&declared);
    const std::uint64_t rest = known && declared > bodyRead ? declared - bodyRead : 0;
    if (!abandoned && (!known || rest <= kMaxDrainedRest)) return;
    if (session->keepHandles) {
      if (rest != 0 && rest <= kMaxDrainedAnswer && DrainRest(rest)) return;
      session->spent = true;
    }
    (void)handle.Release();
    session->keepHandles = true;
  }

  // Reads the `rest` of the body off the connection, within kMaxDrainMs and
  // the pace floor. True when its end was read.
  bool DrainRest(std::uint64_t rest) {
    const std::uint32_t start = GetTickCountMs();
    const CTransferDeadline deadline(start, kMaxDrainMs);
    CTransferPace pace(start);
    std::unique_ptr<char[]> piece(new char[kDrainPiece]);
    std::uint64_t drained = 0;
    while (drained < rest) {
      if (session->Aborted()) return false;
      DWORD read = 0;
      if (!ReadAtHand(handle.Get(), piece.get(), kDrainPiece, &read) || read == 0) return false;
      drained += read;
      const std::uint32_t now = GetTickCountMs();
      if (drained < rest && (deadline.Expired(now) || !pace.Advance(drained, now))) return false;
    }
    return drained == rest;
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
  DWORD read = 0;
  if (!ReadAtHand(impl_->handle.Get(), buffer, static_cast<DWORD>(std::min<std::size_t>(capacity, 1u << 30)), &read))
    return LastInternetError();
  if (read == 0) impl_->ended = true;  // the end of the body
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

void CHttpSession::WatchAbort(const std::atomic<bool>* abort) {
  abort_ = abort;
  if (impl_) impl_->state->abort = abort;
}

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
  impl->state->abort = abort_;
  impl->root.Reset(::InternetOpenW(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!impl->root) return Fail(HttpStep::kOpen);
  SetTimeouts(impl->root.Get(), timeouts);
  impl->connection.Reset(::InternetConnectW(impl->root.Get(), server.host.c_str(), server.port, L"", L"",
                                            INTERNET_SERVICE_HTTP, 0, 0));
  if (!impl->connection) return Fail(HttpStep::kSend);
  SetTimeouts(impl->connection.Get(), timeouts);
  scheme_ = server.scheme;
  host_ = server.host;
  port_ = server.port;
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
  // Only the standard form is kept: anything else (a control character
  // could end a later header line) is no validator, and the document is
  // then fetched whole.
  std::wstring tag = query(HTTP_QUERY_ETAG);
  if (!tag.empty() && !StartsWithNoCase(tag, L"W/") && IsStandardValidator(tag)) return tag;
  std::wstring date = query(HTTP_QUERY_LAST_MODIFIED);
  return IsStandardValidator(date) ? date : std::wstring();
}

bool CHttpRequest::ContentRange(HttpContentRange* range) const {
  if (!IsOpen()) return false;
  wchar_t buffer[128] = {};
  DWORD size = sizeof buffer - sizeof(wchar_t);
  if (!::HttpQueryInfoW(impl_->handle.Get(), HTTP_QUERY_CONTENT_RANGE, buffer, &size, nullptr)) return false;
  return ParseContentRange(std::wstring(buffer, size / sizeof(wchar_t)), range);
}

namespace {

enum class PageEnd { kEnded, kFailed, kTooLong, kTooSlow };

// Reads the page of a 401/407 or a redirect off the connection, so that the
// connection is free for the next request, keeping up to kMaxKeptDeniedBody
// of it in *kept (if given). A page cut off as too long or too slow (past
// `pageMs` or below the pace floor) leaves its request to be abandoned.
PageEnd DrainPage(HINTERNET request, std::uint32_t pageMs, const SessionState& session, std::string* kept,
                  std::size_t* drained) {
  *drained = 0;
  const std::uint32_t start = GetTickCountMs();
  CTransferDeadline deadline(start, pageMs);
  CTransferPace pace(start);
  while (*drained < kMaxDrainedDeniedBody) {
    if (session.Aborted()) return PageEnd::kTooSlow;  // the caller sees the cancel
    char piece[4096];
    DWORD read = 0;
    if (!ReadAtHand(request, piece, sizeof piece, &read)) return PageEnd::kFailed;
    if (read == 0) return PageEnd::kEnded;
    *drained += read;
    if (kept && kept->size() < kMaxKeptDeniedBody) kept->append(piece, read);
    const std::uint32_t now = GetTickCountMs();
    if (deadline.Expired(now) || !pace.Advance(*drained, now)) return PageEnd::kTooSlow;
  }
  return PageEnd::kTooLong;
}

bool CutOff(PageEnd end) { return end == PageEnd::kTooLong || end == PageEnd::kTooSlow; }

}  // namespace

std::wstring CHttpSession::AddressOf(const std::wstring& path) const {
  const bool https = scheme_ == HttpScheme::Https;
  std::wstring url = https ? L"https://" : L"http://";
  url += host_;
  if (port_ != (https ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT)) url += L":" + std::to_wstring(port_);
  return url + path;
}

HttpFailure CHttpSession::Send(HttpMethod method, const std::wstring& path, void* authOwner, CHttpRequest* request,
                               const HttpResume* resume) {
  request->Close();
  if (!IsOpen()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return Fail(HttpStep::kOpen);
  }
  if (impl_->state->spent) return Refuse(HttpCause::kConnectionSpent, kErrorTransferStalled, AddressOf(path));
  std::wstring headers;
  if (resume && method == HttpMethod::Get) {
    // Validators come from a response; one in any other than the standard
    // form (a CR could end the header line early) is not sent.
    if (!IsStandardValidator(resume->validator)) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return Refuse(HttpCause::kResumeValidator, ERROR_INVALID_PARAMETER, AddressOf(path));
    }
    headers = L"Range: bytes=" + std::to_wstring(resume->from) + L"-\r\nIf-Range: " + resume->validator + L"\r\n";
  }
  const wchar_t* acceptTypes[] = {L"*/*", nullptr};
  DWORD flags = kRequestFlags | kNoAutoRedirect;
  if (scheme_ == HttpScheme::Https) flags |= INTERNET_FLAG_SECURE;

  std::wstring current = path;
  for (int hop = 0;; ++hop) {
    auto impl = std::make_unique<CHttpRequest::Impl>();
    impl->session = impl_->state;
    impl->head = method == HttpMethod::Head;
    impl->handle.Reset(::HttpOpenRequestW(impl_->connection.Get(), method == HttpMethod::Head ? L"HEAD" : L"GET",
                                          current.c_str(), nullptr, nullptr, acceptTypes, flags, 0));
    if (!impl->handle) return Fail(HttpStep::kOpen);
    SetTimeouts(impl->handle.Get(), impl_->timeouts);

    DWORD status = 0;
    for (int round = 0;; ++round) {
      if (!::HttpSendRequestW(impl->handle.Get(), headers.empty() ? nullptr : headers.c_str(),
                              static_cast<DWORD>(headers.size()), nullptr, 0))
        return Fail(HttpStep::kSend);
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
      // Over plain http a password may go out only in a form that hides it
      // (a proxy's 407 is not judged: the way to a proxy is plain anyway).
      if (status == HTTP_STATUS_DENIED && scheme_ == HttpScheme::Http &&
          !MayAskForCredentialsOverHttp(impl->handle.Get())) {
        std::size_t drained = 0;
        const PageEnd end =
            impl->head ? PageEnd::kEnded
                       : DrainPage(impl->handle.Get(), impl_->timeouts.pageMs, *impl_->state, nullptr, &drained);
        impl->ended = end == PageEnd::kEnded;
        impl->abandoned = CutOff(end);
        request->status_ = 0;
        return Refuse(HttpCause::kPasswordInClear, kErrorAccessDenied, AddressOf(current));
      }
      // The connection must be free of the old body before a retry sends on
      // it again. A huge or slow page is cut off, and its request is never
      // closed (closing would read on).
      std::size_t drained = 0;
      const PageEnd end =
          impl->head ? PageEnd::kEnded
                     : DrainPage(impl->handle.Get(), impl_->timeouts.pageMs, *impl_->state, &impl->pending, &drained);
      // A failed read ends the page as its end would.
      impl->ended = end == PageEnd::kEnded || end == PageEnd::kFailed;
      impl->bodyRead = drained;
      impl->abandoned = CutOff(end);
      if (end == PageEnd::kTooSlow) {
        request->status_ = 0;
        return Refuse(HttpCause::kPageTooSlow, kErrorTransferStalled, AddressOf(current));
      }
      // A page that does not end is no answer to give credentials to.
      if (!impl->ended) break;
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
    if (!IsRedirect(status)) {
      request->impl_ = std::move(impl);
      return {};
    }

    // A redirect: followed only on this server, a bounded number of times.
    wchar_t location[kMaxLocationUnits + 1] = {};
    DWORD size = kMaxLocationUnits * sizeof(wchar_t);
    if (!::HttpQueryInfoW(impl->handle.Get(), HTTP_QUERY_LOCATION, location, &size, nullptr)) {
      // No Location: the 3xx is the answer, for the caller to judge.
      if (::GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND) {
        request->impl_ = std::move(impl);
        return {};
      }
      size = 0;
    }
    const std::wstring from = AddressOf(current);
    const std::wstring said(location, size / sizeof(wchar_t));
    request->status_ = 0;
    // The page first, whether the redirect is followed or not: a request
    // closed early would be read on to its end by the platform.
    if (!impl->head) {
      std::size_t drained = 0;
      const PageEnd end = DrainPage(impl->handle.Get(), impl_->timeouts.pageMs, *impl_->state, nullptr, &drained);
      impl->ended = end == PageEnd::kEnded;
      impl->abandoned = CutOff(end);
      if (end == PageEnd::kTooSlow) return Refuse(HttpCause::kPageTooSlow, kErrorTransferStalled, from);
    }
    // A relative Location is resolved against the address asked for.
    std::vector<wchar_t> combined(from.size() + said.size() + 64);
    DWORD combinedSize = static_cast<DWORD>(combined.size());
    HttpAddress target;
    if (said.empty() ||
        !::InternetCombineUrlW(from.c_str(), said.c_str(), combined.data(), &combinedSize, ICU_NO_ENCODE) ||
        !ParseHttpUrl(std::wstring(combined.data(), combinedSize), &target)) {
      return Refuse(HttpCause::kRedirectNoAddress, kErrorRedirectRefused, from, said);
    }
    const std::wstring to(combined.data(), combinedSize);
    if (scheme_ == HttpScheme::Https && target.scheme == HttpScheme::Http)
      return Refuse(HttpCause::kRedirectLeavesHttps, kErrorRedirectLeavesHttps, from, to);
    if (target.scheme != scheme_ || target.port != port_ ||
        ::CompareStringOrdinal(target.host.c_str(), -1, host_.c_str(), -1, TRUE) != CSTR_EQUAL)
      return Refuse(HttpCause::kRedirectOtherServer, kErrorRedirectRefused, from, to);
    if (hop >= kMaxRedirects) return Refuse(HttpCause::kTooManyRedirects, kErrorRedirectRefused, from, to);
    current = target.path;
  }
}

}  // namespace Platform
