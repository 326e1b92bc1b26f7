// UTF-8 bytes to UTF-16 text: the decoding step between downloaded or stored
// bytes and the text a CXmlDocument works on. Lenient by design: invalid
// sequences become '?', a NUL byte ends the text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Decodes one UTF-8 sequence at `cursor` and advances `cursor` past it.
// Returns the code point, or -1 for an invalid sequence (a lead byte F8..FF,
// or a continuation missing before `end` or below 0x80, which is then left
// unconsumed). Any byte of 0x80 or above counts as a continuation; overlong
// forms, surrogates and values above 0x10FFFF are not rejected.
// Precondition: cursor < end.
std::int32_t DecodeUtf8Char(const unsigned char*& cursor, const unsigned char* end);

// With `out`: writes the UTF-16 units of `bytes[0..count)` to `out` and
// returns the number of input bytes consumed. Without `out` (nullptr):
// writes nothing and returns the number of units the input yields.
// Invalid sequences become '?'; code points above 0xFFFF become surrogate
// pairs. A NUL ends the conversion: it is stored in `out` (and counted in
// the bytes consumed) but not counted when measuring. At most one unit is
// written per input byte, so `out` needs room for `count` units; nothing is
// NUL-terminated unless a NUL was decoded. A negative count converts nothing.
std::int32_t Utf8ToWide(wchar_t* out, const char* bytes, std::int32_t count);

// The text that `bytes` decodes to, up to (not including) the first NUL.
std::wstring Utf8ToWide(std::string_view bytes);
