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
// Index value = (segment << 16) + position in the segment. Tag lengths that
// do not fit a record's bit fields are kept aside here.
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

  // Start and end tag lengths of record `index`, whole even when they do not
  // fit the record's bit fields.
  void SetTagLengths(std::int32_t index, std::int32_t startTag, std::int32_t endTag);
  std::int32_t StartTagLength(std::int32_t index) const;
  std::int32_t EndTagLength(std::int32_t index) const;
  // Forgets the lengths kept aside (a new parse starts).
  void ClearLongTagLengths();

 private:
  std::unique_ptr<std::unique_ptr<XmlElement[]>[]> segments_;
  std::int32_t segmentCount_ = 0;
  std::int32_t segmentArraySize_ = 0;
  std::int32_t capacity_ = 0;
  std::unordered_map<std::int32_t, std::int32_t> longStartTags_;
  std::unordered_map<std::int32_t, std::int32_t> longEndTags_;
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
  // Tests: SetText that keeps the text in wchar_t units even when every unit
  // would fit in a byte, so that both forms can be compared.
  bool SetTextKeepingWideForTesting(std::wstring text);
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
  // bounded as xml_parser.h states (below 2,700 units).
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

  // Start and end tag lengths of record `index`.
  std::int32_t StartTagLength(std::int32_t index) const { return index_->StartTagLength(index); }
  std::int32_t EndTagLength(std::int32_t index) const { return index_->EndTagLength(index); }

 private:
  bool StoreText(std::wstring text, bool mayNarrow);
  // Resets navigation and rebuilds the index of the text; true when the text
  // is well formed.
  bool ParseText();
  void ResetNavigation();

  // The text. When every unit lies in 0x01..0xFF (as in every list decoded
  // from a single-byte code page) it is kept one byte per unit in bytes_,
  // followed by kBytePadding zero bytes so that blocks of sixteen may be
  // loaded anywhere before its end, and wide_ is only filled when GetText
  // asks for it; otherwise wide_ holds it and bytes_ is null.
  static constexpr std::size_t kBytePadding = 64;
  std::unique_ptr<unsigned char[]> bytes_;
  std::int32_t length_ = 0;
  mutable std::wstring wide_;
  mutable bool wideReady_ = true;
  std::wstring diagnostics_;
  // The attributes of record attributesOf_ (0 = none) as GetAttributeValue
  // reads them, four offsets each: name first and end, value first and end
  // (-1, -1 when a lookup of that name gives an empty value).
  mutable std::vector<std::int32_t> attributes_;
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
};
