#include "manifest/fetch_exception.h"

#include <cstdarg>
#include <cwchar>
#include <vector>

#include "platform/resource_string.h"

CMyException::CMyException(unsigned resourceId) : message_(Platform::LoadResourceString(resourceId)) {}

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
