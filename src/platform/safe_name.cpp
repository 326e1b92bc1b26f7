#include "platform/safe_name.h"

#include "platform/case_fold.h"

#include <string_view>

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Units Windows refuses in a file name, besides the separators and ':'.
bool IsForbiddenUnit(wchar_t c) {
  if (c < 0x20 || c == 0x7F) return true;
  switch (c) {
    case L'<': case L'>': case L'"': case L'|': case L'?': case L'*': return true;
    default: return false;
  }
}

// Windows drops trailing dots and spaces from a path component, so a
// component made only of dots and spaces with two or more dots climbs up.
bool ClimbsUp(std::wstring_view component) {
  int dots = 0;
  for (const wchar_t c : component) {
    if (c == L'.') {
      ++dots;
    } else if (c != L' ') {
      return false;
    }
  }
  return dots >= 2;
}

// Windows opens the device for such a component, whatever follows the first
// dot and however many spaces stand before it.
bool IsDeviceName(std::wstring_view component) {
  std::wstring_view base = component.substr(0, component.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
  for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
    if (Platform::EqualsIgnoringCase(base, device)) return true;
  }
  if (base.size() == 4 && (Platform::EqualsIgnoringCase(base.substr(0, 3), L"COM") || Platform::EqualsIgnoringCase(base.substr(0, 3), L"LPT"))) {
    const wchar_t n = base[3];
    return (n >= L'0' && n <= L'9') || n == L'\x00B9' || n == L'\x00B2' || n == L'\x00B3';
  }
  return false;
}

bool IsPlainComponent(std::wstring_view component) {
  if (component.empty() || component == L".") return true;
  if (ClimbsUp(component) || IsDeviceName(component)) return false;
  const wchar_t last = component.back();
  return last != L'.' && last != L' ';
}

}  // namespace

bool IsContainedRelativePath(const std::wstring& name) {
  if (name.empty() || IsSeparator(name[0])) return false;  // rooted, UNC, \\?\ and \\.\ prefixes
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && !IsSeparator(name[i])) {
      if (name[i] == L':' || IsForbiddenUnit(name[i])) return false;
      continue;
    }
    if (!IsPlainComponent(std::wstring_view(name).substr(start, i - start))) return false;
    start = i + 1;
  }
  return true;
}

bool AnyPathPart(std::wstring_view path, const std::function<bool(std::wstring_view)>& test) {
  for (std::size_t start = 0;;) {
    const std::size_t end = path.find_first_of(L"\\/", start);
    if (test(path.substr(start, end == std::wstring_view::npos ? std::wstring_view::npos : end - start))) return true;
    if (end == std::wstring_view::npos) return false;
    start = end + 1;
  }
}
