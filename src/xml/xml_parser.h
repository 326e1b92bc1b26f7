// The XML parser under CXmlDocument: the node scanner (shared with the
// document's text extraction and with tests), the diagnostics writer, and
// the builder of the element index.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

class XmlElementIndex;

// Node kinds returned by ScanNode.
inline constexpr std::int32_t kXmlNodeEndTag = 0;
inline constexpr std::int32_t kXmlNodeStartTag = 1;
inline constexpr std::int32_t kXmlNodeText = 2;
inline constexpr std::int32_t kXmlNodeWhitespace = 4;
inline constexpr std::int32_t kXmlNodeCData = 8;
inline constexpr std::int32_t kXmlNodeProcessing = 16;
inline constexpr std::int32_t kXmlNodeComment = 32;
inline constexpr std::int32_t kXmlNodeDoctype = 64;
inline constexpr std::int32_t kXmlNodeMalformed = -1;
inline constexpr std::int32_t kXmlNodeEnd = -2;

inline constexpr std::uint32_t kXmlTokenSelfClosed = 0x10000;

// Bounds of one parse, whatever the text holds:
// - at most kXmlMaxDepth elements are open at once. A start tag met at that
//   depth still gets its record, but is closed at once as unended (its
//   children, if any, become its following siblings) with a
//   "nesting_too_deep" finding;
// - the diagnostics text stops growing once it is longer than
//   kXmlMaxDiagnostics units; a name written into an entry is cut to its
//   first kXmlMaxDiagnosticName units, so the entry that crosses the mark
//   leaves the whole text below 2,700 units.
inline constexpr std::int32_t kXmlMaxDepth = 0xFFFF;
inline constexpr std::size_t kXmlMaxDiagnostics = 999;
inline constexpr std::size_t kXmlMaxDiagnosticName = 256;

// One scanned node.
struct XmlNodeToken {
  std::int32_t kind = 0;
  std::int32_t start = 0;
  std::int32_t length = 0;
  std::uint32_t flags = 0;
};

// What ScanNode works through: the text [0, length), which holds no NUL
// unit, in wchar_t units or in the byte form (one unsigned char per unit,
// for texts whose units all lie below 0x100), and where the next node starts. After a start or end tag (or
// processing instruction) nameFirst and nameLast hold the offsets of its
// name's first and last unit (nameLast = nameFirst - 1 for an empty name).
// Node-level findings go to diagnostics.
template <typename Unit>
struct XmlScanContextOf {
  const Unit* text = nullptr;
  std::int32_t length = 0;
  std::int32_t position = 0;
  std::int32_t nameFirst = 0;
  std::int32_t nameLast = -1;
  std::uint32_t flags = 0;
  std::wstring diagnostics;
};
using XmlScanContext = XmlScanContextOf<wchar_t>;
using XmlByteScanContext = XmlScanContextOf<unsigned char>;

// Scans one node from context.position, fills `token`, moves the position to
// the node's end and returns the kind (kXmlNode*). At the end of the text:
// kXmlNodeEnd with length 0. One pass over the node's units.
std::int32_t ScanNode(XmlScanContext& context, XmlNodeToken& token);
std::int32_t ScanNode(XmlByteScanContext& context, XmlNodeToken& token);

// Appends "<key" [ nameAttr="value"] [ offset="N"] [ offset2="N"] "/>" to
// `diagnostics` (value cut to kXmlMaxDiagnosticName units, then escaped);
// nameAttr is "type" or "tagname" and is left out when null, an offset of -1
// is left out. Does nothing once the text is longer than kXmlMaxDiagnostics
// units.
void AddDiagnostic(std::wstring& diagnostics, const wchar_t* key, const wchar_t* nameAttr,
                   std::wstring_view value, std::int32_t offset, std::int32_t offset2 = -1);

// Builds the element index of `text` (no NUL units; at most INT32_MAX / 2
// units): fills records 1 onward of `index` (growing it as needed), sets
// record 0's child, flags and length, and appends the findings to
// `diagnostics`. Returns the number of element records made. The time is
// linear in the text length, whatever its tags (end tags are matched
// against the open elements through a table of their names).
std::int32_t BuildXmlIndex(std::wstring_view text, XmlElementIndex& index, std::wstring& diagnostics);
// The same for a text in the byte form, [text, text + length).
std::int32_t BuildXmlIndex(const unsigned char* text, std::int32_t length, XmlElementIndex& index,
                           std::wstring& diagnostics);
