#include "engine/update_run.h"

#include "app/folder_table.h"
#include "engine/engine_log.h"
#include "engine/engine_strings.h"
#include "engine/module_staging.h"
#include "engine/module_update.h"
#include "platform/process_control.h"
#include "engine/safe_path.h"
#include "engine_resource.h"
#include "platform/case_fold.h"
#include "platform/file.h"

namespace {

// Moves a session file from the updater's folder into the viewer's install
// folder. The source goes only once its copy is there: a session file is
// meant for the one start that follows, and a failed copy must not lose it.
// When both are the same folder the file is already where the viewer looks.
void MoveSessionFile(const std::wstring& appDir, const std::wstring& installFolder, const wchar_t* name) {
  const std::wstring source = appDir + name;
  const std::wstring target = installFolder + name;
  if (Platform::EqualsIgnoringCase(source, target)) return;
  if (!Platform::PathExists(source)) return;
  if (!Platform::CopyItem(source, target, true)) {
    Log(L"Session file not copied, kept : " + source + L" -> " + target + ErrorText(Platform::LastError()));
    return;
  }
  (void)Platform::RemoveFile(source);
}

}  // namespace

CUpdateRun::CUpdateRun(std::wstring address, UpdateModuleList* modules, IUpdateProgress& progress,
                       const std::atomic<bool>& abort)
    : modules_(modules), server_(std::move(address), progress, abort), key_(LoadUpdateKey()) {}

RunOutcome CUpdateRun::RunUpdate() {
  RunOutcome outcome;
  try {
    const std::wstring failure = server_.OpenConnection();
    if (!failure.empty()) {
      outcome = {RunEnd::kFailed, failure};
    } else if (modules_) {
      for (auto& slot : *modules_) {
        const std::unique_ptr<CUpdateModule> module = std::move(slot);
        if (!module) continue;
        // Later modules wait for the next run.
        if (const FetchResult result = RunModule(*module); result.Failed()) {
          outcome = {RunEnd::kFailed, result.error};
          break;
        }
      }
    }
  } catch (const CAbortSignal&) {
    outcome = {RunEnd::kCancelled, {}};
  } catch (const std::exception&) {
    // Out of memory: nothing may leave the worker's thread.
    outcome = {RunEnd::kFailed,
               FormatEngineString(IDS_HTTPDOWNLOAD_GENERIC_ERROR, std::to_wstring(Platform::kErrorNotEnoughMemory))};
  }
  cleanup_.Wait();
  server_.CloseConnection();
  return outcome;
}

FetchResult CUpdateRun::RunModule(const CUpdateModule& module) {
  const std::wstring listPath = UpdateListRequestPath(server_.BasePath(), module.UpdateListPath);
  if (!IsAcceptedInstallPath(module.InstallPath)) {
    Log(L"Install path refused (a drive path such as D:\\Suite or a folder below the updater's "
        L"is expected) -> " + module.InstallPath);
    return ReportError(IDS_HTTPDOWNLOAD_GENERIC_ERROR, Platform::kErrorBadPathName);
  }
  CFolderTable& folders = GetFolderTable();
  const std::wstring installFolder = ResolveInstallFolder(folders.GetAppDir(), module.InstallPath);
  if (IsInsideStagingFolder(installFolder)) {
    Log(L"Install path refused (it lies inside a staging folder) -> " + module.InstallPath);
    return ReportError(IDS_HTTPDOWNLOAD_GENERIC_ERROR, Platform::kErrorBadPathName);
  }
  SetModuleDir(folders, installFolder);
  server_.Progress().SetTotalLabel(L"Total : 0/0");

  // The last module's leftovers are gone before anything of this one is
  // touched: the two may share folders.
  cleanup_.Wait();
  CModuleUpdate update(server_, key_, cleanup_);
  update.SetModule(&module);
  if (FetchResult result = update.AnalyzeUpdateList(listPath); result.Failed()) return result;
  // A Cancel that came during the module's swap takes effect now that the
  // module is whole: its program is not started.
  server_.CheckAbort();
  StartProgram(module, installFolder);
  return {};
}

void CUpdateRun::StartProgram(const CUpdateModule& module, const std::wstring& installFolder) {
  if (module.ProcessImage.empty()) return;
  if (!IsContainedRelativePath(module.ProcessImage)) {
    Log(L"exec Orrery.exe : not started, the program is outside the install folder -> " + module.ProcessImage);
    return;
  }
  if (Platform::EqualsIgnoringCase(module.Name, L"viewer")) {
    const std::wstring appDir = GetFolderTable().GetAppDir();
    MoveSessionFile(appDir, installFolder, L"\\session.xml");
    MoveSessionFile(appDir, installFolder, L"\\external_param.xml");
  }
  const std::wstring command = installFolder + L"\\" + module.ProcessImage;
  const std::uint32_t started = Platform::LaunchProgram(command);
  Log(L"exec Orrery.exe : -> " + command);
  if (started != 1)
    Log(L"exec Orrery.exe : the program could not be started -> " + command + ErrorText(started));
}
