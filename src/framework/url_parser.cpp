#include "framework/url_parser.h"

#include <vector>

#include "platform/windows_api.h"
// WinINet after windows.h.
#include <wininet.h>

bool ParseUrl(const std::wstring& url, CParsedUrl* out) {
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

  CParsedUrl parsed;
  if (parts.nScheme == INTERNET_SCHEME_HTTP) {
    parsed.service = UrlService::Http;
  } else if (parts.nScheme == INTERNET_SCHEME_HTTPS) {
    parsed.service = UrlService::Https;
  } else {
    return false;
  }
  // Without "scheme://" some WinINet versions report a scheme and no host.
  if (!parts.lpszHostName || parts.dwHostNameLength == 0) return false;
  parsed.server.assign(parts.lpszHostName, parts.dwHostNameLength);
  if (parts.lpszUrlPath) parsed.object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo) parsed.object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (parsed.object.empty() || parsed.object[0] != L'/') parsed.object.insert(0, L"/");
  parsed.port = parts.nPort != 0 ? parts.nPort
                                 : (parsed.service == UrlService::Https ? INTERNET_DEFAULT_HTTPS_PORT
                                                                        : INTERNET_DEFAULT_HTTP_PORT);
  *out = std::move(parsed);
  return true;
}
