#include "tool_plan.h"

#include "app/folder_table.h"
#include "manifest/time_zone.h"
#include "manifest/update_list.h"
#include "manifest/update_manifest.h"
#include "platform/text.h"
#include "tool_server.h"
#include "tool_server_paths.h"
#include "xml/xml_document.h"

namespace VireoTool {

bool PlanUpdate(CServerSource& server, const std::wstring& installDir, const std::wstring& module, PlanReport* report,
                std::string* error) {
  *report = PlanReport();
  ServerReply reply;
  if (!server.Get(server.ManifestPath(), true, &reply, error)) return false;
  if (reply.status != 200) {
    *error = "update.xml: " + Platform::ToUtf8(server.ManifestPath()) + " answers status " + std::to_string(reply.status);
    return false;
  }
  UpdateModuleList modules;
  if (!ParseManifest(Platform::FromUtf8(reply.body), modules)) {
    *error = "update.xml does not parse; the updater would end without updating";
    return false;
  }
  const CUpdateModule* chosen = nullptr;
  std::string names;
  for (const auto& m : modules) {
    names += (names.empty() ? "" : ", ") + Platform::ToUtf8(m->Name);
    if (module.empty() ? modules.size() == 1 : m->Name == module) chosen = m.get();
  }
  if (!chosen) {
    *error = module.empty() ? "the manifest has several modules (" + names + "); choose one with --module"
                            : "no module '" + Platform::ToUtf8(module) + "' in the manifest (" + names + ")";
    return false;
  }
  report->module = chosen->Name;
  const std::wstring listPath = UpdateListRequestPath(server.BasePath(), chosen->UpdateListPath);
  if (!server.Get(listPath, true, &reply, error)) return false;
  if (reply.status != 200) {
    *error = "update list " + Platform::ToUtf8(listPath) + " answers status " + std::to_string(reply.status) +
             "; the updater would report an error";
    return false;
  }
  const std::size_t end = reply.body.find('\0');
  CXmlDocument document;
  (void)document.SetText(
      Platform::AnsiToWide(reply.body.data(), end == std::string::npos ? reply.body.size() : end));
  SetModuleDir(GetFolderTable(), installDir);
  FileDataArray entries;
  ParseUpdateList(document, entries);

  const std::wstring zoneKey = GetCurrentTimeZoneKey();
  const std::wstring folder = ServerFolderOf(listPath);
  for (const auto& entry : entries) {
    ++report->listed;
    PlannedFetch item;
    item.fileName = entry->FileName;
    item.decision = AnalyzeEntry(*entry, zoneKey);
    if (item.decision.verdict == EntryVerdict::Current) continue;
    if (item.decision.verdict != EntryVerdict::Refused) {
      ServerReply sized;
      if (!server.Get(folder + entry->FileName, false, &sized, error)) return false;
      item.status = sized.status;
      item.size = sized.status == 200 ? sized.reportedSize : 0;
      report->totalBytes += item.size;
    }
    report->items.push_back(std::move(item));
  }
  return true;
}

}  // namespace VireoTool
