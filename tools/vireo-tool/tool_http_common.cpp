#include "platform/text.h"
#include "tool_http.h"

namespace VireoTool {

std::string EncodeRequestTarget(const std::wstring& path) {
  std::wstring slashed = path;
  for (wchar_t& c : slashed) {
    if (c == L'\\') c = L'/';
  }
  std::string bytes;
  if (!Platform::WideToCodePage(slashed, 1252, &bytes)) bytes = Platform::ToUtf8(slashed);
  static const char kHex[] = "0123456789ABCDEF";
  std::string target;
  for (const char ch : bytes) {
    const auto b = static_cast<unsigned char>(ch);
    if (b <= 0x20 || b >= 0x7F || b == '"' || b == '<' || b == '>' || b == '`' || b == '{' || b == '}' || b == '|' ||
        b == '^') {
      target += '%';
      target += kHex[b >> 4];
      target += kHex[b & 15];
    } else {
      target += ch;
    }
  }
  return target;
}

}  // namespace VireoTool
