#include "manifest/version_compare.h"

#include <cstdint>
#include <limits>
#include <vector>

namespace {

std::vector<std::wstring> SplitVersion(const std::wstring& text) {
  const std::wstring separator = FindVersionSeparator(text);
  std::vector<std::wstring> parts;
  if (separator.empty()) {
    parts.push_back(text);
  } else {
    std::size_t from = 0;
    for (;;) {
      const std::size_t at = text.find(separator, from);
      if (at == std::wstring::npos) break;
      parts.push_back(text.substr(from, at - from));
      from = at + separator.size();
    }
    parts.push_back(text.substr(from));
  }
  for (std::wstring& part : parts) std::erase(part, L' ');
  return parts;
}

bool IsBlank(wchar_t c) { return c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r'; }

// Leading whitespace, an optional sign and decimal digits, as the C library
// reads an integer; anything after the digits is ignored. Only ASCII digits
// count. Saturates rather than wrapping, so very long numbers still compare
// in the right order.
std::int64_t ReadComponent(const std::wstring& text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    const int digit = text[i] - L'0';
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  return negative ? -value : value;
}

}  // namespace

std::wstring FindVersionSeparator(const std::wstring& text) {
  for (const wchar_t candidate : {L'.', L',', L'_', L'|', L'-', L' '}) {
    if (text.find(candidate) != std::wstring::npos) return std::wstring(1, candidate);
  }
  return std::wstring();
}

int CompareVersionStrings(const std::wstring& first, const std::wstring& second) {
  const std::vector<std::wstring> a = SplitVersion(first);
  const std::vector<std::wstring> b = SplitVersion(second);
  for (std::size_t i = 0; i < static_cast<std::size_t>(kVersionComponentLimit); ++i) {
    if (i >= a.size() && i >= b.size()) break;
    const std::int64_t x = i < a.size() ? ReadComponent(a[i]) : 0;
    const std::int64_t y = i < b.size() ? ReadComponent(b[i]) : 0;
    if (x < y) return kVersionLower;
    if (x > y) return kVersionHigher;
  }
  return kVersionEqual;
}
