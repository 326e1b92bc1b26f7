#include "platform/cp1252.h"
#include "platform/text.h"

namespace Platform {

std::wstring AnsiToWide(const char* bytes, std::size_t count) {
  std::wstring out;
  out.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = static_cast<wchar_t>(Cp1252ToUnit(static_cast<unsigned char>(bytes[i])));
  }
  return out;
}

bool WideToCodePage(const std::wstring& text, unsigned codePage, std::string* out) {
  if (codePage == 65001) {
    *out = ToUtf8(text);
    return true;
  }
  if (codePage != 1252) return false;
  out->clear();
  out->reserve(text.size());
  for (wchar_t unit : text) {
    unsigned char byte = 0;
    if (!UnitToCp1252(static_cast<char16_t>(unit), &byte)) return false;
    out->push_back(static_cast<char>(byte));
  }
  return true;
}

}  // namespace Platform
