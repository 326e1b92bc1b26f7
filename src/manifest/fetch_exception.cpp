#include "manifest/fetch_exception.h"

#include <cstdarg>
#include <cwchar>
#include <vector>

#include "platform/windows_api.h"

CMyException::CMyException(unsigned resourceId) {
  // With a zero buffer size LoadStringW hands out a read-only pointer to the
  // resource text itself, which need not end in a NUL.
  const wchar_t* text = nullptr;
  const int length = ::LoadStringW(::GetModuleHandleW(nullptr), resourceId, reinterpret_cast<LPWSTR>(&text), 0);
  if (length > 0 && text) message_.assign(text, static_cast<std::size_t>(length));
}

CMyException::CMyException(const wchar_t* format, ...) {
  if (!format) return;
  std::vector<wchar_t> buffer(256);
  for (;;) {
    va_list args;
    va_start(args, format);
    const int n = std::vswprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    if (n >= 0 && static_cast<std::size_t>(n) < buffer.size()) {
      message_.assign(buffer.data(), static_cast<std::size_t>(n));
      return;
    }
    if (buffer.size() >= (1u << 20)) {  // a format that cannot be printed
      message_ = format;
      return;
    }
    buffer.resize(buffer.size() * 4);
  }
}
