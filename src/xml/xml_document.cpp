// The element index and the document's navigation and text extraction.
#include "xml/xml_document.h"

#include <algorithm>
#include <cwchar>
#include <limits>

#include "xml/entities.h"
#include "xml/xml_parser.h"

// ---------------------------------------------------------------------------
// XmlElementIndex

void XmlElementIndex::Grow(std::int32_t wanted) {
  if (wanted <= capacity_) return;
  const std::int64_t full = static_cast<std::int64_t>(segmentCount_) * kSegmentSize;
  if (wanted > full) {
    // A new segment: at most one per step.
    if (full + kSegmentSize > std::numeric_limits<std::int32_t>::max()) return;
    wanted = static_cast<std::int32_t>(std::min<std::int64_t>(wanted, full + kSegmentSize));
    const std::int32_t lastSize = capacity_ - static_cast<std::int32_t>(full - kSegmentSize);
    if (segmentCount_ > 0 && lastSize < kSegmentSize) {
      // Bring the partly filled last segment to full size first.
      auto whole = std::make_unique<XmlElement[]>(kSegmentSize);
      std::copy(segments_[segmentCount_ - 1].get(), segments_[segmentCount_ - 1].get() + lastSize, whole.get());
      segments_[segmentCount_ - 1] = std::move(whole);
    }
    if (segmentCount_ == segmentArraySize_) {
      const std::int32_t size = 2 * (segmentCount_ + 1) + 4;
      auto array = std::make_unique<std::unique_ptr<XmlElement[]>[]>(static_cast<std::size_t>(size));
      for (std::int32_t s = 0; s < segmentCount_; ++s) array[s] = std::move(segments_[s]);
      segments_ = std::move(array);
      segmentArraySize_ = size;
    }
    segments_[segmentCount_] = std::make_unique<XmlElement[]>(static_cast<std::size_t>(wanted - full));
    ++segmentCount_;
  } else {
    // Room in the last segment: reallocate it at the needed size.
    const std::int32_t base = static_cast<std::int32_t>(full - kSegmentSize);
    auto bigger = std::make_unique<XmlElement[]>(static_cast<std::size_t>(wanted - base));
    std::copy(segments_[segmentCount_ - 1].get(), segments_[segmentCount_ - 1].get() + (capacity_ - base),
              bigger.get());
    segments_[segmentCount_ - 1] = std::move(bigger);
  }
  capacity_ = wanted;
}

void XmlElementIndex::Release() {
  segments_.reset();
  segmentCount_ = 0;
  segmentArraySize_ = 0;
  capacity_ = 0;
}

// ---------------------------------------------------------------------------
// CXmlDocument

namespace {

inline bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r'; }

// Units that end a tag name when it is read back from the text.
inline bool EndsTagName(wchar_t c) {
  switch (c) {
    case L'\t': case L'\n': case L'\r': case L' ': case L'!': case L'"': case L'\'': case L'/':
    case L';': case L'<': case L'=': case L'>': case L'?': case L'\\':
      return true;
    default:
      return false;
  }
}

// Compares a name found in the text with a requested name: the found name
// (n units) must equal the first n requested units, and what follows in the
// request must be nothing, or a path continuation ("/step", "[...]").
bool RequestMatches(const wchar_t* found, std::size_t n, const wchar_t* request) {
  for (std::size_t k = 0; k < n; ++k) {
    if (request[k] != found[k] || request[k] == 0) return false;
  }
  const wchar_t* rest = request + n;
  switch (rest[0]) {
    case 0: return true;
    case L'/': return rest[1] != 0;
    case L'[': return std::wcschr(rest + 1, L']') != nullptr;
    default: return false;  // a space, '=', ']' or any other continuation
  }
}

}  // namespace

CXmlDocument::CXmlDocument() : index_(std::make_unique<XmlElementIndex>()) {
  index_->Release();
  ParseText();
}

CXmlDocument::~CXmlDocument() = default;

bool CXmlDocument::SetText(std::wstring text) {
  // The text ends at its first NUL unit, and offsets are 32-bit.
  const std::size_t nul = text.find(L'\0');
  if (nul != std::wstring::npos) text.resize(nul);
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() / 2)) text.clear();
  text_ = std::move(text);
  diagnostics_.clear();
  return ParseText();
}

void CXmlDocument::ResetNavigation() {
  parentPos_ = 0;
  currentPos_ = 0;
  childPos_ = 0;
  nodeKind_ = 0;
  nodeOffset_ = 0;
  nodeLength_ = 0;
}

void CXmlDocument::SetTagLengths(std::int32_t index, std::int32_t startTag, std::int32_t endTag) {
  std::uint32_t s = static_cast<std::uint32_t>(startTag);
  std::uint32_t e = static_cast<std::uint32_t>(endTag);
  if (s >= kXmlStartTagMask) {
    longStartTags_[index] = startTag;
    s = kXmlStartTagMask;
  }
  if (e >= kXmlEndTagMax) {
    longEndTags_[index] = endTag;
    e = kXmlEndTagMax;
  }
  (*index_)[index].tagLengths = s | (e << kXmlEndTagShift);
}

std::int32_t CXmlDocument::StartTagLength(std::int32_t index) const {
  const std::uint32_t s = (*index_)[index].tagLengths & kXmlStartTagMask;
  if (s == kXmlStartTagMask) return longStartTags_.at(index);
  return static_cast<std::int32_t>(s);
}

std::int32_t CXmlDocument::EndTagLength(std::int32_t index) const {
  const std::uint32_t e = (*index_)[index].tagLengths >> kXmlEndTagShift;
  if (e == kXmlEndTagMax) return longEndTags_.at(index);
  return static_cast<std::int32_t>(e);
}

bool CXmlDocument::FindElement(const wchar_t* name) {
  const XmlElementIndex& index = *index_;
  std::int32_t e = currentPos_ != 0 ? index[currentPos_].next : index[parentPos_].child;
  if (name != nullptr && name[0] != 0) {
    const wchar_t* text = text_.c_str();
    for (; e != 0; e = index[e].next) {
      const std::int32_t start = index[e].start + 1;
      std::int32_t end = start;
      const std::int32_t limit = static_cast<std::int32_t>(text_.size());
      while (end < limit && !EndsTagName(text[end])) ++end;
      if (end == start) end = start + 1;
      if (RequestMatches(text + start, static_cast<std::size_t>(end - start), name)) break;
    }
  }
  if (e == 0) return false;
  currentPos_ = e;
  childPos_ = 0;
  nodeKind_ = 1;
  return true;
}

void CXmlDocument::EnterElement() {
  if (nodeKind_ != 1) return;
  parentPos_ = currentPos_;
  currentPos_ = childPos_;
  childPos_ = 0;
  nodeKind_ = currentPos_ != 0 ? 1 : 0;
}

void CXmlDocument::LeaveElement() {
  if (parentPos_ == 0) return;
  const std::int32_t oldParent = parentPos_;
  parentPos_ = (*index_)[oldParent].parent;
  childPos_ = currentPos_;
  currentPos_ = oldParent;
  nodeKind_ = 1;
}

std::wstring CXmlDocument::GetElementName() const {
  if (currentPos_ == 0) return {};
  const std::int32_t start = (*index_)[currentPos_].start + 1;
  const std::int32_t limit = static_cast<std::int32_t>(text_.size());
  if (start >= limit) return {};
  std::int32_t end = start;
  while (end < limit && !EndsTagName(text_[end])) ++end;
  if (end == start) end = start + 1;
  return text_.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

std::wstring CXmlDocument::GetElementText() const {
  if (currentPos_ == 0) return {};
  const XmlElement& e = (*index_)[currentPos_];
  const std::int32_t startTag = StartTagLength(currentPos_);
  if (e.length == startTag || e.child != 0) return {};
  const std::int32_t contentStart = e.start + startTag;
  const std::int32_t contentLength = e.length - startTag - EndTagLength(currentPos_);
  if (contentLength <= 0) return {};
  const std::wstring_view content(text_.data() + contentStart, static_cast<std::size_t>(contentLength));
  if (content.find(L'<') == std::wstring_view::npos) return UnescapeText(content, flags_);

  std::wstring result;
  XmlScanContext context;
  context.text = text_.c_str();
  context.length = contentStart + contentLength;
  context.position = contentStart;
  context.flags = flags_;
  XmlNodeToken token;
  while (context.position < context.length) {
    const std::int32_t kind = ScanNode(context, token);
    if (kind == kXmlNodeEnd) break;
    if (kind == kXmlNodeText) {
      result += UnescapeText(std::wstring_view(text_.data() + token.start, static_cast<std::size_t>(token.length)),
                             flags_);
    } else if (kind == kXmlNodeCData && token.length >= 12) {
      result.append(text_, static_cast<std::size_t>(token.start + 9), static_cast<std::size_t>(token.length - 12));
    }
  }
  return result;
}

std::wstring CXmlDocument::GetAttributeValue(const wchar_t* name) const {
  if (currentPos_ == 0 || name == nullptr) return {};
  const XmlElement& e = (*index_)[currentPos_];
  const wchar_t* text = text_.c_str();
  const std::int32_t end = std::min<std::int32_t>(e.start + StartTagLength(currentPos_),
                                                  static_cast<std::int32_t>(text_.size()));
  std::int32_t i = e.start + 1;

  enum class Token { Name, Equals, Value, End };
  // Reads the next token; `afterEquals` selects the unquoted-value rule.
  auto next = [&](bool afterEquals, std::int32_t* first, std::int32_t* last) -> Token {
    while (i < end && IsSpace(text[i])) ++i;
    if (i >= end) return Token::End;
    const wchar_t c = text[i];
    if (c == L'"' || c == L'\'') {
      *first = i + 1;
      std::int32_t j = i + 1;
      while (j < end && text[j] != c) ++j;
      *last = j;
      i = j < end ? j + 1 : end;
      return afterEquals ? Token::Value : Token::Name;
    }
    std::int32_t j = i;
    if (afterEquals) {
      while (j < end && !IsSpace(text[j]) && text[j] != L'>') ++j;
    } else {
      while (j < end && !IsSpace(text[j]) && text[j] != L'/' && text[j] != L'=' && text[j] != L'>' &&
             text[j] != L'?') {
        ++j;
      }
    }
    if (j == i) ++j;
    *first = i;
    *last = j;
    i = j;
    if (j - *first == 1 && (c == L'/' || c == L'>' || c == L'?')) return Token::End;
    if (j - *first == 1 && c == L'=') return Token::Equals;
    return afterEquals ? Token::Value : Token::Name;
  };

  std::int32_t first = 0;
  std::int32_t last = 0;
  // Skip the tag name.
  while (i < end && !IsSpace(text[i]) && text[i] != L'/' && text[i] != L'=' && text[i] != L'>' && text[i] != L'?') {
    ++i;
  }
  Token token = next(false, &first, &last);
  while (token != Token::End) {
    if (token != Token::Name) {
      token = next(token == Token::Equals, &first, &last);
      continue;
    }
    const bool match = RequestMatches(text + first, static_cast<std::size_t>(last - first), name);
    const std::int32_t nameFirst = first;
    const std::int32_t nameLast = last;
    token = next(false, &first, &last);
    if (token != Token::Equals) {
      if (match) return UnescapeText(std::wstring_view(text + nameFirst, static_cast<std::size_t>(nameLast - nameFirst)), flags_);
      continue;
    }
    token = next(true, &first, &last);
    if (token == Token::End) return {};
    if (token == Token::Value && match) {
      return UnescapeText(std::wstring_view(text + first, static_cast<std::size_t>(last - first)), flags_);
    }
    if (token == Token::Value) token = next(false, &first, &last);
  }
  return {};
}
