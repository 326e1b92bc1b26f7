#include "manifest/update_manifest.h"

#include "manifest/trust_formats.h"
#include "xml/xml_document.h"

namespace {

// The text of the next child named `name` after the current one; empty, with
// the position unchanged, when there is none.
std::wstring NextChildText(CXmlDocument& document, const wchar_t* name) {
  return document.FindElement(name) ? document.GetElementText() : std::wstring();
}

// The pin attributes of the "update_list" element the document stands on.
void ReadListPin(const CXmlDocument& document, CUpdateModule* module) {
  const std::wstring size = document.GetAttributeValue(L"size");
  const std::wstring sha256 = document.GetAttributeValue(L"sha256");
  if (!size.empty()) {
    module->ListSizeDeclared = ParseDecimalSize(size, &module->ListSize);
    module->ListPinMalformed = !module->ListSizeDeclared;
  }
  if (!sha256.empty()) {
    module->ListSha256Declared = ParseSha256Hex(sha256, &module->ListSha256);
    module->ListPinMalformed = module->ListPinMalformed || !module->ListSha256Declared;
  }
  if (module->ListPinMalformed) {
    module->ListSizeDeclared = module->ListSha256Declared = false;
    module->ListSize = 0;
    module->ListSha256 = {};
  }
}

void ReadRootAttributes(const CXmlDocument& document, ManifestAttributes* attributes) {
  using State = ManifestAttributes::State;
  attributes->serialText = document.GetAttributeValue(L"serial");
  if (!attributes->serialText.empty()) {
    const bool ok = ParseManifestSerial(attributes->serialText, &attributes->serial);
    attributes->serialState = ok ? State::Present : State::Malformed;
    if (!ok) attributes->serial = 0;
  }
  attributes->expiresText = document.GetAttributeValue(L"expires");
  if (!attributes->expiresText.empty()) {
    const bool ok = ParseUtcTime(attributes->expiresText, &attributes->expires);
    attributes->expiresState = ok ? State::Present : State::Malformed;
    if (!ok) attributes->expires = 0;
  }
}

}  // namespace

bool ParseManifest(const std::wstring& text, UpdateModuleList& list) { return ParseManifest(text, list, nullptr); }

bool ParseManifest(const std::wstring& text, UpdateModuleList& list, ManifestAttributes* attributes) {
  if (attributes) *attributes = ManifestAttributes();
  CXmlDocument document;
  if (!document.SetText(text)) return false;
  if (!document.FindElement(L"update")) return false;
  if (attributes) ReadRootAttributes(document, attributes);
  document.EnterElement();
  bool result = true;
  while (document.FindElement()) {
    auto module = std::make_unique<CUpdateModule>();
    module->Name = document.GetElementName();
    document.EnterElement();
    if (document.FindElement(L"update_list")) {
      module->UpdateListPath = document.GetElementText();
      ReadListPin(document, module.get());
    }
    module->InstallPath = NextChildText(document, L"install_path");
    module->ProcessImage = NextChildText(document, L"process_image");
    document.LeaveElement();
    if (module->UpdateListPath.empty()) {
      result = false;
      break;
    }
    list.push_back(std::move(module));
  }
  return result && !list.empty();
}

std::wstring UpdateListRequestPath(const std::wstring& basePath, const std::wstring& updateListPath) {
  std::wstring path = basePath.empty() ? L"/" : basePath;
  if (updateListPath.empty() || updateListPath[0] != L'/') path += L"/";
  path += updateListPath;
  for (wchar_t& c : path) {
    if (c == L'\\') c = L'/';
  }
  return path;
}
