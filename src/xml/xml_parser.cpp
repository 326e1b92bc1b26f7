// The node scanner: one left-to-right pass over the units of one node.
#include "xml/xml_parser.h"

#include "xml/entities.h"

namespace {

inline bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r'; }
inline bool IsNameEnd(wchar_t c) { return IsSpace(c) || c == L'/' || c == L'>'; }
inline bool IsStartTagLead(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || c == L'_' || c == L':' || c >= L'a';
}

const wchar_t* TypeName(std::int32_t kind) {
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

// What is being scanned, as far as it is known.
constexpr std::int32_t kUnknownTag = 1000;

class CNodeScanner {
 public:
  CNodeScanner(XmlScanContext& context, XmlNodeToken& token)
      : c_(context), t_(token), text_(context.text), length_(context.length), start_(context.position) {}

  std::int32_t Run() {
    t_ = XmlNodeToken{};
    t_.start = start_;
    std::int32_t i = start_;
    if (AtEnd(i)) return Finish(kXmlNodeEnd, i);
    const wchar_t first = text_[i];
    if (first != L'<') return Text(i);
    ++i;
    if (AtEnd(i)) return Unterminated(kUnknownTag);
    const wchar_t second = text_[i];
    if (second == L'/') return EndTag(i + 1);
    if (second == L'?') return Processing(i + 1);
    if (second == L'!') return Exclamation(i + 1);
    if (IsStartTagLead(second)) return StartTag(i);
    return Malformed(L"first_tag_syntax", i);
  }

 private:
  bool AtEnd(std::int32_t i) const { return i >= length_ || text_[i] == 0; }

  std::int32_t Finish(std::int32_t kind, std::int32_t end) {
    t_.kind = kind;
    t_.length = end - start_;
    c_.position = end;
    return kind;
  }

  std::int32_t Unterminated(std::int32_t kind) {
    AddDiagnostic(c_.diagnostics, L"unterminated_tag_syntax", L"type", TypeName(kind), start_);
    std::int32_t end = start_;
    while (!AtEnd(end)) ++end;
    return Finish(kXmlNodeMalformed, end);
  }

  // Text runs to the next '<'; it is whitespace-only until another unit shows.
  std::int32_t Text(std::int32_t i) {
    bool blank = true;
    for (; !AtEnd(i); ++i) {
      const wchar_t u = text_[i];
      if (u == L'<') break;
      if (blank && !IsSpace(u)) blank = false;
    }
    return Finish(blank ? kXmlNodeWhitespace : kXmlNodeText, i);
  }

  // Reads a tag name from i; returns the offset after it.
  std::int32_t Name(std::int32_t i) {
    c_.nameFirst = i;
    while (!AtEnd(i) && !IsNameEnd(text_[i])) ++i;
    c_.nameLast = i - 1;
    return i;
  }

  std::int32_t EndTag(std::int32_t i) {
    i = Name(i);
    for (; !AtEnd(i); ++i) {
      if (text_[i] == L'>') return Finish(kXmlNodeEndTag, i + 1);
    }
    return Unterminated(kXmlNodeEndTag);
  }

  // Ends at the first '>' from `from` on that is preceded by `tail` (one or
  // two units; they may overlap the node's opening, as in "<?>").
  std::int32_t ToClose(std::int32_t kind, std::int32_t from, const wchar_t* tail, int tailLength) {
    for (std::int32_t i = from; !AtEnd(i); ++i) {
      if (text_[i] != L'>') continue;
      if (i - tailLength < start_) continue;
      bool match = true;
      for (int k = 0; k < tailLength; ++k) {
        if (text_[i - tailLength + k] != tail[k]) match = false;
      }
      if (match) return Finish(kind, i + 1);
    }
    return Unterminated(kind);
  }

  std::int32_t Processing(std::int32_t i) {
    i = Name(i);
    return ToClose(kXmlNodeProcessing, i, L"?", 1);
  }

  std::int32_t Exclamation(std::int32_t i) {
    if (AtEnd(i)) return Unterminated(kUnknownTag);
    const wchar_t u = text_[i];
    if (u == L'-') {
      if (AtEnd(i + 1)) return Unterminated(kUnknownTag);
      if (text_[i + 1] != L'-') return Malformed(L"comment_tag_syntax", i + 1);
      return ToClose(kXmlNodeComment, i + 2, L"--", 2);
    }
    if (u == L'[') {
      if (AtEnd(i + 1)) return Unterminated(kUnknownTag);
      if (text_[i + 1] != L'C') return Malformed(L"cdata_section_syntax", i + 1);
      return ToClose(kXmlNodeCData, i + 2, L"]]", 2);
    }
    if (u == L'D') return Doctype(i + 1);
    return Malformed(L"exclamation_tag_syntax", i);
  }

  std::int32_t StartTag(std::int32_t i) {
    i = Name(i);
    bool valueExpected = false;
    wchar_t quote = 0;
    bool unquoted = false;  // inside an unquoted value
    for (; !AtEnd(i); ++i) {
      const wchar_t u = text_[i];
      if (quote != 0) {
        if (u == quote) quote = 0;
        continue;
      }
      if (unquoted) {
        if (u == L'>') break;
        if (IsSpace(u)) unquoted = false;
        continue;
      }
      if (valueExpected) {
        if (IsSpace(u)) continue;
        if (u == L'>') break;
        valueExpected = false;
        if (u == L'"' || u == L'\'') {
          quote = u;
        } else {
          unquoted = true;
        }
        continue;
      }
      if (u == L'=') {
        valueExpected = true;
        continue;
      }
      if (u == L'>') break;
    }
    if (AtEnd(i)) return Unterminated(kXmlNodeStartTag);
    // i is the closing '>'. A '/' before it closes the element unless it
    // belongs to an unquoted value ("<a x=1/>").
    // (The name has at least one unit, so i - 1 is inside the tag.)
    if (text_[i - 1] == L'/' && !unquoted) t_.flags |= kXmlTokenSelfClosed;
    return Finish(kXmlNodeStartTag, i + 1);
  }

  // A document type declaration: to the first '>' outside nested markup.
  std::int32_t Doctype(std::int32_t i) {
    for (; !AtEnd(i); ++i) {
      const wchar_t u = text_[i];
      if (u == L'>') return Finish(kXmlNodeDoctype, i + 1);
      if (u != L'<') continue;
      // Nested markup.
      if (AtEnd(i + 1)) break;
      const wchar_t v = text_[i + 1];
      if (v == L'!') {
        if (AtEnd(i + 2)) break;
        const wchar_t w = text_[i + 2];
        if (w == L'-') {
          if (AtEnd(i + 3)) break;
          if (text_[i + 3] != L'-') return Malformed(L"doctype_tag_syntax", i + 3);
          i = NestedClose(i + 4, L"--", 2);
        } else if (w == L'A' || w == L'E' || w == L'N') {
          i = NestedDeclaration(i + 3);
        } else {
          return Malformed(L"doctype_tag_syntax", i + 2);
        }
      } else if (v == L'?') {
        i = NestedClose(i + 2, L"?", 1);
      } else {
        i = NestedClose(i + 1, L"", 0);
      }
      if (i < 0) break;
    }
    return Unterminated(kXmlNodeDoctype);
  }

  // Returns the offset of the '>' that ends nested markup, or -1 at the end.
  std::int32_t NestedClose(std::int32_t i, const wchar_t* tail, int tailLength) {
    for (; !AtEnd(i); ++i) {
      if (text_[i] != L'>') continue;
      bool match = true;
      for (int k = 0; k < tailLength; ++k) {
        if (text_[i - tailLength + k] != tail[k]) match = false;
      }
      if (match) return i;
    }
    return -1;
  }

  std::int32_t NestedDeclaration(std::int32_t i) {
    wchar_t quote = 0;
    for (; !AtEnd(i); ++i) {
      const wchar_t u = text_[i];
      if (quote != 0) {
        if (u == quote) quote = 0;
      } else if (u == L'"' || u == L'\'') {
        quote = u;
      } else if (u == L'>') {
        return i;
      }
    }
    return -1;
  }

  // After a syntax finding: the node runs, with start tag quoting, to the next
  // '>' (included) or '<' (excluded).
  std::int32_t Malformed(const wchar_t* key, std::int32_t i) {
    AddDiagnostic(c_.diagnostics, key, nullptr, std::wstring(), start_);
    bool valueExpected = false;
    wchar_t quote = 0;
    bool unquoted = false;
    for (; !AtEnd(i); ++i) {
      const wchar_t u = text_[i];
      if (u == L'<') return Finish(kXmlNodeMalformed, i);
      if (quote != 0) {
        if (u == quote) quote = 0;
        continue;
      }
      if (u == L'>') return Finish(kXmlNodeMalformed, i + 1);
      if (unquoted) {
        if (IsSpace(u)) unquoted = false;
        continue;
      }
      if (valueExpected) {
        if (IsSpace(u)) continue;
        valueExpected = false;
        if (u == L'"' || u == L'\'') {
          quote = u;
        } else {
          unquoted = true;
        }
        continue;
      }
      if (u == L'=') valueExpected = true;
    }
    return Finish(kXmlNodeMalformed, i);
  }

  XmlScanContext& c_;
  XmlNodeToken& t_;
  const wchar_t* text_;
  std::int32_t length_;
  std::int32_t start_;
};

}  // namespace

std::int32_t ScanNode(XmlScanContext& context, XmlNodeToken& token) {
  return CNodeScanner(context, token).Run();
}

void AddDiagnostic(std::wstring& diagnostics, const wchar_t* key, const wchar_t* nameAttr,
                   const std::wstring& value, std::int32_t offset, std::int32_t offset2) {
  if (diagnostics.size() > 999) return;
  diagnostics += L'<';
  diagnostics += key;
  if (nameAttr != nullptr) {
    diagnostics += L' ';
    diagnostics += nameAttr;
    diagnostics += L"=\"";
    diagnostics += EscapeText(value);
    diagnostics += L'"';
  }
  if (offset != -1) {
    diagnostics += L" offset=\"" + std::to_wstring(offset) + L'"';
  }
  if (offset2 != -1) {
    diagnostics += L" offset2=\"" + std::to_wstring(offset2) + L'"';
  }
  diagnostics += L"/>";
}

// ---------------------------------------------------------------------------
// Building the element index from the scanned nodes.

#include <vector>

#include "xml/xml_document.h"

class CXmlParser {
 public:
  explicit CXmlParser(CXmlDocument& doc) : doc_(doc), index_(*doc.index_) {}

  void Build() {
    const std::wstring& text = doc_.text_;
    XmlScanContext context;
    context.text = text.c_str();
    context.length = static_cast<std::int32_t>(text.size());
    context.flags = doc_.flags_;
    XmlNodeToken token;
    stack_.reserve(8);
    stack_.push_back(OpenElement{});  // entry 0 is never used
    for (;;) {
      const std::int32_t kind = ScanNode(context, token);
      if (kind == kXmlNodeStartTag) {
        StartTag(context, token);
      } else if (kind == kXmlNodeEndTag) {
        EndTag(context, token);
      } else if (kind == kXmlNodeMalformed) {
        MarkProblem();
        if (doc_.diagnostics_.size() <= 999) doc_.diagnostics_ += context.diagnostics;
        context.diagnostics.clear();
      } else if (kind == kXmlNodeEnd) {
        CloseUnended(0, context.length);
        break;
      }
    }
  }

 private:
  struct OpenElement {
    std::int32_t nameFirst = 0;
    std::int32_t nameLength = 0;
    std::int32_t record = 0;
  };

  std::int32_t Depth() const { return static_cast<std::int32_t>(stack_.size()) - 1; }
  std::int32_t CurrentParent() const { return stack_.back().record; }

  void MarkProblem() {
    index_[0].flagsLevel |= kXmlNotWellFormed;
    index_[CurrentParent()].flagsLevel |= kXmlProblem;
  }

  void StartTag(const XmlScanContext& context, const XmlNodeToken& token) {
    std::int32_t& nextFree = doc_.nextFree_;
    if (nextFree >= index_.Capacity()) {
      index_.Grow(nextFree + nextFree / 2);
      if (nextFree >= index_.Capacity()) return;  // index values exhausted
    }
    const std::int32_t id = nextFree++;
    const std::int32_t parentId = CurrentParent();
    XmlElement& e = index_[id];
    XmlElement& parent = index_[parentId];
    e.parent = parentId;
    e.next = 0;
    e.child = 0;
    const std::int32_t depth = Depth();
    e.flagsLevel = static_cast<std::uint32_t>(depth < 0xFFFF ? depth : 0xFFFF);
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
    if (token.flags & kXmlTokenSelfClosed) {
      doc_.SetTagLengths(id, token.length, 0);
      e.length = token.length;
      return;
    }
    doc_.SetTagLengths(id, token.length, 0);
    e.length = token.length;
    stack_.push_back(OpenElement{context.nameFirst, context.nameLast - context.nameFirst + 1, id});
  }

  // Names match when the end tag's name is the whole open name or the open
  // name continues with a space, '/', '=', '[' or ']'.
  bool NameMatches(const OpenElement& open, std::int32_t first, std::int32_t length) const {
    if (length > open.nameLength) return false;
    const wchar_t* text = doc_.text_.c_str();
    for (std::int32_t k = 0; k < length; ++k) {
      if (text[open.nameFirst + k] != text[first + k]) return false;
    }
    if (length == open.nameLength) return true;
    const wchar_t c = text[open.nameFirst + length];
    return c == L' ' || c == L'/' || c == L'=' || c == L'[' || c == L']';
  }

  void EndTag(const XmlScanContext& context, const XmlNodeToken& token) {
    const std::int32_t first = context.nameFirst;
    const std::int32_t length = context.nameLast - context.nameFirst + 1;
    for (std::int32_t k = Depth(); k >= 1; --k) {
      if (!NameMatches(stack_[k], first, length)) continue;
      const std::int32_t m = stack_[k].record;
      XmlElement& e = index_[m];
      e.length = token.start + token.length - e.start;
      doc_.SetTagLengths(m, doc_.StartTagLength(m), token.length);
      CloseUnended(k, token.start + 1);
      stack_.pop_back();  // M itself
      return;
    }
    const std::wstring name(doc_.text_, static_cast<std::size_t>(first), static_cast<std::size_t>(length));
    AddDiagnostic(doc_.diagnostics_, L"lone_end_tag", L"tagname", name, token.start);
    MarkProblem();
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
      const std::int32_t u = stack_[d].record;
      XmlElement& e = index_[u];
      index_[0].flagsLevel |= kXmlNotWellFormed;
      doc_.SetTagLengths(u, doc_.StartTagLength(u), 0);
      e.length = doc_.StartTagLength(u);
      e.flagsLevel |= kXmlUnended;
      if (e.flagsLevel & kXmlProblem) {
        e.flagsLevel &= ~kXmlProblem;
        problem = true;
      }
      const std::wstring name(doc_.text_, static_cast<std::size_t>(stack_[d].nameFirst),
                              static_cast<std::size_t>(stack_[d].nameLength));
      AddDiagnostic(doc_.diagnostics_, L"unended_start_tag", L"tagname", name, e.start, offset2);
    }
    const std::int32_t target = index_[stack_[k + 1].record].parent;
    std::int32_t tail = stack_[k + 1].record;
    for (std::int32_t d = k + 1; d <= depth; ++d) {
      XmlElement& u = index_[stack_[d].record];
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
    stack_.resize(static_cast<std::size_t>(k + 1));
  }

  CXmlDocument& doc_;
  XmlElementIndex& index_;
  std::vector<OpenElement> stack_;
};

bool CXmlDocument::ParseText() {
  ResetNavigation();
  nextFree_ = 1;
  longStartTags_.clear();
  longEndTags_.clear();
  const std::int32_t length = static_cast<std::int32_t>(text_.size());
  const std::int32_t wanted = length / 64 + 8;
  if (index_->Capacity() < wanted) index_->Grow(wanted);
  XmlElement& root = (*index_)[0];
  root = XmlElement{};
  if (length > 0) {
    CXmlParser(*this).Build();
    XmlElement& doc = (*index_)[0];
    doc.length = length;
    if (nextFree_ == 1) {
      AddDiagnostic(diagnostics_, L"no_root_element", nullptr, std::wstring(), -1);
      doc.child = 0;
    } else {
      // The first element created is the first top-level element.
      doc.child = 1;
      if ((*index_)[1].next != 0) AddDiagnostic(diagnostics_, L"root_has_sibling", nullptr, std::wstring(), -1);
    }
  }
  ResetNavigation();
  const XmlElement& doc = (*index_)[0];
  return (doc.flagsLevel & kXmlNotWellFormed) == 0 && doc.child != 0 && (*index_)[doc.child].next == 0;
}
