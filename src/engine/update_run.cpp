// The update run's outer loop: the connection, the modules in order, the
// session files and the programs started after each module.
#include "engine/update_run.h"

#include <cwctype>

#include "app/folder_table.h"
#include "app/update_log.h"
#include "engine/engine_strings.h"
#include "engine/process_control.h"
#include "engine/safe_path.h"
#include "engine_resource.h"
#include "platform/file.h"

namespace {

// ERROR_BAD_PATHNAME: the error code shown for a refused install path.
constexpr std::uint32_t kErrorBadPathName = 161;

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towupper(a[i]) != std::towupper(b[i])) return false;
  }
  return true;
}

// Moves a session file from the updater's folder into the viewer's install
// folder. The source goes only once its copy is there: a session file is
// meant for the one start that follows, and a failed copy must not lose it.
// When both are the same folder the file is already where the viewer looks.
void MoveSessionFile(const std::wstring& appDir, const std::wstring& installFolder, const wchar_t* name) {
  const std::wstring source = appDir + name;
  const std::wstring target = installFolder + name;
  if (EqualsNoCase(source, target)) return;
  if (!Platform::PathExists(source)) return;
  if (!Platform::CopyItem(source, target, true)) {
    GetUpdateLog().WriteLog(L"Session file not copied, kept : " + source + L" -> " + target + L", Error:" +
                            std::to_wstring(Platform::LastError()));
    return;
  }
  (void)Platform::RemoveFile(source);
}

// Whether the manifest's install path is of a form a suite uses: empty (the
// updater's folder), a drive path ("D:\\Suite\\viewer") or a relative path
// that stays below the updater's folder. Network (UNC) and device paths,
// drive-relative ones ("C:x"), rooted ones without a drive and relative ones
// that climb out are refused.
bool IsAcceptedInstallPath(const std::wstring& path) {
  if (path.empty()) return true;
  const bool letter = (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
  if (path.size() >= 3 && letter && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) {
    std::wstring rest = path.substr(3);
    while (!rest.empty() && (rest.back() == L'\\' || rest.back() == L'/')) rest.pop_back();
    return rest.empty() || IsContainedRelativePath(rest);
  }
  return IsContainedRelativePath(path);
}

}  // namespace

CUpdateRun::CUpdateRun(std::wstring address, UpdateModuleList* modules, IUpdateProgress& progress,
                       const std::atomic<bool>& abort)
    : address_(std::move(address)), modules_(modules), progress_(progress), abort_(abort), key_(LoadUpdateKey()) {}

CUpdateRun::~CUpdateRun() = default;

void CUpdateRun::SetTimeoutsForTesting(std::uint32_t connect, std::uint32_t send, std::uint32_t receive) {
  timeouts_.connectMs = connect;
  timeouts_.sendMs = send;
  timeouts_.receiveMs = receive;
}

void CUpdateRun::CheckAbort() const {
  if (abort_.load()) throw CAbortSignal();
}

FetchResult CUpdateRun::ReportError(unsigned id, std::uint32_t code) {
  if (code == 0) code = Platform::LastError();
  return FetchResult::Failure(FormatEngineString(id, std::to_wstring(code)));
}

std::wstring CUpdateRun::OpenConnection() {
  // The address keeps its scheme: an https server is asked for everything
  // over TLS.
  const std::wstring url = Platform::HasHttpScheme(address_) ? address_ : L"http://" + address_;
  Platform::HttpAddress parsed;
  if (!Platform::ParseHttpUrl(url, &parsed)) return L"Failed to parse the URL: " + url;
  basePath_ = parsed.path;
  CheckAbort();
  const Platform::HttpFailure failure = session_.Open(L"Updater", parsed, timeouts_);
  if (failure) {
    return ReportError(failure.step == Platform::HttpStep::kOpen ? IDS_HTTPDOWNLOAD_GENERIC_ERROR
                                                                  : IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER,
                       failure.code)
        .error;
  }
  CheckAbort();
  return {};
}

void CUpdateRun::CloseConnection() { session_.Close(); }

RunOutcome CUpdateRun::RunUpdate() {
  RunOutcome outcome;
  try {
    const std::wstring failure = OpenConnection();
    if (!failure.empty()) {
      outcome = {RunEnd::kFailed, failure};
    } else if (modules_) {
      CFolderTable& folders = GetFolderTable();
      CUpdateLog& log = GetUpdateLog();
      for (auto& slot : *modules_) {
        std::unique_ptr<CUpdateModule> module = std::move(slot);
        if (!module) continue;

        const std::wstring listPath = UpdateListRequestPath(basePath_, module->UpdateListPath);

        if (!IsAcceptedInstallPath(module->InstallPath)) {
          log.WriteLog(L"Install path refused (a drive path such as D:\\Suite or a folder below the updater's "
                       L"is expected) -> " + module->InstallPath);
          outcome = {RunEnd::kFailed, ReportError(IDS_HTTPDOWNLOAD_GENERIC_ERROR, kErrorBadPathName).error};
          break;
        }
        const std::wstring installFolder = ResolveInstallFolder(folders.GetAppDir(), module->InstallPath);
        SetModuleDir(folders, installFolder);
        progress_.SetTotalLabel(L"Total : 0/0");

        const FetchResult result = AnalyzeUpdateList(listPath);
        if (result.Failed()) {
          // Later modules wait for the next run.
          outcome = {RunEnd::kFailed, result.error};
          break;
        }
        // A Cancel that came during the module's swap takes effect now that
        // the module is whole: its program is not started.
        CheckAbort();

        if (!module->ProcessImage.empty() && !IsContainedRelativePath(module->ProcessImage)) {
          log.WriteLog(L"exec Orrery.exe : not started, the program is outside the install folder -> " +
                       module->ProcessImage);
        } else if (!module->ProcessImage.empty()) {
          if (EqualsNoCase(module->Name, L"viewer")) {
            MoveSessionFile(folders.GetAppDir(), installFolder, L"\\session.xml");
            MoveSessionFile(folders.GetAppDir(), installFolder, L"\\external_param.xml");
          }
          const std::wstring command = installFolder + L"\\" + module->ProcessImage;
          const std::uint32_t started = LaunchProgram(command);
          log.WriteLog(L"exec Orrery.exe : -> " + command);
          if (started != 1) {
            log.WriteLog(L"exec Orrery.exe : the program could not be started -> " + command + L", Error:" +
                         std::to_wstring(started));
          }
        }
      }
    }
  } catch (const CAbortSignal&) {
    outcome = {RunEnd::kCancelled, {}};
  } catch (const std::exception&) {
    // Out of memory: nothing may leave the worker's thread.
    outcome = {RunEnd::kFailed, FormatEngineString(IDS_HTTPDOWNLOAD_GENERIC_ERROR, std::to_wstring(8))};
  }
  CloseConnection();
  return outcome;
}
