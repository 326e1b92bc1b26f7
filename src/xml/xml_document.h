// An XML document held as UTF-16 text plus an index of its elements, walked
// forward element by element. Parsing never fails: a malformed text still
// yields an index of what was found, and a short record of the findings.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// One element of the index. Offsets count UTF-16 units from the start of the
// document text; links are index values (0 = none / document level). Records
// are not cleared when the index grows: the parser writes every field of a
// record it takes (XmlElement{} is all zero).
struct XmlElement {
  std::int32_t start;       // offset of the '<' of the start tag
  std::int32_t length;      // to the end of the end tag; start tag length when there is none
  std::uint32_t tagLengths; // low 22 bits start tag length, high 10 bits end tag length
  std::uint32_t flagsLevel; // low 16 bits nesting level, plus the kXml* flag bits
  std::int32_t parent;
  std::int32_t child;       // first child
  std::int32_t next;        // next sibling
  std::int32_t previous;    // previous sibling; the first child's names the last child
};

inline constexpr std::uint32_t kXmlStartTagMask = 0x3FFFFF;
inline constexpr int kXmlEndTagShift = 22;
inline constexpr std::uint32_t kXmlEndTagMax = 0x3FF;
inline constexpr std::uint32_t kXmlLevelMask = 0xFFFF;
inline constexpr std::uint32_t kXmlFirstChild = 0x80000;
inline constexpr std::uint32_t kXmlUnended = 0x100000;
inline constexpr std::uint32_t kXmlProblem = 0x200000;
inline constexpr std::uint32_t kXmlNotWellFormed = 0x800000;  // record 0 only

// The element records, kept in segments of 65,536 so that a large document
// costs few allocations and no record ever moves once its segment is full.
// Index value = (segment << 16) + position in the segment.
class XmlElementIndex {
 public:
  static constexpr int kSegmentBits = 16;
  static constexpr std::int32_t kSegmentSize = 1 << kSegmentBits;

  XmlElementIndex() = default;
  XmlElementIndex(const XmlElementIndex&) = delete;
  XmlElementIndex& operator=(const XmlElementIndex&) = delete;

  // Precondition: 0 <= index < Capacity().
  XmlElement& operator[](std::int32_t index) {
    return segments_[index >> kSegmentBits][index & (kSegmentSize - 1)];
  }
  const XmlElement& operator[](std::int32_t index) const {
    return segments_[index >> kSegmentBits][index & (kSegmentSize - 1)];
  }
  // Number of records that can be addressed.
  std::int32_t Capacity() const { return capacity_; }
  std::int32_t SegmentCount() const { return segmentCount_; }
  // Raises the capacity towards `wanted` records, adding at most one new
  // segment per call (a larger request stops at the end of the next
  // segment). Existing records keep their values. Never shrinks.
  void Grow(std::int32_t wanted);
  // Frees every segment; the capacity becomes 0.
  void Release();

 private:
  std::unique_ptr<std::unique_ptr<XmlElement[]>[]> segments_;
  std::int32_t segmentCount_ = 0;
  std::int32_t segmentArraySize_ = 0;
  std::int32_t capacity_ = 0;
};

// The offsets of one start tag's attributes as attribute reads keep them,
// four per attribute; the storage is kept from one element to the next.
class XmlAttributeOffsets {
 public:
  void Clear() { size_ = 0; }
  void Add(std::int32_t nameFirst, std::int32_t nameLast, std::int32_t valueFirst, std::int32_t valueLast) {
    if (size_ + 4 > capacity_) Grow();
    std::int32_t* p = data_.get() + size_;
    p[0] = nameFirst;
    p[1] = nameLast;
    p[2] = valueFirst;
    p[3] = valueLast;
    size_ += 4;
  }
  std::size_t size() const { return size_; }
  const std::int32_t* data() const { return data_.get(); }

 private:
  void Grow();
  std::unique_ptr<std::int32_t[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Not for concurrent use, not even of the const members: text and attribute
// reads keep small caches.
class CXmlDocument {
 public:
  // An empty document (no elements).
  CXmlDocument();
  ~CXmlDocument();
  CXmlDocument(const CXmlDocument&) = delete;
  CXmlDocument& operator=(const CXmlDocument&) = delete;

  // Replaces the text (kept up to its first NUL unit), clears the diagnostics,
  // resets navigation and rebuilds the index. True when the text is well
  // formed: no malformed node, no lone end tag, no unended element, exactly
  // one top-level element. After false the document is still navigable. An
  // empty text gives false and no diagnostic.
  bool SetText(std::wstring text);
  // Tests: SetText that keeps the text in the wider form even when every
  // unit would fit in a byte, so that both forms can be compared.
  bool SetTextKeepingWideForTesting(std::wstring text);
  // Tests: texts of at least `least` units are narrowed while they are
  // parsed, keeping `ahead` units ready before the scan and adding `step`
  // units at a time (small values put many steps into a small text).
  void SetNarrowingStepsForTesting(std::int32_t least, std::int32_t ahead, std::int32_t step) {
    feedLeast_ = least;
    feedAhead_ = ahead;
    feedStep_ = step;
  }

  // Searches forward among the children of the current parent: from the
  // current element's next sibling, or from the first child when there is no
  // current element. A null or empty name takes the first element reached;
  // otherwise the first whose tag name equals `name` (case-sensitive, whole
  // name). On success that element becomes current and true is returned; on
  // failure nothing changes.
  bool FindElement(const wchar_t* name = nullptr);
  bool FindElement(const std::wstring& name) { return FindElement(name.c_str()); }
  // Steps into the current element: its children become the search range,
  // and the child that was current before the last LeaveElement (if any)
  // becomes current again. Does nothing without a current element.
  void EnterElement();
  // Steps out: the parent becomes the current element again. Does nothing at
  // document level.
  void LeaveElement();

  // The current element's tag name; empty when there is none.
  std::wstring GetElementName() const;
  // The current element's character data with references decoded (CDATA
  // sections verbatim, comments and whitespace-only runs dropped); empty
  // when there is no current element or it has child elements or no end tag.
  std::wstring GetElementText() const;
  // The value of the current element's attribute `name`, references decoded;
  // a valueless attribute gives its own name; empty when absent.
  std::wstring GetAttributeValue(const wchar_t* name) const;
  std::wstring GetAttributeValue(const std::wstring& name) const { return GetAttributeValue(name.c_str()); }

  // The findings of the last parse: "<key attr=\"value\" .../>" entries,
  // capped at about 1,000 units.
  const std::wstring& GetDiagnostics() const { return diagnostics_; }
  // The text as kept (up to its first NUL unit).
  const std::wstring& GetText() const;
  // Read access to the index, for tests and tools. Record 0 is the document.
  const XmlElementIndex& GetIndex() const { return *index_; }
  // Number of element records built by the last parse (record 0 excluded).
  std::int32_t GetElementCount() const { return nextFree_ - 1; }
  // Index of the current element (0 = none) and of the current parent.
  std::int32_t GetCurrentPosition() const { return currentPos_; }
  std::int32_t GetParentPosition() const { return parentPos_; }

  // Start and end tag lengths of record `index` (lengths too large for the
  // record's bit fields are kept aside and returned whole).
  std::int32_t StartTagLength(std::int32_t index) const {
    const std::uint32_t s = (*index_)[index].tagLengths & kXmlStartTagMask;
    return s == kXmlStartTagMask ? LongStartTagLength(index) : static_cast<std::int32_t>(s);
  }
  std::int32_t EndTagLength(std::int32_t index) const {
    const std::uint32_t e = (*index_)[index].tagLengths >> kXmlEndTagShift;
    return e == kXmlEndTagMax ? LongEndTagLength(index) : static_cast<std::int32_t>(e);
  }

 private:
  friend class CXmlParser;
  // A large text that fits in bytes is narrowed piece by piece while it is
  // parsed, each piece shortly before the parser reaches it, so the wide text
  // is read once, as the parse goes: `source` is the wide text, [0, ready) of
  // it is in narrow_. `stopped` tells that a unit did not fit in a byte (or was
  // NUL) at `ready`.
  struct NarrowingFeed {
    const wchar_t* source = nullptr;
    std::int32_t ready = 0;
    bool stopped = false;
  };
  bool StoreText(std::wstring text, bool mayNarrow);
  // Keeps the first n of `bytes` as the text in the byte form (the block
  // holds n + its padding).
  void KeepBytes(std::unique_ptr<unsigned char[]> bytes, std::size_t n);
  // Narrows the text up to `target` units (at most its length); false when a
  // unit that does not fit stopped it first.
  bool Feed(NarrowingFeed& feed, std::int32_t target);
  // Parses the text into the index. With a feed, the text is narrowed as the
  // parse goes; when the feed stops, the parse is abandoned and the caller
  // starts over.
  bool ParseText(NarrowingFeed* feed = nullptr);
  void ResetNavigation();
  void SetTagLengths(std::int32_t index, std::int32_t startTag, std::int32_t endTag) {
    const auto s = static_cast<std::uint32_t>(startTag);
    const auto e = static_cast<std::uint32_t>(endTag);
    if (s >= kXmlStartTagMask || e >= kXmlEndTagMax) {
      SetLongTagLengths(index, startTag, endTag);
      return;
    }
    (*index_)[index].tagLengths = s | (e << kXmlEndTagShift);
  }
  // The same for lengths that do not fit the record's bit fields.
  void SetLongTagLengths(std::int32_t index, std::int32_t startTag, std::int32_t endTag);
  std::int32_t LongStartTagLength(std::int32_t index) const;
  std::int32_t LongEndTagLength(std::int32_t index) const;

  // The text. When every unit is below 0x100 (the usual case) it is kept one
  // byte per unit in narrow_, and wide_ is only filled when GetText asks for
  // it; otherwise wide_ holds it and narrow_ is null.
  std::unique_ptr<unsigned char[]> narrow_;
  std::int32_t length_ = 0;
  mutable std::wstring wide_;
  mutable bool wideReady_ = true;
  std::wstring diagnostics_;
  // The attributes of record attributesOf_ (0 = none) as GetAttributeValue
  // reads them, four offsets each: name first and end, value first and end
  // (-1, -1 when a lookup of that name gives an empty value).
  mutable XmlAttributeOffsets attributes_;
  mutable std::int32_t attributesOf_ = 0;
  std::int32_t parentPos_ = 0;
  std::int32_t currentPos_ = 0;
  std::int32_t childPos_ = 0;
  std::int32_t nextFree_ = 1;
  std::int32_t nodeKind_ = 0;
  std::int32_t nodeOffset_ = 0;
  std::int32_t nodeLength_ = 0;
  std::uint32_t flags_ = 0;
  std::unique_ptr<XmlElementIndex> index_;
  // Narrowing while parsing (see NarrowingFeed): from this text length on,
  // with these many units kept ready ahead of the scan, added this many at a
  // time.
  std::int32_t feedLeast_ = 1 << 18;
  std::int32_t feedAhead_ = 1 << 13;
  std::int32_t feedStep_ = 1 << 14;
  // Tag lengths that do not fit the record's bit fields, by record index.
  std::unordered_map<std::int32_t, std::int32_t> longStartTags_;
  std::unordered_map<std::int32_t, std::int32_t> longEndTags_;
};
