#include "engine/engine_strings.h"

#include "platform/windows_api.h"

std::wstring LoadEngineString(unsigned id) {
  // With a zero buffer size LoadStringW hands out a read-only pointer to the
  // resource text itself, which is not terminated.
  const wchar_t* text = nullptr;
  const int length = ::LoadStringW(::GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0 || !text) return std::wstring();
  return std::wstring(text, static_cast<std::size_t>(length));
}
