// The node scanner and diagnostics writer under CXmlDocument's parser; shared
// with the document's text extraction and with tests.
#pragma once
#include <cstdint>
#include <string>

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

// One scanned node.
struct XmlNodeToken {
  std::int32_t kind = 0;
  std::int32_t start = 0;
  std::int32_t length = 0;
  std::uint32_t flags = 0;
};

// What ScanNode works through: the text [0, length) and where the next node
// starts. After a start or end tag (or processing instruction) nameFirst and
// nameLast hold the offsets of its name's first and last unit (nameLast =
// nameFirst - 1 for an empty name). Node-level findings go to diagnostics.
struct XmlScanContext {
  const wchar_t* text = nullptr;
  std::int32_t length = 0;
  std::int32_t position = 0;
  std::int32_t nameFirst = 0;
  std::int32_t nameLast = -1;
  std::uint32_t flags = 0;
  std::wstring diagnostics;
};

// Scans one node from context.position, fills `token`, moves the position to
// the node's end and returns the kind (kXmlNode*). At the end of the text:
// kXmlNodeEnd with length 0.
std::int32_t ScanNode(XmlScanContext& context, XmlNodeToken& token);

// Appends "<key" [ nameAttr="value"] [ offset="N"] [ offset2="N"] "/>" to
// `diagnostics` (value escaped); nameAttr is "type" or "tagname" and is left
// out when null, an offset of -1 is left out. Does nothing once the text is
// longer than 999 units.
void AddDiagnostic(std::wstring& diagnostics, const wchar_t* key, const wchar_t* nameAttr,
                   const std::wstring& value, std::int32_t offset, std::int32_t offset2 = -1);
