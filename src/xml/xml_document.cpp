// Element index and navigation (interim: parsing lands next).
#include "xml/xml_document.h"

void XmlElementIndex::Grow(std::int32_t) {}
void XmlElementIndex::Release() {}
CXmlDocument::CXmlDocument() : index_(std::make_unique<XmlElementIndex>()) {}
CXmlDocument::~CXmlDocument() = default;
bool CXmlDocument::SetText(std::wstring text) { text_ = std::move(text); return false; }
bool CXmlDocument::FindElement(const wchar_t*) { return false; }
void CXmlDocument::EnterElement() {}
void CXmlDocument::LeaveElement() {}
std::wstring CXmlDocument::GetElementName() const { return {}; }
std::wstring CXmlDocument::GetElementText() const { return {}; }
std::wstring CXmlDocument::GetAttributeValue(const wchar_t*) const { return {}; }
std::int32_t CXmlDocument::StartTagLength(std::int32_t) const { return 0; }
std::int32_t CXmlDocument::EndTagLength(std::int32_t) const { return 0; }
bool CXmlDocument::ParseText() { return false; }
void CXmlDocument::ResetNavigation() {}
void CXmlDocument::SetTagLengths(std::int32_t, std::int32_t, std::int32_t) {}
