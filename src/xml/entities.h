// Character references in markup text: decoding of numeric references, the
// five XML entities and the named character entities of HTML 4.01, and
// escaping of the markup characters in attribute form.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Decodes "&#NN;", "&#xHH;" and "&name;" references in `text`. A name is 0 to
// 9 ASCII units before ';'. Names that differ only in letter case are told
// apart: an exact-case match wins ("&oslash;" U+00F8, "&Oslash;" U+00D8), and
// the case-folded match is the fallback ("&AMP;" is '&'). Values above 0xFFFF
// become surrogate pairs. Anything that is not a reference (unknown name,
// value 0, no ';') is copied unchanged. `flags` are the document's flags;
// none of them changes the result today.
std::wstring UnescapeText(std::wstring_view text, std::uint32_t flags = 0);

// `text` with '<', '&', '>', '"' and '\'' replaced by "&lt;", "&amp;",
// "&gt;", "&quot;" and "&apos;" (attribute form); all else copied.
std::wstring EscapeText(std::wstring_view text);

// The code point of the named entity `name` (without '&' and ';'), looked up
// as UnescapeText does: exact case first, then case-folded. 0 when unknown.
std::int32_t LookupEntity(std::wstring_view name);
