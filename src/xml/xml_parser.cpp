// The node scanner: one left-to-right pass over the units of one node.
#include "xml/xml_parser.h"

#include "xml/entities.h"
#include "xml/xml_scanner.h"

std::int32_t ScanNode(XmlScanContext& context, XmlNodeToken& token) {
  xml_detail::ScanState<wchar_t> state;
  state.text = context.text;
  state.length = context.length;
  state.position = context.position;
  state.nameFirst = context.nameFirst;
  state.nameLast = context.nameLast;
  state.diagnostics = &context.diagnostics;
  const std::int32_t kind = xml_detail::Scan<false>(state, token);
  context.position = state.position;
  context.nameFirst = state.nameFirst;
  context.nameLast = state.nameLast;
  return kind;
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

#include <algorithm>
#include <vector>

#include "xml/xml_document.h"

class CXmlParser {
 public:
  explicit CXmlParser(CXmlDocument& doc) : doc_(doc), index_(*doc.index_) {}

  // With a feed (byte form only), the text is narrowed ahead of the scan;
  // returns early when the feed stops.
  template <typename Unit>
  void Build(const Unit* text, std::int32_t length, CXmlDocument::NarrowingFeed* feed) {
    // The scan keeps at least `ahead` narrowed units before it, adding `step`
    // at a time, and asks for the wide units of the step after the next
    // while it parses.
    const std::int32_t ahead = doc_.feedAhead_;
    const std::int32_t step = doc_.feedStep_;
    xml_detail::ScanState<Unit> state;
    state.text = text;
    state.length = feed != nullptr ? feed->ready : length;
    std::wstring findings;
    state.diagnostics = &findings;
    XmlNodeToken token;
    stack_.reserve(16);
    stack_.push_back(OpenElement{});  // entry 0 is never used
    std::int32_t prefetched = feed != nullptr ? feed->ready : length;
    for (;;) {
      if (feed != nullptr && state.length < length) {
        if (state.length - state.position < ahead) {
          if (!doc_.Feed(*feed, state.position + step)) return;
          state.length = feed->ready;
        }
#if defined(__GNUC__)
        // The wide units of the step after the next are asked for a few cache
        // lines per node, so that reading them does not wait on memory.
        constexpr std::int32_t kLineUnits = static_cast<std::int32_t>(64 / sizeof(wchar_t));
        constexpr int kLinesPerNode = 16;
        const std::int32_t wanted = std::min(state.position + 2 * step, length);
        for (int k = 0; k < kLinesPerNode && prefetched < wanted; ++k, prefetched += kLineUnits) {
          __builtin_prefetch(feed->source + prefetched);
        }
#endif
      }
      // Whitespace between tags makes a node that adds nothing here; it is
      // stepped over when the next tag follows within the scanned units.
      {
        std::int32_t next = state.position;
        while (next < state.length && xml_detail::IsSpace(xml_detail::At(text, next))) ++next;
        if (next > state.position && next < state.length && xml_detail::At(text, next) == '<') state.position = next;
      }
      const std::int32_t from = state.position;
      const std::int32_t kind = xml_detail::Scan<true>(state, token);
      if (state.position >= state.length && state.length < length) {
        // The node may run on past the narrowed units: narrow the rest and
        // scan it again.
        findings.clear();
        state.position = from;
        if (!doc_.Feed(*feed, length)) return;
        state.length = length;
        continue;
      }
      if (kind == kXmlNodeStartTag) {
        StartTag(state.nameFirst, state.nameLast, token);
      } else if (kind == kXmlNodeEndTag) {
        EndTag(text, state.nameFirst, state.nameLast, token);
      } else if (kind == kXmlNodeMalformed) {
        MarkProblem();
        if (doc_.diagnostics_.size() <= 999) doc_.diagnostics_ += findings;
        findings.clear();
      } else if (kind == kXmlNodeEnd) {
        CloseUnended(text, 0, length);
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

  void StartTag(std::int32_t nameFirst, std::int32_t nameLast, const XmlNodeToken& token) {
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
    e.length = token.length;
    doc_.SetTagLengths(id, token.length, 0);
    if (token.flags & kXmlTokenSelfClosed) return;
    stack_.push_back(OpenElement{nameFirst, nameLast - nameFirst + 1, id});
  }

  // Names match when the end tag's name is the whole open name or the open
  // name continues with a space, '/', '=', '[' or ']'.
  template <typename Unit>
  static bool NameMatches(const Unit* text, const OpenElement& open, std::int32_t first, std::int32_t length) {
    if (length > open.nameLength) return false;
    for (std::int32_t k = 0; k < length; ++k) {
      if (text[open.nameFirst + k] != text[first + k]) return false;
    }
    if (length == open.nameLength) return true;
    const std::int32_t c = static_cast<std::int32_t>(text[open.nameFirst + length]);
    return c == ' ' || c == '/' || c == '=' || c == '[' || c == ']';
  }

  template <typename Unit>
  void EndTag(const Unit* text, std::int32_t first, std::int32_t nameLast, const XmlNodeToken& token) {
    const std::int32_t length = nameLast - first + 1;
    for (std::int32_t k = Depth(); k >= 1; --k) {
      if (!NameMatches(text, stack_[k], first, length)) continue;
      const std::int32_t m = stack_[k].record;
      XmlElement& e = index_[m];
      e.length = token.start + token.length - e.start;
      doc_.SetTagLengths(m, doc_.StartTagLength(m), token.length);
      CloseUnended(text, k, token.start + 1);
      stack_.pop_back();  // M itself
      return;
    }
    AddDiagnostic(doc_.diagnostics_, L"lone_end_tag", L"tagname",
                  xml_detail::Widen(text + first, static_cast<std::size_t>(length)), token.start);
    MarkProblem();
  }

  // Closes every open element above depth k as unended, top down. Their child
  // elements become their following siblings, so that all of them end up as
  // children of the element at depth k (or of the document when k is 0):
  // each element's children are appended after it, and since every open
  // element is the last child of the one below it, this is one concatenation
  // of the child lists, walking each moved element once.
  template <typename Unit>
  void CloseUnended(const Unit* text, std::int32_t k, std::int32_t offset2) {
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
      AddDiagnostic(doc_.diagnostics_, L"unended_start_tag", L"tagname",
                    xml_detail::Widen(text + stack_[d].nameFirst, static_cast<std::size_t>(stack_[d].nameLength)),
                    e.start, offset2);
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

bool CXmlDocument::ParseText(NarrowingFeed* feed) {
  ResetNavigation();
  attributesOf_ = 0;
  nextFree_ = 1;
  longStartTags_.clear();
  longEndTags_.clear();
  const std::int32_t length = length_;
  const std::int32_t wanted = length / 64 + 8;
  if (index_->Capacity() < wanted) index_->Grow(wanted);
  XmlElement& root = (*index_)[0];
  root = XmlElement{};
  if (length > 0) {
    if (narrow_) {
      CXmlParser(*this).Build(narrow_.get(), length, feed);
      if (feed != nullptr && feed->stopped) return false;
    } else {
      CXmlParser(*this).Build(wide_.data(), length, nullptr);
    }
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
