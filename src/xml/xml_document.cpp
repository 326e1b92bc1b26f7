// The element index and the document's navigation and text extraction.
#include "xml/xml_document.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <limits>

#include "xml/entities.h"
#include "xml/xml_chars.h"
#include "xml/xml_parser.h"

// ---------------------------------------------------------------------------
// XmlElementIndex

namespace {

// Records past the last one the parser took hold no values yet; they are
// copied as bytes.
void CopyRecords(XmlElement* to, const XmlElement* from, std::int32_t count) {
  std::memcpy(to, from, static_cast<std::size_t>(count) * sizeof(XmlElement));
}

}  // namespace

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
      auto whole = std::make_unique_for_overwrite<XmlElement[]>(kSegmentSize);
      CopyRecords(whole.get(), segments_[segmentCount_ - 1].get(), lastSize);
      segments_[segmentCount_ - 1] = std::move(whole);
    }
    if (segmentCount_ == segmentArraySize_) {
      const std::int32_t size = 2 * (segmentCount_ + 1) + 4;
      auto array = std::make_unique<std::unique_ptr<XmlElement[]>[]>(static_cast<std::size_t>(size));
      for (std::int32_t s = 0; s < segmentCount_; ++s) array[s] = std::move(segments_[s]);
      segments_ = std::move(array);
      segmentArraySize_ = size;
    }
    segments_[segmentCount_] = std::make_unique_for_overwrite<XmlElement[]>(static_cast<std::size_t>(wanted - full));
    ++segmentCount_;
  } else {
    // Room in the last segment: reallocate it at the needed size.
    const std::int32_t base = static_cast<std::int32_t>(full - kSegmentSize);
    auto bigger = std::make_unique_for_overwrite<XmlElement[]>(static_cast<std::size_t>(wanted - base));
    CopyRecords(bigger.get(), segments_[segmentCount_ - 1].get(), capacity_ - base);
    segments_[segmentCount_ - 1] = std::move(bigger);
  }
  capacity_ = wanted;
}

void XmlElementIndex::Release() {
  segments_.reset();
  segmentCount_ = 0;
  segmentArraySize_ = 0;
  capacity_ = 0;
  ClearLongTagLengths();
}

void XmlElementIndex::SetTagLengths(std::int32_t index, std::int32_t startTag, std::int32_t endTag) {
  auto s = static_cast<std::uint32_t>(startTag);
  auto e = static_cast<std::uint32_t>(endTag);
  if (s >= kXmlStartTagMask) {
    longStartTags_[index] = startTag;
    s = kXmlStartTagMask;
  }
  if (e >= kXmlEndTagMax) {
    longEndTags_[index] = endTag;
    e = kXmlEndTagMax;
  }
  (*this)[index].tagLengths = s | (e << kXmlEndTagShift);
}

std::int32_t XmlElementIndex::StartTagLength(std::int32_t index) const {
  const std::uint32_t s = (*this)[index].tagLengths & kXmlStartTagMask;
  return s == kXmlStartTagMask ? longStartTags_.at(index) : static_cast<std::int32_t>(s);
}

std::int32_t XmlElementIndex::EndTagLength(std::int32_t index) const {
  const std::uint32_t e = (*this)[index].tagLengths >> kXmlEndTagShift;
  return e == kXmlEndTagMax ? longEndTags_.at(index) : static_cast<std::int32_t>(e);
}

void XmlElementIndex::ClearLongTagLengths() {
  longStartTags_.clear();
  longEndTags_.clear();
}

// ---------------------------------------------------------------------------
// CXmlDocument

namespace {

using xml_chars::IsSpace;

// Compares a name found in the text with a requested name: the found name
// (n units) must equal the first n requested units, and what follows in the
// request must be nothing, or a path continuation ("/step", "[...]").
template <typename Unit>
bool RequestMatches(const Unit* found, std::size_t n, const wchar_t* request) {
  for (std::size_t k = 0; k < n; ++k) {
    // A found name holds no NUL unit, so this also stops at the request's end.
    if (static_cast<std::int32_t>(request[k]) != static_cast<std::int32_t>(found[k])) return false;
  }
  const wchar_t* rest = request + n;
  switch (rest[0]) {
    case 0: return true;
    case L'/': return rest[1] != 0;
    case L'[': return std::wcschr(rest + 1, L']') != nullptr;
    default: return false;  // a space, '=', ']' or any other continuation
  }
}

// Where the tag name of the element starting at `start` ends.
template <typename Unit>
std::int32_t TagNameEnd(const Unit* text, std::int32_t length, std::int32_t start) {
  const std::int32_t first = start + 1;
  const std::int32_t end = xml_chars::FindClass(text, first, length, xml_chars::kTagNameEnd);
  return end == first ? first + 1 : end;
}

// `text` [first, last) with references decoded. A value in the byte form
// without references (nearly all of them) is widened straight into the
// result; the byte form's padding lets both steps load whole blocks.
template <typename Unit>
std::wstring Unescape(const Unit* text, std::int32_t first, std::int32_t last, std::uint32_t flags) {
  const auto n = static_cast<std::size_t>(last - first);
  if constexpr (sizeof(Unit) == 1) {
    if (!xml_detail::HasBytePadded(text + first, n, '&')) return xml_detail::WidenPadded(text + first, n);
    return UnescapeText(xml_detail::Widen(text + first, n), flags);
  } else {
    const std::wstring_view value(text + first, n);
    if (value.find(L'&') == std::wstring_view::npos) return std::wstring(value);
    return UnescapeText(value, flags);
  }
}

template <typename Unit>
std::wstring ElementText(const Unit* text, std::int32_t contentStart, std::int32_t contentLength,
                         std::uint32_t flags) {
  const std::int32_t contentEnd = contentStart + contentLength;
  if (xml_chars::FindUnit(text, contentStart, contentEnd, L'<') == contentEnd) {
    return Unescape(text, contentStart, contentEnd, flags);
  }
  std::wstring result;
  XmlScanContextOf<Unit> scan;
  scan.text = text;
  scan.length = contentEnd;
  scan.position = contentStart;
  XmlNodeToken token;
  for (;;) {
    const std::int32_t kind = ScanNode(scan, token);
    if (kind == kXmlNodeEnd) break;
    if (kind == kXmlNodeText) {
      result += Unescape(text, token.start, token.start + token.length, flags);
    } else if (kind == kXmlNodeCData && token.length >= 12) {
      result += xml_detail::Widen(text + token.start + 9, static_cast<std::size_t>(token.length) - 12);
    }
  }
  return result;
}

using AttributeOffsets = std::vector<std::int32_t>;

// Byte form: reads attributes of the usual shape, name="value" or
// name='value' after spaces, from i on, a sixteen-unit block per name (the
// loads may run past `end` into the rest of the text or its padding). Stops
// at the first unit that needs the token rules and leaves i there; returns
// true when the attribute list has ended instead.
bool ReadUsualAttributes(const unsigned char* text, std::int32_t& i, std::int32_t end, AttributeOffsets& out) {
#ifdef VIREO_XML_SSE2
  const __m128i space = _mm_set1_epi8(' ');
  for (;;) {
    while (i < end && IsSpace(text[i])) ++i;
    if (i >= end) return true;
    const std::int32_t c = text[i];
    if (c == '/' || c == '>' || c == '?') return true;  // a one-unit end token
    if (c == '"' || c == '\'') return false;            // a quoted name
    // The name runs to an '=' within sixteen units, with no unit before it
    // that may end a name: '/', '>', '?' or any unit up to ' ' (control
    // units other than spaces do not end a name, but they are left to the
    // token rules here).
    const __m128i v = xml_detail::Load16(text + i);
    const unsigned equals = xml_detail::Mask(_mm_cmpeq_epi8(v, _mm_set1_epi8('=')));
    if (equals == 0) return false;
    const int k = __builtin_ctz(equals);
    const unsigned stops = xml_detail::Mask(_mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, space), space), _mm_cmpeq_epi8(v, _mm_set1_epi8('/'))),
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('>')), _mm_cmpeq_epi8(v, _mm_set1_epi8('?')))));
    const std::int32_t nameEnd = i + k;
    if (k == 0 || (stops & ((1u << k) - 1)) != 0 || end - nameEnd < 2) return false;
    const std::int32_t quote = text[nameEnd + 1];
    if (quote != '"' && quote != '\'') return false;
    const std::int32_t close = xml_detail::FindBytePadded(text, nameEnd + 2, end, static_cast<unsigned char>(quote));
    out.insert(out.end(), {i, nameEnd, nameEnd + 2, close});
    if (close >= end) return true;
    i = close + 1;
  }
#else
  (void)text;
  (void)i;
  (void)end;
  (void)out;
  return false;
#endif
}

// Reads the attributes of the start tag [start, end) in order into `out`
// (four offsets each, see CXmlDocument::attributes_). A valueless attribute
// gives its own name as value; a name whose value is not a value token (as
// in "a= = b") is left out.
template <typename Unit>
void ReadAttributes(const Unit* text, std::int32_t start, std::int32_t end, AttributeOffsets& out) {
  out.clear();
  auto add = [&out](std::int32_t nameFirst, std::int32_t nameLast, std::int32_t valueFirst, std::int32_t valueLast) {
    out.insert(out.end(), {nameFirst, nameLast, valueFirst, valueLast});
  };

  // Skip the tag name.
  std::int32_t i = xml_chars::FindClass(text, start + 1, end, xml_chars::kAttrNameEnd);
  if constexpr (sizeof(Unit) == 1) {
    if (ReadUsualAttributes(text, i, end, out)) return;
  }

  // Tokens: a name (quoted or not), '=', a value (after '=': quoted, or to a
  // space or '>'), or the end ('/', '>' or '?' alone, or the tag's end).
  enum class Token { Name, Equals, Value, End };
  enum class Pending { None, Name, NameEquals };
  Pending pending = Pending::None;
  bool afterEquals = false;  // the next token is read with the value rule
  std::int32_t nameFirst = 0;
  std::int32_t nameLast = 0;
  for (;;) {
    while (i < end && IsSpace(text[i])) ++i;
    Token token = Token::End;
    std::int32_t first = i;
    std::int32_t last = i;
    if (i < end) {
      const std::int32_t c = text[i];
      if (c == '"' || c == '\'') {
        first = i + 1;
        last = xml_chars::FindUnit(text, i + 1, end, static_cast<wchar_t>(c));
        i = last < end ? last + 1 : end;
        token = afterEquals ? Token::Value : Token::Name;
      } else {
        const unsigned char stops = afterEquals ? xml_chars::kValueEnd : xml_chars::kAttrNameEnd;
        std::int32_t j = xml_chars::FindClass(text, i, end, stops);
        if (j == i) ++j;
        last = j;
        i = j;
        if (j - first == 1 && (c == '/' || c == '>' || c == '?')) {
          token = Token::End;
        } else if (j - first == 1 && c == '=') {
          token = Token::Equals;
        } else {
          token = afterEquals ? Token::Value : Token::Name;
        }
      }
    }
    if (pending == Pending::Name) {
      if (token == Token::Equals) {
        pending = Pending::NameEquals;
        afterEquals = true;
        continue;
      }
      add(nameFirst, nameLast, nameFirst, nameLast);  // valueless: its own name
      pending = Pending::None;
    } else if (pending == Pending::NameEquals) {
      pending = Pending::None;
      if (token == Token::End) {
        add(nameFirst, nameLast, -1, -1);
        return;
      }
      if (token == Token::Value) {
        add(nameFirst, nameLast, first, last);
        afterEquals = false;
        continue;
      }
      // A second '=' ("a==b"): the name is dropped, what follows is read on.
    }
    switch (token) {
      case Token::End:
        return;
      case Token::Name:
        nameFirst = first;
        nameLast = last;
        pending = Pending::Name;
        afterEquals = false;
        break;
      case Token::Equals:
        afterEquals = true;
        break;
      case Token::Value:
        afterEquals = false;
        break;
    }
  }
}

template <typename Unit>
std::wstring LookUpAttribute(const Unit* text, const AttributeOffsets& attributes, const wchar_t* name,
                             std::uint32_t flags) {
  for (std::size_t k = 0; k < attributes.size(); k += 4) {
    const std::int32_t* a = attributes.data() + k;
    if (!RequestMatches(text + a[0], static_cast<std::size_t>(a[1] - a[0]), name)) continue;
    if (a[2] < 0) return {};
    return Unescape(text, a[2], a[3], flags);
  }
  return {};
}

template <typename Unit>
std::int32_t FindFrom(const XmlElementIndex& index, std::int32_t e, const Unit* text, std::int32_t length,
                      const wchar_t* name) {
  for (; e != 0; e = index[e].next) {
    const std::int32_t start = index[e].start;
    const std::int32_t end = TagNameEnd(text, length, start);
    if (RequestMatches(text + start + 1, static_cast<std::size_t>(end - start - 1), name)) break;
  }
  return e;
}

}  // namespace

CXmlDocument::CXmlDocument() : index_(std::make_unique<XmlElementIndex>()) {
  index_->Release();
  ParseText();
}

CXmlDocument::~CXmlDocument() = default;

bool CXmlDocument::SetText(std::wstring text) { return StoreText(std::move(text), true); }

bool CXmlDocument::SetTextKeepingWideForTesting(std::wstring text) { return StoreText(std::move(text), false); }

bool CXmlDocument::StoreText(std::wstring text, bool mayNarrow) {
  // The text ends at its first NUL unit, and offsets are 32-bit.
  constexpr std::size_t kMaxLength = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() / 2);
  diagnostics_.clear();
  std::size_t n = text.size();
  std::size_t narrowed = 0;
  if (mayNarrow) {
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[n + kBytePadding]);
    narrowed = xml_detail::NarrowUnits(bytes.get(), text.data(), n);
    if (narrowed < n && text[narrowed] == L'\0') n = narrowed;
    if (narrowed == n) {
      if (n > kMaxLength) n = 0;
      std::memset(bytes.get() + n, 0, kBytePadding);
      bytes_ = std::move(bytes);
      length_ = static_cast<std::int32_t>(n);
      wide_.clear();
      wide_.shrink_to_fit();
      wideReady_ = false;
      return ParseText();
    }
  }
  // A unit above 0xFF (or the wider form asked for): the text is kept as
  // given.
  const std::size_t nul = text.find(L'\0', narrowed);
  if (nul != std::wstring::npos) text.resize(nul);
  if (text.size() > kMaxLength) text.clear();
  bytes_.reset();
  length_ = static_cast<std::int32_t>(text.size());
  wide_ = std::move(text);
  wideReady_ = true;
  return ParseText();
}

const std::wstring& CXmlDocument::GetText() const {
  if (!wideReady_) {
    wide_ = xml_detail::Widen(bytes_.get(), static_cast<std::size_t>(length_));
    wideReady_ = true;
  }
  return wide_;
}

bool CXmlDocument::ParseText() {
  ResetNavigation();
  attributesOf_ = 0;
  nextFree_ = 1;
  index_->ClearLongTagLengths();
  const std::int32_t length = length_;
  const std::int32_t wanted = length / 64 + 8;
  if (index_->Capacity() < wanted) index_->Grow(wanted);
  XmlElementIndex& index = *index_;
  index[0] = XmlElement{};
  if (length > 0) {
    nextFree_ = (bytes_ ? BuildXmlIndex(bytes_.get(), length, index, diagnostics_)
                        : BuildXmlIndex(wide_, index, diagnostics_)) +
                1;
    XmlElement& doc = index[0];
    doc.length = length;
    if (nextFree_ == 1) {
      AddDiagnostic(diagnostics_, L"no_root_element", nullptr, std::wstring_view(), -1);
      doc.child = 0;
    } else {
      // The first element created is the first top-level element.
      doc.child = 1;
      if (index[1].next != 0) AddDiagnostic(diagnostics_, L"root_has_sibling", nullptr, std::wstring_view(), -1);
    }
  }
  ResetNavigation();
  const XmlElement& doc = index[0];
  return (doc.flagsLevel & kXmlNotWellFormed) == 0 && doc.child != 0 && index[doc.child].next == 0;
}

void CXmlDocument::ResetNavigation() {
  parentPos_ = 0;
  currentPos_ = 0;
  childPos_ = 0;
  nodeKind_ = 0;
  nodeOffset_ = 0;
  nodeLength_ = 0;
}

bool CXmlDocument::FindElement(const wchar_t* name) {
  const XmlElementIndex& index = *index_;
  std::int32_t e = currentPos_ != 0 ? index[currentPos_].next : index[parentPos_].child;
  if (name != nullptr && name[0] != 0) {
    e = bytes_ ? FindFrom(index, e, bytes_.get(), length_, name) : FindFrom(index, e, wide_.data(), length_, name);
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
  const std::int32_t start = (*index_)[currentPos_].start;
  if (start + 1 >= length_) return {};
  const auto first = static_cast<std::size_t>(start) + 1;
  if (bytes_) {
    const std::int32_t end = TagNameEnd(bytes_.get(), length_, start);
    return xml_detail::Widen(bytes_.get() + first, static_cast<std::size_t>(end) - first);
  }
  const std::int32_t end = TagNameEnd(wide_.data(), length_, start);
  return wide_.substr(first, static_cast<std::size_t>(end) - first);
}

std::wstring CXmlDocument::GetElementText() const {
  if (currentPos_ == 0) return {};
  const XmlElement& e = (*index_)[currentPos_];
  const std::int32_t startTag = StartTagLength(currentPos_);
  if (e.length == startTag || e.child != 0) return {};
  const std::int32_t contentStart = e.start + startTag;
  const std::int32_t contentLength = e.length - startTag - EndTagLength(currentPos_);
  if (contentLength <= 0) return {};
  if (bytes_) return ElementText(bytes_.get(), contentStart, contentLength, flags_);
  return ElementText(wide_.data(), contentStart, contentLength, flags_);
}

std::wstring CXmlDocument::GetAttributeValue(const wchar_t* name) const {
  if (currentPos_ == 0 || name == nullptr) return {};
  if (attributesOf_ != currentPos_) {
    const std::int32_t start = (*index_)[currentPos_].start;
    const std::int32_t end = std::min<std::int32_t>(start + StartTagLength(currentPos_), length_);
    if (bytes_) {
      ReadAttributes(bytes_.get(), start, end, attributes_);
    } else {
      ReadAttributes(wide_.data(), start, end, attributes_);
    }
    attributesOf_ = currentPos_;
  }
  if (bytes_) return LookUpAttribute(bytes_.get(), attributes_, name, flags_);
  return LookUpAttribute(wide_.data(), attributes_, name, flags_);
}
