// Classes of the ASCII units that end names and values, shared by the
// parser and the document's name and attribute reads. Internal to the xml
// library.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cwchar>

namespace xml_chars {

// Units from 0x80 up (and negative wchar_t values) belong to no class.
enum : unsigned char {
  kSpace = 1,        // ' ', tab, CR, LF
  kNameEnd = 2,      // a start or end tag name while scanning: space, '/', '>'
  kAttrNameEnd = 4,  // an attribute name: space, '/', '=', '>', '?'
  kTagNameEnd = 8,   // a tag name read back: space and ! " ' / ; < = > ? backslash
  kValueEnd = 16,    // an unquoted attribute value: space, '>'
};

struct ClassTable {
  unsigned char of[128] = {};
  constexpr ClassTable() {
    for (const char c : {' ', '\t', '\n', '\r'}) {
      of[static_cast<int>(c)] = kSpace | kNameEnd | kAttrNameEnd | kTagNameEnd | kValueEnd;
    }
    for (const char c : {'/', '>'}) of[static_cast<int>(c)] |= kNameEnd;
    for (const char c : {'/', '=', '>', '?'}) of[static_cast<int>(c)] |= kAttrNameEnd;
    for (const char c : {'!', '"', '\'', '/', ';', '<', '=', '>', '?', '\\'}) of[static_cast<int>(c)] |= kTagNameEnd;
    of[static_cast<int>('>')] |= kValueEnd;
  }
};
inline constexpr ClassTable kClasses;

inline bool HasClass(wchar_t unit, unsigned char classes) {
  const auto c = static_cast<std::uint32_t>(unit);
  return c < 128 && (kClasses.of[c] & classes) != 0;
}
inline bool IsSpace(wchar_t unit) { return HasClass(unit, kSpace); }

// The first offset in [from, end) whose unit is in one of `classes`, or `end`.
inline std::int32_t FindClass(const wchar_t* text, std::int32_t from, std::int32_t end, unsigned char classes) {
  while (from < end && !HasClass(text[from], classes)) ++from;
  return from;
}

// The first offset in [from, end) holding `unit`, or `end`. (The C
// library's search is much faster than a loop here over long values.)
inline std::int32_t FindUnit(const wchar_t* text, std::int32_t from, std::int32_t end, wchar_t unit) {
  if (from >= end) return end;
  const wchar_t* hit = std::wmemchr(text + from, unit, static_cast<std::size_t>(end - from));
  return hit != nullptr ? static_cast<std::int32_t>(hit - text) : end;
}

}  // namespace xml_chars
