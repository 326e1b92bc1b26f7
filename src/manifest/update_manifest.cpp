#include "manifest/update_manifest.h"

#include "xml/xml_document.h"

namespace {

// The text of the next child named `name` after the current one; empty, with
// the position unchanged, when there is none.
std::wstring NextChildText(CXmlDocument& document, const wchar_t* name) {
  return document.FindElement(name) ? document.GetElementText() : std::wstring();
}

}  // namespace

bool ParseManifest(const std::wstring& text, UpdateModuleList& list) {
  CXmlDocument document;
  if (!document.SetText(text)) return false;
  if (!document.FindElement(L"update")) return false;
  document.EnterElement();
  bool result = true;
  while (document.FindElement()) {
    auto module = std::make_unique<CUpdateModule>();
    module->Name = document.GetElementName();
    document.EnterElement();
    module->UpdateListPath = NextChildText(document, L"update_list");
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
