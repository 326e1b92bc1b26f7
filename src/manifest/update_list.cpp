#include "manifest/update_list.h"

#include <cstdint>

#include "app/folder_table.h"
#include "manifest/trust_formats.h"
#include "platform/file.h"
#include "platform/text.h"
#include "xml/xml_document.h"

namespace {

// The text ends at the first zero byte.
std::wstring DecodeListBytes(std::string_view bytes) {
  const std::size_t end = bytes.find('\0');
  return Platform::AnsiToWide(bytes.data(), end == std::string_view::npos ? bytes.size() : end);
}

}  // namespace

std::wstring ReadTextFile(const std::wstring& path) {
  std::string bytes;
  if (!Platform::ReadWholeFile(path, SIZE_MAX, &bytes)) return std::wstring();
  return DecodeListBytes(bytes);
}

void LoadUpdateList(const std::wstring& path, CXmlDocument& document, FileDataArray& array) {
  // A malformed list still yields what the document can find.
  (void)document.SetText(ReadTextFile(path));
  ParseUpdateList(document, array);
}

void LoadUpdateListBytes(std::string_view bytes, CXmlDocument& document, FileDataArray& array) {
  (void)document.SetText(DecodeListBytes(bytes));
  ParseUpdateList(document, array);
}

void ParseUpdateList(CXmlDocument& document, FileDataArray& array) {
  if (!document.FindElement(L"update")) return;
  document.EnterElement();
  const std::wstring folder = GetFolderTable().GetModuleDir();
  while (document.FindElement(L"module")) {
    auto entry = std::make_unique<CFileData>(kUpdateListEntryModule, document.GetAttributeValue(L"filename"),
                                             document.GetAttributeValue(L"version"),
                                             document.GetAttributeValue(L"datetime"), folder);
    ReadDeclaredFileFacts(document.GetAttributeValue(L"size"), document.GetAttributeValue(L"sha256"), entry.get());
    array.push_back(std::move(entry));
  }
  document.LeaveElement();
}
