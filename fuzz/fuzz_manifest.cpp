// Fuzz target: the manifest and an update list from bytes to records, as the
// updater reads them (the manifest decoded as UTF-8, the list with the ANSI
// code page). Whatever the bytes, a parsed manifest names an update list for
// every module it returns, and every list record is a "module" entry of the
// module folder.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/folder_table.h"
#include "manifest/update_list.h"
#include "manifest/update_manifest.h"
#include "platform/safe_name.h"
#include "xml/utf8.h"
#include "xml/xml_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::size_t total = 0;

  UpdateModuleList modules;
  const bool parsed = ParseManifest(Utf8ToWide(bytes), modules);
  if (parsed && modules.empty()) __builtin_trap();
  for (const auto& module : modules) {
    if (!module || module->UpdateListPath.empty()) __builtin_trap();
    total += module->Name.size() + module->InstallPath.size() + module->ProcessImage.size();
    total += IsContainedRelativePath(module->ProcessImage) ? 1 : 0;
  }

  CXmlDocument document;
  FileDataArray entries;
  LoadUpdateListBytes(bytes, document, entries);
  const std::wstring folder = GetFolderTable().GetModuleDir();
  for (const auto& entry : entries) {
    if (!entry || entry->Module != kUpdateListEntryModule || entry->Folder != folder) __builtin_trap();
    total += entry->Version.size() + entry->DateTime.size();
    total += IsContainedRelativePath(entry->FileName) ? 1 : 0;
  }
  // The document holds no more elements than the text has '<' units.
  if (static_cast<std::size_t>(document.GetElementCount()) > size) __builtin_trap();
  return total == static_cast<std::size_t>(-1) ? 1 : 0;
}
