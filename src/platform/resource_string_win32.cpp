#include "platform/resource_string.h"

#include "platform/windows_api.h"

namespace Platform {

std::wstring LoadResourceString(unsigned id) {
  // With a zero buffer size LoadStringW hands out a read-only pointer to the
  // resource text itself, which need not end in a NUL.
  const wchar_t* text = nullptr;
  const int length = ::LoadStringW(::GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0 || !text) return std::wstring();
  return std::wstring(text, static_cast<std::size_t>(length));
}

}  // namespace Platform
