// The node scanner behind ScanNode, written once for both forms in which a
// document keeps its text: one byte per unit (every unit below 0x100) or
// wchar_t units. Internal to the xml library.
#pragma once
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>

#include "xml/unit_copy.h"
#include "xml/xml_parser.h"

namespace xml_detail {

// The text [0, length) and where the next node starts; see XmlScanContext.
template <typename Unit>
struct ScanState {
  const Unit* text = nullptr;
  std::int32_t length = 0;
  std::int32_t position = 0;
  std::int32_t nameFirst = 0;
  std::int32_t nameLast = -1;
  std::wstring* diagnostics = nullptr;
};

// Classes of the ASCII units that end names and values; units from 0x80 up
// (and negative wchar_t values) belong to none.
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

inline bool HasClass(std::int32_t c, unsigned char classes) {
  return static_cast<std::uint32_t>(c) < 128 && (kClasses.of[c] & classes) != 0;
}
inline bool IsSpace(std::int32_t c) { return HasClass(c, kSpace); }

template <typename Unit>
inline std::int32_t At(const Unit* text, std::int32_t i) {
  return static_cast<std::int32_t>(text[i]);
}

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
template <typename Unit>
inline std::int32_t FindClassIn(const Unit* text, std::int32_t from, std::int32_t end, unsigned char classes) {
#ifdef VIREO_XML_SSE2
  if constexpr (sizeof(Unit) == 1) {
    const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i low = _mm_set1_epi8(static_cast<char>(0x40 ^ 0x80));
    const __m128i backslash = _mm_set1_epi8('\\');
    while (end - from >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + from));
      // Unsigned v < 0x40 is signed (v ^ 0x80) < (0x40 ^ 0x80).
      const __m128i candidates =
          _mm_or_si128(_mm_cmplt_epi8(_mm_xor_si128(v, flip), low), _mm_cmpeq_epi8(v, backslash));
      for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(candidates)); mask != 0; mask &= mask - 1) {
        const std::int32_t at = from + __builtin_ctz(mask);
        if (HasClass(text[at], classes)) return at;
      }
      from += 16;
    }
  }
#endif
  while (from < end && !HasClass(At(text, from), classes)) ++from;
  return from;
}

// The first offset in [from, end) holding `c`, or `end`; no NUL stops it.
template <typename Unit>
inline std::int32_t FindUnitIn(const Unit* text, std::int32_t from, std::int32_t end, std::int32_t c) {
  if (from >= end) return end;
  if constexpr (sizeof(Unit) == 1) {
    if (c < 0 || c > 0xFF) return end;
    const auto u = static_cast<unsigned char>(c);
    return static_cast<std::int32_t>(FindByte(text, static_cast<std::size_t>(from), static_cast<std::size_t>(end), u, u));
  } else {
    const wchar_t* hit = std::wmemchr(text + from, static_cast<wchar_t>(c), static_cast<std::size_t>(end - from));
    return hit ? static_cast<std::int32_t>(hit - text) : end;
  }
}

// The text from `p`, n units, as UTF-16 text.
template <typename Unit>
std::wstring Widen(const Unit* p, std::size_t n) {
  if constexpr (sizeof(Unit) == sizeof(wchar_t)) {
    return std::wstring(reinterpret_cast<const wchar_t*>(p), n);
  } else {
    std::wstring text(n, L'\0');
    WidenBytes(text.data(), p, n);
    return text;
  }
}

// `kNulFree`: the caller knows that no unit before `length` is NUL (a
// document's own text), so only the length bounds the scan.
template <typename Unit, bool kNulFree>
class CNodeScanner {
 public:
  CNodeScanner(ScanState<Unit>& state, XmlNodeToken& token)
      : c_(state), t_(token), text_(state.text), length_(state.length), start_(state.position) {}

  std::int32_t Run() {
    t_ = XmlNodeToken{};
    t_.start = start_;
    std::int32_t i = start_;
    if (AtEnd(i)) return Finish(kXmlNodeEnd, i);
    const std::int32_t first = text_[i];
    if (first != '<') return Text(i);
    ++i;
    if (AtEnd(i)) return Unterminated(kUnknownTag);
    const std::int32_t second = text_[i];
    if (second == '/') return EndTag(i + 1);
    if (second == '?') return Processing(i + 1);
    if (second == '!') return Exclamation(i + 1);
    if (IsStartTagLead(second)) return StartTag(i);
    return Malformed(L"first_tag_syntax", i);
  }

 private:
  // What is being scanned, as far as it is known.
  static constexpr std::int32_t kUnknownTag = 1000;

  static bool IsNameEnd(std::int32_t c) { return HasClass(c, kNameEnd); }
  // Any unit from 'a' up counts, so names may use any letters beyond ASCII.
  static bool IsStartTagLead(std::int32_t c) {
    return (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 'a';
  }

  static const wchar_t* TypeName(std::int32_t kind) {
    switch (kind) {
      case kXmlNodeStartTag: return L"start_tag";
      case kXmlNodeEndTag: return L"end_tag";
      case kXmlNodeCData: return L"cdata_section";
      case kXmlNodeProcessing: return L"processing_instruction";
      case kXmlNodeComment: return L"comment";
      case kXmlNodeDoctype: return L"document_type";
      default: return L"tag";
    }
  }

  bool AtEnd(std::int32_t i) const {
    if constexpr (kNulFree) {
      return i >= length_;
    } else {
      return i >= length_ || text_[i] == 0;
    }
  }
  std::int32_t At(std::int32_t i) const { return static_cast<std::int32_t>(text_[i]); }

  // The first offset from i that holds `u` or is at the end.
  std::int32_t FindUnit(std::int32_t i, std::int32_t u) const {
    if constexpr (kNulFree) {
      return i >= length_ ? i : FindUnitIn(text_, i, length_, u);
    } else {
      while (!AtEnd(i) && At(i) != u) ++i;
      return i;
    }
  }

  std::int32_t Finish(std::int32_t kind, std::int32_t end) {
    t_.kind = kind;
    t_.length = end - start_;
    c_.position = end;
    return kind;
  }

  std::int32_t Unterminated(std::int32_t kind) {
    AddDiagnostic(*c_.diagnostics, L"unterminated_tag_syntax", L"type", TypeName(kind), start_);
    std::int32_t end = start_;
    while (!AtEnd(end)) ++end;
    return Finish(kXmlNodeMalformed, end);
  }

  // Text runs to the next '<'; it is whitespace-only until another unit shows.
  std::int32_t Text(std::int32_t i) {
    while (!AtEnd(i) && IsSpace(At(i))) ++i;
    if (AtEnd(i) || At(i) == '<') return Finish(kXmlNodeWhitespace, i);
    return Finish(kXmlNodeText, FindUnit(i, '<'));
  }

  // Reads a tag name from i; returns the offset after it.
  std::int32_t Name(std::int32_t i) {
    c_.nameFirst = i;
    if constexpr (kNulFree) {
      i = FindClassIn(text_, i, length_, kNameEnd);
    } else {
      while (!AtEnd(i) && !IsNameEnd(At(i))) ++i;
    }
    c_.nameLast = i - 1;
    return i;
  }

  std::int32_t EndTag(std::int32_t i) {
    i = FindUnit(Name(i), '>');
    if (AtEnd(i)) return Unterminated(kXmlNodeEndTag);
    return Finish(kXmlNodeEndTag, i + 1);
  }

  // True when the `tailLength` units before i equal `tail`.
  bool Preceded(std::int32_t i, const char* tail, int tailLength) const {
    for (int k = 0; k < tailLength; ++k) {
      if (At(i - tailLength + k) != static_cast<unsigned char>(tail[k])) return false;
    }
    return true;
  }

  // Ends at the first '>' from `from` on that is preceded by `tail` (one or
  // two units; they may overlap the node's opening, as in "<?>").
  std::int32_t ToClose(std::int32_t kind, std::int32_t from, const char* tail, int tailLength) {
    for (std::int32_t i = FindUnit(from, '>'); !AtEnd(i); i = FindUnit(i + 1, '>')) {
      if (i - tailLength >= start_ && Preceded(i, tail, tailLength)) return Finish(kind, i + 1);
    }
    return Unterminated(kind);
  }

  std::int32_t Processing(std::int32_t i) {
    i = Name(i);
    return ToClose(kXmlNodeProcessing, i, "?", 1);
  }

  std::int32_t Exclamation(std::int32_t i) {
    if (AtEnd(i)) return Unterminated(kUnknownTag);
    const std::int32_t u = At(i);
    if (u == '-') {
      if (AtEnd(i + 1)) return Unterminated(kUnknownTag);
      if (At(i + 1) != '-') return Malformed(L"comment_tag_syntax", i + 1);
      return ToClose(kXmlNodeComment, i + 2, "--", 2);
    }
    if (u == '[') {
      if (AtEnd(i + 1)) return Unterminated(kUnknownTag);
      if (At(i + 1) != 'C') return Malformed(L"cdata_section_syntax", i + 1);
      return ToClose(kXmlNodeCData, i + 2, "]]", 2);
    }
    if (u == 'D') return Doctype(i + 1);
    return Malformed(L"exclamation_tag_syntax", i);
  }

  // A start tag ends at the first '>' outside a quoted value; an unquoted
  // value runs to a space or '>'.
  std::int32_t StartTag(std::int32_t i) {
    i = Name(i);
    bool unquoted = false;  // the tag ended inside an unquoted value
    for (;;) {
      if constexpr (kNulFree && sizeof(Unit) == 1) {
        i = static_cast<std::int32_t>(
            FindByte(text_, static_cast<std::size_t>(i), static_cast<std::size_t>(length_), '=', '>'));
      } else {
        while (!AtEnd(i) && At(i) != '=' && At(i) != '>') ++i;
      }
      if (AtEnd(i) || At(i) == '>') break;
      // '=': a value follows, after optional spaces.
      ++i;
      while (!AtEnd(i) && IsSpace(At(i))) ++i;
      if (AtEnd(i) || At(i) == '>') break;
      const std::int32_t u = At(i);
      if (u == '"' || u == '\'') {
        i = FindUnit(i + 1, u);
        if (AtEnd(i)) break;
        ++i;
        continue;
      }
      unquoted = true;
      ++i;  // the value's first unit, whatever it is
      while (!AtEnd(i) && At(i) != '>' && !IsSpace(At(i))) ++i;
      if (AtEnd(i) || At(i) == '>') break;
      unquoted = false;
      ++i;
    }
    if (AtEnd(i)) return Unterminated(kXmlNodeStartTag);
    // i is the closing '>'. A '/' before it closes the element unless it
    // belongs to an unquoted value ("<a x=1/>").
    // (The name has at least one unit, so i - 1 is inside the tag.)
    if (At(i - 1) == '/' && !unquoted) t_.flags |= kXmlTokenSelfClosed;
    return Finish(kXmlNodeStartTag, i + 1);
  }

  // A document type declaration: to the first '>' outside nested markup.
  std::int32_t Doctype(std::int32_t i) {
    for (; !AtEnd(i); ++i) {
      const std::int32_t u = At(i);
      if (u == '>') return Finish(kXmlNodeDoctype, i + 1);
      if (u != '<') continue;
      // Nested markup.
      if (AtEnd(i + 1)) break;
      const std::int32_t v = At(i + 1);
      if (v == '!') {
        if (AtEnd(i + 2)) break;
        const std::int32_t w = At(i + 2);
        if (w == '-') {
          if (AtEnd(i + 3)) break;
          if (At(i + 3) != '-') return Malformed(L"doctype_tag_syntax", i + 3);
          i = NestedClose(i + 4, "--", 2);
        } else if (w == 'A' || w == 'E' || w == 'N') {
          i = NestedDeclaration(i + 3);
        } else {
          return Malformed(L"doctype_tag_syntax", i + 2);
        }
      } else if (v == '?') {
        i = NestedClose(i + 2, "?", 1);
      } else {
        i = NestedClose(i + 1, "", 0);
      }
      if (i < 0) break;
    }
    return Unterminated(kXmlNodeDoctype);
  }

  // Returns the offset of the '>' that ends nested markup, or -1 at the end.
  std::int32_t NestedClose(std::int32_t i, const char* tail, int tailLength) {
    for (; !AtEnd(i); ++i) {
      if (At(i) == '>' && Preceded(i, tail, tailLength)) return i;
    }
    return -1;
  }

  std::int32_t NestedDeclaration(std::int32_t i) {
    std::int32_t quote = 0;
    for (; !AtEnd(i); ++i) {
      const std::int32_t u = At(i);
      if (quote != 0) {
        if (u == quote) quote = 0;
      } else if (u == '"' || u == '\'') {
        quote = u;
      } else if (u == '>') {
        return i;
      }
    }
    return -1;
  }

  // After a syntax finding: the node runs, with start tag quoting, to the next
  // '>' (included) or '<' (excluded).
  std::int32_t Malformed(const wchar_t* key, std::int32_t i) {
    AddDiagnostic(*c_.diagnostics, key, nullptr, std::wstring(), start_);
    bool valueExpected = false;
    std::int32_t quote = 0;
    bool unquoted = false;
    for (; !AtEnd(i); ++i) {
      const std::int32_t u = At(i);
      if (u == '<') return Finish(kXmlNodeMalformed, i);
      if (quote != 0) {
        if (u == quote) quote = 0;
        continue;
      }
      if (u == '>') return Finish(kXmlNodeMalformed, i + 1);
      if (unquoted) {
        if (IsSpace(u)) unquoted = false;
        continue;
      }
      if (valueExpected) {
        if (IsSpace(u)) continue;
        valueExpected = false;
        if (u == '"' || u == '\'') {
          quote = u;
        } else {
          unquoted = true;
        }
        continue;
      }
      if (u == '=') valueExpected = true;
    }
    return Finish(kXmlNodeMalformed, i);
  }

  ScanState<Unit>& c_;
  XmlNodeToken& t_;
  const Unit* text_;
  std::int32_t length_;
  std::int32_t start_;
};

template <bool kNulFree, typename Unit>
std::int32_t Scan(ScanState<Unit>& state, XmlNodeToken& token) {
  return CNodeScanner<Unit, kNulFree>(state, token).Run();
}

}  // namespace xml_detail
