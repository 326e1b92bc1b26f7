// Parsing the parts of HTTP that need no platform.
#include <cstdint>

#include "platform/http.h"

namespace Platform {
namespace {

// Reads a plain decimal number at text[*at], moving *at past it.
bool ReadNumber(const std::wstring& text, std::size_t* at, std::uint64_t* value) {
  const std::size_t start = *at;
  std::uint64_t v = 0;
  while (*at < text.size() && text[*at] >= L'0' && text[*at] <= L'9') {
    if (v > (UINT64_MAX - 9) / 10) return false;
    v = v * 10 + static_cast<std::uint64_t>(text[*at] - L'0');
    ++*at;
  }
  *value = v;
  return *at > start;
}

bool Expect(const std::wstring& text, std::size_t* at, wchar_t c) {
  if (*at >= text.size() || text[*at] != c) return false;
  ++*at;
  return true;
}

}  // namespace

bool ParseContentRange(const std::wstring& text, HttpContentRange* out) {
  static const std::wstring kUnit = L"bytes ";
  if (text.compare(0, kUnit.size(), kUnit) != 0) return false;
  std::size_t at = kUnit.size();
  HttpContentRange range;
  if (Expect(text, &at, L'*')) {
    range.unsatisfied = true;
  } else if (!ReadNumber(text, &at, &range.first) || !Expect(text, &at, L'-') ||
             !ReadNumber(text, &at, &range.last) || range.first > range.last) {
    return false;
  }
  if (!Expect(text, &at, L'/')) return false;
  if (Expect(text, &at, L'*')) {
    // "bytes */*" says nothing at all.
    if (range.unsatisfied) return false;
  } else {
    if (!ReadNumber(text, &at, &range.total)) return false;
    range.totalKnown = true;
    if (!range.unsatisfied && range.last >= range.total) return false;
  }
  if (at != text.size()) return false;
  *out = range;
  return true;
}

}  // namespace Platform
