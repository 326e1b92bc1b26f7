// The service's rules that need no platform: the validator form, which
// credentials challenges may be answered over plain http, and the log lines
// of the refusals.
#include <cstdint>

#include "platform/http.h"

namespace Platform {
namespace {

bool IsVisibleAscii(wchar_t c) { return c >= 0x21 && c <= 0x7E; }

wchar_t AsciiUpper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 0x20) : c; }

bool SameAsciiNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

bool IsStandardValidator(std::wstring_view text) {
  if (text.empty() || text.size() > kMaxValidatorLength) return false;
  if (text.front() == L'"') {
    // An entity tag: quoted, no quote inside.
    if (text.size() < 2 || text.back() != L'"') return false;
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
      if (!IsVisibleAscii(text[i]) || text[i] == L'"') return false;
    }
    return true;
  }
  // A date: words of visible characters between single spaces.
  if (text.front() == L' ' || text.back() == L' ') return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L' ') {
      if (text[i - 1] == L' ') return false;
    } else if (!IsVisibleAscii(text[i])) {
      return false;
    }
  }
  return true;
}

bool AllowsCredentialsOverHttp(const std::vector<std::wstring>& challenges) {
  bool safe = false;
  bool basic = false;
  for (const std::wstring& value : challenges) {
    // Elements between commas outside quoted strings; an element whose first
    // token is followed by '=' is a parameter of the challenge before it,
    // any other element begins a challenge with its scheme's name.
    std::size_t at = 0;
    while (at <= value.size()) {
      std::size_t end = at;
      bool quoted = false;
      for (; end < value.size(); ++end) {
        if (value[end] == L'\\' && quoted && end + 1 < value.size()) {
          ++end;
        } else if (value[end] == L'"') {
          quoted = !quoted;
        } else if (value[end] == L',' && !quoted) {
          break;
        }
      }
      std::size_t begin = at;
      while (begin < end && IsSpace(value[begin])) ++begin;
      std::size_t tokenEnd = begin;
      while (tokenEnd < end && !IsSpace(value[tokenEnd]) && value[tokenEnd] != L'=') ++tokenEnd;
      std::size_t next = tokenEnd;
      while (next < end && IsSpace(value[next])) ++next;
      const bool parameter = next < end && value[next] == L'=' && !(next + 1 < end && value[next + 1] == L'=');
      if (tokenEnd > begin && !parameter) {
        const std::wstring_view scheme(value.data() + begin, tokenEnd - begin);
        if (SameAsciiNoCase(scheme, L"Basic")) basic = true;
        for (const wchar_t* name : {L"NTLM", L"Negotiate", L"Digest", L"Kerberos"}) {
          if (SameAsciiNoCase(scheme, name)) safe = true;
        }
      }
      at = end + 1;
    }
  }
  return safe && !basic;
}

std::wstring DescribeHttpFailure(const HttpFailure& failure) {
  switch (failure.cause) {
    case HttpCause::kPlatform:
      return {};
    case HttpCause::kResumeValidator:
      return L"The staged part cannot be resumed: its validator is not in its standard form";
    case HttpCause::kRedirectLeavesHttps:
      return L"Redirect refused: " + failure.url + L" redirects to " + failure.location + L", which leaves https";
    case HttpCause::kRedirectOtherServer:
      return L"Redirect refused: " + failure.url + L" redirects to " + failure.location +
             L", another server (only redirects on the same server are followed)";
    case HttpCause::kTooManyRedirects:
      return L"Redirect refused: more than " + std::to_wstring(kMaxRedirects) + L" redirects, the last from " +
             failure.url + L" to " + failure.location;
    case HttpCause::kRedirectNoAddress:
      return L"Redirect refused: " + failure.url + L" redirects to \"" + failure.location +
             L"\", which is no http or https address";
    case HttpCause::kPasswordInClear:
      return L"Credentials refused: " + failure.url +
             L" asks for a password that would travel in clear over plain http (Basic authentication); use the "
             L"server's https address (or set the machine policy HKEY_LOCAL_MACHINE\\" +
             std::wstring(kPolicyKey) + L" " + kAllowBasicOverHttpValue + L" = 1)";
    case HttpCause::kPageTooSlow:
      return L"The server's page for " + failure.url + L" did not arrive in time";
    case HttpCause::kConnectionSpent:
      return L"Request not sent: " + failure.url +
             L"; an earlier answer could not be read off the connection in time, and one is left open already";
  }
  return {};
}

}  // namespace Platform
