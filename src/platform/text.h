// Text conversions at the platform boundary.
#pragma once
#include <cstddef>
#include <string>

namespace Platform {

// Decodes bytes in the thread's ANSI code page (posix: Windows-1252, undefined
// bytes kept as their own value, as Windows does) to UTF-16 units.
std::wstring AnsiToWide(const char* bytes, std::size_t count);
// Encodes UTF-16 units in the given Windows code page (1252 and 65001 on every
// build; others on Windows only). False, with *out unspecified, when a unit
// has no encoding in that code page.
bool WideToCodePage(const std::wstring& text, unsigned codePage, std::string* out);
// Strict conversions between UTF-16 units and UTF-8 for OS calls and console
// output; unpaired surrogates become U+FFFD.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

}  // namespace Platform
