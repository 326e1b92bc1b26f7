// Node scanner (interim).
#include "xml/xml_parser.h"

std::int32_t ScanNode(XmlScanContext& context, XmlNodeToken& token) {
  token = XmlNodeToken{kXmlNodeEnd, context.position, 0, 0};
  return kXmlNodeEnd;
}
void AddDiagnostic(std::wstring&, const wchar_t*, const wchar_t*, const std::wstring&, std::int32_t, std::int32_t) {}
