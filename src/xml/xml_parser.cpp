// The node scanner (one left-to-right pass over the units of one node) and
// the builder of the element index from the scanned nodes, both written once
// for the two forms of a text (wchar_t units, or one byte per unit).
#include "xml/xml_parser.h"

#include <algorithm>
#include <chrono>
#include <unordered_map>
#include <vector>

#include "xml/entities.h"
#include "xml/xml_chars.h"
#include "xml/xml_document.h"

using xml_chars::HasClass;
using xml_chars::IsSpace;

// ---------------------------------------------------------------------------
// The node scanner.

namespace {

template <typename Unit>
class CNodeScanner {
 public:
  CNodeScanner(XmlScanContextOf<Unit>& context, XmlNodeToken& token)
      : c_(context), t_(token), text_(context.text), length_(context.length), start_(context.position) {}

  std::int32_t Run() {
    t_ = XmlNodeToken{};
    t_.start = start_;
    std::int32_t i = start_;
    if (AtEnd(i)) return Finish(kXmlNodeEnd, i);
    if (At(i) != '<') return Text(i);
    ++i;
    if (AtEnd(i)) return Unterminated(kUnknownTag);
    const std::int32_t second = At(i);
    if (second == '/') return EndTag(i + 1);
    if (second == '?') return Processing(i + 1);
    if (second == '!') return Exclamation(i + 1);
    if (IsStartTagLead(second)) return StartTag(i);
    return Malformed(L"first_tag_syntax", i);
  }

 private:
  // What is being scanned, as far as it is known.
  static constexpr std::int32_t kUnknownTag = 1000;

  // Any unit from 'a' up counts, so names may use any letters beyond ASCII.
  static bool IsStartTagLead(std::int32_t c) { return (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 'a'; }

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

  bool AtEnd(std::int32_t i) const { return i >= length_; }
  std::int32_t At(std::int32_t i) const { return static_cast<std::int32_t>(text_[i]); }

  // The first offset from i that holds `u` or is at the end.
  std::int32_t FindUnit(std::int32_t i, std::int32_t u) const {
    return xml_chars::FindUnit(text_, i, length_, static_cast<wchar_t>(u));
  }

  std::int32_t Finish(std::int32_t kind, std::int32_t end) {
    t_.kind = kind;
    t_.length = end - start_;
    c_.position = end;
    return kind;
  }

  std::int32_t Unterminated(std::int32_t kind) {
    AddDiagnostic(c_.diagnostics, L"unterminated_tag_syntax", L"type", TypeName(kind), start_);
    return Finish(kXmlNodeMalformed, length_);
  }

  // Text runs to the next '<'; it is whitespace-only until another unit shows.
  std::int32_t Text(std::int32_t i) {
    while (!AtEnd(i) && IsSpace(text_[i])) ++i;
    if (AtEnd(i) || At(i) == '<') return Finish(kXmlNodeWhitespace, i);
    return Finish(kXmlNodeText, FindUnit(i, '<'));
  }

  // The first offset from i that holds '=' or '>' or is at the end.
  std::int32_t FindEqualsOrClose(std::int32_t i) const {
    if constexpr (sizeof(Unit) == 1) {
      return xml_detail::FindByte(text_, i, length_, '=', '>');
    } else {
      while (!AtEnd(i) && At(i) != '=' && At(i) != '>') ++i;
      return i;
    }
  }

  // Reads a tag name from i; returns the offset after it.
  std::int32_t Name(std::int32_t i) {
    c_.nameFirst = i;
    i = xml_chars::FindClass(text_, i, length_, xml_chars::kNameEnd);
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

  std::int32_t Processing(std::int32_t i) { return ToClose(kXmlNodeProcessing, Name(i), "?", 1); }

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
      i = FindEqualsOrClose(i);
      if (AtEnd(i) || At(i) == '>') break;
      // '=': a value follows, after optional spaces.
      ++i;
      while (!AtEnd(i) && IsSpace(text_[i])) ++i;
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
      while (!AtEnd(i) && At(i) != '>' && !IsSpace(text_[i])) ++i;
      if (AtEnd(i) || At(i) == '>') break;
      unquoted = false;
      ++i;
    }
    if (AtEnd(i)) return Unterminated(kXmlNodeStartTag);
    // i is the closing '>'. A '/' before it closes the element unless it
    // belongs to an unquoted value ("<a x=1/>"). The name has at least one
    // unit, so i - 1 is inside the tag.
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
    AddDiagnostic(c_.diagnostics, key, nullptr, std::wstring_view(), start_);
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
        if (IsSpace(text_[i])) unquoted = false;
        continue;
      }
      if (valueExpected) {
        if (IsSpace(text_[i])) continue;
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

  XmlScanContextOf<Unit>& c_;
  XmlNodeToken& t_;
  const Unit* text_;
  std::int32_t length_;
  std::int32_t start_;
};

}  // namespace

std::int32_t ScanNode(XmlScanContext& context, XmlNodeToken& token) {
  return CNodeScanner<wchar_t>(context, token).Run();
}
std::int32_t ScanNode(XmlByteScanContext& context, XmlNodeToken& token) {
  return CNodeScanner<unsigned char>(context, token).Run();
}

void AddDiagnostic(std::wstring& diagnostics, const wchar_t* key, const wchar_t* nameAttr, std::wstring_view value,
                   std::int32_t offset, std::int32_t offset2) {
  if (diagnostics.size() > kXmlMaxDiagnostics) return;
  diagnostics += L'<';
  diagnostics += key;
  if (nameAttr != nullptr) {
    diagnostics += L' ';
    diagnostics += nameAttr;
    diagnostics += L"=\"";
    diagnostics += EscapeText(value.substr(0, kXmlMaxDiagnosticName));
    diagnostics += L'"';
  }
  if (offset != -1) diagnostics += L" offset=\"" + std::to_wstring(offset) + L'"';
  if (offset2 != -1) diagnostics += L" offset2=\"" + std::to_wstring(offset2) + L'"';
  diagnostics += L"/>";
}

// ---------------------------------------------------------------------------
// Building the element index.

namespace {

// An end tag closes the innermost open element whose name it matches: the
// end tag's name is the whole open name, or the open name continues with
// '=', '[' or ']' after it (a space or '/' would have ended the open name).
// So each open element answers to a few "keys": its whole name and each
// prefix that one of those units follows. The table maps a hash of each key
// to the depths of the open elements that have it, innermost last; an end
// tag then finds its element with one look-up and one comparison, however
// deep the stack is and however many end tags match nothing. Hash
// collisions cost only further comparisons down one bucket.
class COpenNames {
 public:
  COpenNames() : seed_(RandomSeed()) {}

  // Computes the keys of the name [first, first + length) into `keys`
  // (appended).
  template <typename Unit>
  void KeysOf(const Unit* name, std::int32_t length, std::vector<std::uint64_t>& keys) const {
    std::uint64_t h = seed_;
    for (std::int32_t k = 0; k < length; ++k) {
      const Unit u = name[k];
      if (u == '=' || u == '[' || u == ']') keys.push_back(Finish(h, k));
      h = Step(h, u);
    }
    keys.push_back(Finish(h, length));
  }
  template <typename Unit>
  std::uint64_t KeyOf(const Unit* name, std::int32_t length) const {
    std::uint64_t h = seed_;
    for (std::int32_t k = 0; k < length; ++k) h = Step(h, name[k]);
    return Finish(h, length);
  }

  void Add(std::uint64_t key, std::int32_t depth) {
    std::vector<std::int32_t>& depths = buckets_[key];
    if (depths.empty() || depths.back() != depth) depths.push_back(depth);
  }
  void Remove(std::uint64_t key, std::int32_t depth) {
    const auto it = buckets_.find(key);
    if (it != buckets_.end() && !it->second.empty() && it->second.back() == depth) it->second.pop_back();
  }
  // The depths that may answer to `key`, innermost last; null when none.
  const std::vector<std::int32_t>* Candidates(std::uint64_t key) const {
    const auto it = buckets_.find(key);
    return it == buckets_.end() ? nullptr : &it->second;
  }

 private:
  // Differs from run to run, so that no text can be made to collide on
  // purpose; the results never depend on it.
  static std::uint64_t RandomSeed() {
    static const int anchor = 0;
    const auto ticks = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return 0xCBF29CE484222325ull ^ (ticks * 0x9E3779B97F4A7C15ull) ^ reinterpret_cast<std::uintptr_t>(&anchor);
  }
  template <typename Unit>
  static std::uint64_t Step(std::uint64_t h, Unit u) {
    return (h ^ static_cast<std::uint32_t>(u)) * 0x100000001B3ull;
  }
  static std::uint64_t Finish(std::uint64_t h, std::int32_t length) {
    h ^= static_cast<std::uint64_t>(length) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    return h;
  }

  std::uint64_t seed_;
  std::unordered_map<std::uint64_t, std::vector<std::int32_t>> buckets_;
};

template <typename Unit>
class CIndexBuilder {
 public:
  CIndexBuilder(const Unit* text, std::int32_t length, XmlElementIndex& index, std::wstring& diagnostics)
      : text_(text), length_(length), index_(index), diagnostics_(diagnostics) {}

  std::int32_t Run() {
    XmlScanContextOf<Unit> scan;
    scan.text = text_;
    scan.length = length_;
    XmlNodeToken token;
    stack_.push_back(OpenElement{});  // entry 0: the document
    for (;;) {
      const std::int32_t kind = ScanNode(scan, token);
      if (kind == kXmlNodeStartTag) {
        StartTag(scan.nameFirst, scan.nameLast, token);
      } else if (kind == kXmlNodeEndTag) {
        EndTag(scan.nameFirst, scan.nameLast, token);
      } else if (kind == kXmlNodeMalformed) {
        MarkProblem();
        if (diagnostics_.size() <= kXmlMaxDiagnostics) diagnostics_ += scan.diagnostics;
        scan.diagnostics.clear();
      } else if (kind == kXmlNodeEnd) {
        CloseUnended(0, length_);
        break;
      }
    }
    return nextFree_ - 1;
  }

 private:
  struct OpenElement {
    std::int32_t nameFirst = 0;
    std::int32_t nameLength = 0;
    std::int32_t record = 0;
    std::size_t keysBegin = 0;  // this element's keys are keys_[keysBegin, next element's keysBegin)
  };

  std::int32_t Depth() const { return static_cast<std::int32_t>(stack_.size()) - 1; }
  std::int32_t CurrentParent() const { return stack_.back().record; }
  // A name for the diagnostics (which keep no more of it than this).
  std::wstring Name(std::int32_t first, std::int32_t length) const {
    const auto n = std::min<std::size_t>(static_cast<std::size_t>(length), kXmlMaxDiagnosticName);
    return xml_detail::Widen(text_ + first, n);
  }

  void MarkProblem() {
    index_[0].flagsLevel |= kXmlNotWellFormed;
    index_[CurrentParent()].flagsLevel |= kXmlProblem;
  }

  void StartTag(std::int32_t nameFirst, std::int32_t nameLast, const XmlNodeToken& token) {
    if (nextFree_ >= index_.Capacity()) {
      index_.Grow(nextFree_ + nextFree_ / 2);
      if (nextFree_ >= index_.Capacity()) return;  // index values exhausted
    }
    const std::int32_t id = nextFree_++;
    const std::int32_t parentId = CurrentParent();
    XmlElement& e = index_[id];
    XmlElement& parent = index_[parentId];
    e.parent = parentId;
    e.next = 0;
    e.child = 0;
    e.flagsLevel = static_cast<std::uint32_t>(Depth());
    if (parent.child == 0) {
      parent.child = id;
      e.previous = id;
      e.flagsLevel |= kXmlFirstChild;
    } else {
      XmlElement& first = index_[parent.child];
      const std::int32_t last = first.previous;
      index_[last].next = id;
      e.previous = last;
      first.previous = id;
    }
    e.start = token.start;
    e.length = token.length;
    index_.SetTagLengths(id, token.length, 0);
    if (token.flags & kXmlTokenSelfClosed) return;
    const std::int32_t nameLength = nameLast - nameFirst + 1;
    if (Depth() >= kXmlMaxDepth) {
      // Too deep to open: the element ends here, as if unended.
      e.flagsLevel |= kXmlUnended;
      AddDiagnostic(diagnostics_, L"nesting_too_deep", L"tagname", Name(nameFirst, nameLength), e.start);
      MarkProblem();
      return;
    }
    const std::size_t keysBegin = keys_.size();
    names_.KeysOf(text_ + nameFirst, nameLength, keys_);
    stack_.push_back(OpenElement{nameFirst, nameLength, id, keysBegin});
    for (std::size_t k = keysBegin; k < keys_.size(); ++k) names_.Add(keys_[k], Depth());
  }

  // Names match when the end tag's name is the whole open name or the open
  // name continues with a space, '/', '=', '[' or ']'.
  bool NameMatches(const OpenElement& open, std::int32_t first, std::int32_t length) const {
    if (length > open.nameLength) return false;
    if (!std::equal(text_ + first, text_ + first + length, text_ + open.nameFirst)) return false;
    if (length == open.nameLength) return true;
    const Unit c = text_[open.nameFirst + length];
    return c == ' ' || c == '/' || c == '=' || c == '[' || c == ']';
  }

  // The depth of the innermost open element that the end tag name matches,
  // or 0.
  std::int32_t FindOpen(std::int32_t first, std::int32_t length) const {
    // Most end tags close the innermost element.
    if (Depth() > 0 && NameMatches(stack_.back(), first, length)) return Depth();
    const std::vector<std::int32_t>* candidates = names_.Candidates(names_.KeyOf(text_ + first, length));
    if (candidates == nullptr) return 0;
    for (auto it = candidates->rbegin(); it != candidates->rend(); ++it) {
      if (NameMatches(stack_[static_cast<std::size_t>(*it)], first, length)) return *it;
    }
    return 0;
  }

  void EndTag(std::int32_t first, std::int32_t nameLast, const XmlNodeToken& token) {
    const std::int32_t length = nameLast - first + 1;
    const std::int32_t k = FindOpen(first, length);
    if (k == 0) {
      AddDiagnostic(diagnostics_, L"lone_end_tag", L"tagname", Name(first, length), token.start);
      MarkProblem();
      return;
    }
    const std::int32_t m = stack_[static_cast<std::size_t>(k)].record;
    XmlElement& e = index_[m];
    e.length = token.start + token.length - e.start;
    index_.SetTagLengths(m, index_.StartTagLength(m), token.length);
    CloseUnended(k, token.start + 1);
    Pop();  // M itself
  }

  void Pop() {
    const std::int32_t depth = Depth();
    const std::size_t begin = stack_.back().keysBegin;
    for (std::size_t k = begin; k < keys_.size(); ++k) names_.Remove(keys_[k], depth);
    keys_.resize(begin);
    stack_.pop_back();
  }

  // Closes every open element above depth k as unended, top down. Their child
  // elements become their following siblings, so that all of them end up as
  // children of the element at depth k (or of the document when k is 0):
  // each element's children are appended after it, and since every open
  // element is the last child of the one below it, this is one concatenation
  // of the child lists, walking each moved element once.
  void CloseUnended(std::int32_t k, std::int32_t offset2) {
    const std::int32_t depth = Depth();
    if (depth <= k) return;
    bool problem = false;
    for (std::int32_t d = depth; d > k; --d) {
      const OpenElement& open = stack_[static_cast<std::size_t>(d)];
      XmlElement& e = index_[open.record];
      index_[0].flagsLevel |= kXmlNotWellFormed;
      const std::int32_t startTag = index_.StartTagLength(open.record);
      index_.SetTagLengths(open.record, startTag, 0);
      e.length = startTag;
      e.flagsLevel |= kXmlUnended;
      if (e.flagsLevel & kXmlProblem) {
        e.flagsLevel &= ~kXmlProblem;
        problem = true;
      }
      AddDiagnostic(diagnostics_, L"unended_start_tag", L"tagname", Name(open.nameFirst, open.nameLength), e.start,
                    offset2);
    }
    const std::int32_t target = index_[stack_[static_cast<std::size_t>(k) + 1].record].parent;
    std::int32_t tail = stack_[static_cast<std::size_t>(k) + 1].record;
    for (std::int32_t d = k + 1; d <= depth; ++d) {
      XmlElement& u = index_[stack_[static_cast<std::size_t>(d)].record];
      const std::int32_t c = u.child;
      if (c == 0) continue;
      u.child = 0;
      index_[c].flagsLevel &= ~kXmlFirstChild;
      index_[tail].next = c;
      index_[c].previous = tail;
      std::int32_t last = c;
      for (std::int32_t x = c; x != 0; x = index_[x].next) {
        index_[x].parent = target;
        last = x;
      }
      tail = last;
    }
    index_[tail].next = 0;
    index_[index_[target].child].previous = tail;
    if (problem) index_[target].flagsLevel |= kXmlProblem;
    while (Depth() > k) Pop();
  }

  const Unit* text_;
  std::int32_t length_;
  XmlElementIndex& index_;
  std::wstring& diagnostics_;
  std::int32_t nextFree_ = 1;
  std::vector<OpenElement> stack_;
  std::vector<std::uint64_t> keys_;
  COpenNames names_;
};

}  // namespace

std::int32_t BuildXmlIndex(std::wstring_view text, XmlElementIndex& index, std::wstring& diagnostics) {
  return CIndexBuilder<wchar_t>(text.data(), static_cast<std::int32_t>(text.size()), index, diagnostics).Run();
}

std::int32_t BuildXmlIndex(const unsigned char* text, std::int32_t length, XmlElementIndex& index,
                           std::wstring& diagnostics) {
  return CIndexBuilder<unsigned char>(text, length, index, diagnostics).Run();
}
