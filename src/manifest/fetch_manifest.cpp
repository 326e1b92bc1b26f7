#include "manifest/fetch_manifest.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "app/update_log.h"
#include "framework/url_parser.h"
#include "manifest/fetch_exception.h"
#include "platform/internet_handle.h"
#include "xml/utf8.h"

namespace {

// String resources of the failure messages.
constexpr unsigned kIdsOpenFailed = 110;
constexpr unsigned kIdsConnectFailed = 111;
constexpr unsigned kIdsNoResponse = 112;
constexpr unsigned kIdsBadStatus = 113;
constexpr unsigned kIdsReadFailed = 114;

// Reload from the server, keep it out of the cache, keep the connection.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION;
static_assert(kRequestFlags == 0x84400000);

constexpr DWORD kReadSize = 1024;
constexpr DWORD kDrainReadSize = 50;

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// A numeric header (status, length) as text; false when the query fails.
bool QueryNumber(HINTERNET request, DWORD what, unsigned long long* value) {
  wchar_t buffer[16] = {};
  DWORD size = sizeof(buffer);  // in bytes
  if (!::HttpQueryInfoW(request, what, buffer, &size, nullptr)) return false;
  *value = std::wcstoull(buffer, nullptr, 10);
  return true;
}

// Reads until a read returns no data, appending to *body. The read size is
// what the caller's protocol step asks for.
bool ReadAll(HINTERNET request, DWORD pieceSize, std::string* body) {
  char buffer[kReadSize];
  for (;;) {
    DWORD got = 0;
    if (!::InternetReadFile(request, buffer, pieceSize, &got)) return false;
    if (got == 0) return true;
    body->append(buffer, got);
  }
}

// Set on every handle: WinINet versions differ in what a request inherits.
void SetTimeouts(HINTERNET handle, DWORD millis) {
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    (void)::InternetSetOptionW(handle, option, &millis, sizeof(millis));
  }
}

}  // namespace

std::wstring MakeManifestUrl(const std::wstring& serverAddress) {
  std::wstring url = serverAddress + L"/update.xml";
  if (!url.empty()) ::CharLowerBuffW(url.data(), static_cast<DWORD>(url.size()));
  if (StartsWith(url, L"http://") || StartsWith(url, L"https://") || url.find(L"http://") != std::wstring::npos) {
    return url;
  }
  return L"http://" + url;
}

bool FetchManifest(const std::wstring& serverAddress, const ManifestFetchSettings& settings, std::wstring* text) {
  CUpdateLog& log = GetUpdateLog();
  // Declared in opening order so that they close request first, root last.
  Platform::CInternetHandle root;
  Platform::CInternetHandle connection;
  Platform::CInternetHandle request;
  try {
    const std::wstring url = MakeManifestUrl(serverAddress);
    CParsedUrl parsed;
    if (!ParseUrl(url, &parsed)) throw CMyException(L"Failed to parse the URL: %ls\n", url.c_str());

    root = Platform::CInternetHandle(
        ::InternetOpenW(settings.agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!root) throw CMyException(kIdsOpenFailed);
    SetTimeouts(root.Get(), settings.timeoutMs);

    connection = Platform::CInternetHandle(::InternetConnectW(root.Get(), parsed.server.c_str(), parsed.port, L"", L"",
                                                    INTERNET_SERVICE_HTTP, 0, settings.context));
    if (!connection) throw CMyException(kIdsConnectFailed);
    SetTimeouts(connection.Get(), settings.timeoutMs);

    const wchar_t* acceptTypes[] = {L"*/*", nullptr};
    const DWORD flags = kRequestFlags | (parsed.service == UrlService::Https ? INTERNET_FLAG_SECURE : 0);
    request = Platform::CInternetHandle(::HttpOpenRequestW(connection.Get(), nullptr, parsed.object.c_str(), nullptr, nullptr,
                                                 acceptTypes, flags, settings.context));
    if (!request) throw CMyException(kIdsConnectFailed);
    SetTimeouts(request.Get(), settings.timeoutMs);

    // The body of a 401/407 whose dialog was not confirmed: it stands as the
    // start of the manifest text.
    std::string body;
    for (;;) {
      body.clear();
      if (!::HttpSendRequestW(request.Get(), nullptr, 0, nullptr, 0)) {
        const DWORD error = ::GetLastError();
        log.WriteLog(L"Failed in call to HttpSendRequest, Error: " + std::to_wstring(error));
        throw CMyException(kIdsConnectFailed);
      }
      unsigned long long status = 0;
      if (!QueryNumber(request.Get(), HTTP_QUERY_STATUS_CODE, &status)) throw CMyException(kIdsNoResponse);
      if (status == HTTP_STATUS_OK) break;
      if (status != HTTP_STATUS_DENIED && status != HTTP_STATUS_PROXY_AUTH_REQ) {
        log.WriteLog(L"Failed to retrieve a HTTP 200 status, Status Code: " + std::to_wstring(status));
        throw CMyException(kIdsBadStatus);
      }
      // The connection must be free of the old body before the dialog's
      // retry sends on it again. A failed drain just ends the drain.
      (void)ReadAll(request.Get(), kDrainReadSize, &body);
      // A 407 from a server reached directly: no proxy to log on to, and the
      // dialog would have no proxy to name. Treated as not confirmed.
      if (status == HTTP_STATUS_PROXY_AUTH_REQ && !Platform::InternetUsesProxy(root.Get())) break;
      HWND owner = settings.authOwner ? settings.authOwner : ::GetDesktopWindow();
      const DWORD answer = ::InternetErrorDlg(owner, request.Get(), ERROR_INTERNET_INCORRECT_PASSWORD,
                                              FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                                  FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
                                              nullptr);
      if (answer != ERROR_INTERNET_FORCE_RETRY) break;
    }

    unsigned long long expected = 0;
    if (!QueryNumber(request.Get(), HTTP_QUERY_CONTENT_LENGTH, &expected)) expected = 0;
    if (expected > body.size() && expected < (1ull << 31)) body.reserve(static_cast<std::size_t>(expected));
    if (!ReadAll(request.Get(), kReadSize, &body)) throw CMyException(kIdsReadFailed);
    if (body.size() < expected) {
      // The connection ended early: a cut-off manifest would drop modules.
      log.WriteLog(L"The manifest ended after " + std::to_wstring(body.size()) + L" of its " +
                   std::to_wstring(expected) + L" bytes");
      throw CMyException(kIdsReadFailed);
    }
    *text = Utf8ToWide(std::string_view(body));
  } catch (const CMyException&) {
    return false;  // the handles close in order as they go out of scope
  }
  return true;
}
