// Classes of the ASCII units that end names and values, and the searches
// for them in either form of a text, shared by the parser and the
// document's name and attribute reads. Internal to the xml library.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>

#include "xml/unit_copy.h"

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

// Every unit that belongs to a class lies below 0x40 or is the backslash,
// which lets the byte form look sixteen units at a time for candidates.
inline constexpr bool ClassUnitsAreLowOrBackslash() {
  for (int c = 0x40; c < 128; ++c) {
    if (c != '\\' && kClasses.of[c] != 0) return false;
  }
  return true;
}
static_assert(ClassUnitsAreLowOrBackslash());

// The first offset in [from, end) whose unit is in one of `classes`, or `end`.
// `Unit` is wchar_t or unsigned char (the byte form).
template <typename Unit>
inline std::int32_t FindClass(const Unit* text, std::int32_t from, std::int32_t end, unsigned char classes) {
#ifdef VIREO_XML_SSE2
  if constexpr (sizeof(Unit) == 1) {
    const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i low = _mm_set1_epi8(static_cast<char>(0x40 ^ 0x80));
    const __m128i backslash = _mm_set1_epi8('\\');
    for (; end - from >= 16; from += 16) {
      const __m128i v = xml_detail::Load16(text + from);
      // Unsigned v < 0x40 is signed (v ^ 0x80) < (0x40 ^ 0x80).
      const __m128i candidates =
          _mm_or_si128(_mm_cmplt_epi8(_mm_xor_si128(v, flip), low), _mm_cmpeq_epi8(v, backslash));
      for (unsigned mask = xml_detail::Mask(candidates); mask != 0; mask &= mask - 1) {
        const std::int32_t at = from + __builtin_ctz(mask);
        if (HasClass(text[at], classes)) return at;
      }
    }
  }
#endif
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
inline std::int32_t FindUnit(const unsigned char* text, std::int32_t from, std::int32_t end, wchar_t unit) {
  if (from >= end || static_cast<std::uint32_t>(unit) > 0xFF) return end;
  const void* hit = std::memchr(text + from, static_cast<int>(unit), static_cast<std::size_t>(end - from));
  return hit != nullptr ? static_cast<std::int32_t>(static_cast<const unsigned char*>(hit) - text) : end;
}

}  // namespace xml_chars
