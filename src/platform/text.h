// Text conversions at the platform boundary.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

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

// The case fold for comparing names as the file system does: each unit mapped
// to its simple upper case (one unit for one, so lengths never change), for
// non-ASCII letters too (é and É, Ж and ж fold together; ß has no single-unit
// upper case and stays). Windows: the system's invariant upper case; posix: a
// table covering Latin-1, Latin Extended-A, Greek and Cyrillic. Any thread.
std::wstring FoldCase(std::wstring_view text);
// Whether two texts are equal under FoldCase, unit by unit (ordinal: no
// locale, no normalisation). Any thread.
bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b);

}  // namespace Platform
