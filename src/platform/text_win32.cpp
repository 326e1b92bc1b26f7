#include "platform/text.h"
#include "platform/windows_api.h"

namespace Platform {

std::wstring AnsiToWide(const char* bytes, std::size_t count) {
  if (count == 0) return std::wstring();
  const int n = MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, static_cast<int>(count), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, static_cast<int>(count), out.data(), n);
  return out;
}

bool WideToCodePage(const std::wstring& text, unsigned codePage, std::string* out) {
  out->clear();
  if (text.empty()) return true;
  const bool utf8 = codePage == CP_UTF8;
  BOOL usedDefault = FALSE;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int n = WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, utf8 ? nullptr : &usedDefault);
  if (n <= 0 || usedDefault) return false;
  out->resize(static_cast<std::size_t>(n));
  WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), out->data(), n, nullptr,
                      utf8 ? nullptr : &usedDefault);
  return !usedDefault;
}

std::wstring FoldCase(std::wstring_view text) {
  std::wstring out(text);
  if (out.empty()) return out;
  // One unit for one: the invariant upper case never changes the length.
  const int n = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(), static_cast<int>(text.size()),
                                out.data(), static_cast<int>(out.size()), nullptr, nullptr, 0);
  if (n != static_cast<int>(text.size())) {
    // Not expected; ASCII at least still folds.
    out.assign(text);
    for (wchar_t& unit : out) {
      if (unit >= L'a' && unit <= L'z') unit = static_cast<wchar_t>(unit - 0x20);
    }
  }
  return out;
}

// Through FoldCase, so that both always agree.
bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && FoldCase(a) == FoldCase(b);
}

}  // namespace Platform
