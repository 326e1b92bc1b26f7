// Splitting an HTTP or HTTPS address into what WinINet's connect and request
// calls take: service type, server name, object path and port.
#pragma once
#include <string>

enum class UrlService {
  Http,   // http://, default port 80
  Https,  // https://, default port 443
};

struct CParsedUrl {
  UrlService service = UrlService::Http;
  std::wstring server;  // host name or address, as written (after canonicalising)
  std::wstring object;  // path with any query, "/" when the address has none
  unsigned short port = 0;  // the address's port, or the scheme's default
};

// Canonicalises url (escapes unsafe characters such as spaces and quotes,
// resolves "." and ".." segments) and splits it. False, with *out unchanged,
// when the text is not an absolute http or https URL with a non-empty server
// name. Thread-safe; url is not modified.
[[nodiscard]] bool ParseUrl(const std::wstring& url, CParsedUrl* out);
