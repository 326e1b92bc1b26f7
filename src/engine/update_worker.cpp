// The update worker: the thread that runs an update while the dialog shows
// its progress.
#include "app/folder_table.h"
#include "app/update_log.h"
#include "engine/engine_strings.h"
#include "engine/http_download_dlg.h"
#include "engine/process_control.h"
#include "engine/safe_path.h"
#include "engine_resource.h"
#include "framework/win_app.h"
#include "platform/file.h"

namespace {

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// Moves a session file from the updater's folder into the viewer's install
// folder. The source goes even when the copy fails: a session file is meant
// for the one start that follows. When both are the same folder the file is
// already where the viewer looks for it.
void MoveSessionFile(const std::wstring& appDir, const std::wstring& installFolder, const wchar_t* name) {
  const std::wstring source = appDir + name;
  const std::wstring target = installFolder + name;
  if (EqualsNoCase(source, target)) return;
  (void)Platform::CopyItem(source, target, true);
  (void)Platform::RemoveFile(source);
}

}  // namespace

unsigned CHttpDownloadDlg::WorkerThreadProc(void* param) {
  auto* dialog = static_cast<CHttpDownloadDlg*>(param);
  try {
    if (dialog->testJob_) {
      try {
        dialog->testJob_(*dialog);
      } catch (const CAbortSignal&) {
        ::OutputDebugStringW(CAbortSignal::kText);
      }
      // Ends the dialog unless the job already did (a second end is ignored).
      dialog->CloseHandles();
      dialog->PostWorkerDone(0);
    } else {
      dialog->RunUpdate();
    }
  } catch (const std::exception&) {
    // Nothing may leave the thread; the dialog must still hear that it ended.
    dialog->CloseHandles();
    dialog->errorText_ = FormatEngineString(IDS_HTTPDOWNLOAD_GENERIC_ERROR, std::to_wstring(ERROR_NOT_ENOUGH_MEMORY));
    dialog->PostWorkerDone(1);
  }
  return 0;
}

void CHttpDownloadDlg::CheckAbort() const {
  if (abort_) throw CAbortSignal();
}

void CHttpDownloadDlg::CloseHandles() {
  requestHandle_.Reset();
  connectionHandle_.Reset();
  rootHandle_.Reset();
}

bool CHttpDownloadDlg::OpenConnection() {
  std::wstring url = url_;
  if (url.find(L"http://") == std::wstring::npos) url = L"http://" + url;
  CParsedUrl parsed;
  if (!ParseUrl(url, &parsed)) {
    errorText_ = L"Failed to parse the URL: " + url;
    PostWorkerDone(1);
    return false;
  }
  serverName_ = parsed.server;
  port_ = parsed.port;
  service_ = parsed.service;
  basePath_ = parsed.object.empty() ? L"/" : parsed.object;

  const CWinApp* app = GetApp();
  const std::wstring agent = app ? app->GetAppName() : L"Updater";
  rootHandle_.Reset(::InternetOpenW(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!rootHandle_) {
    ReportError(IDS_HTTPDOWNLOAD_GENERIC_ERROR, ::GetLastError());
    return false;
  }
  CheckAbort();
  connectionHandle_.Reset(::InternetConnectW(rootHandle_.Get(), serverName_.c_str(), port_, L"", L"",
                                             INTERNET_SERVICE_HTTP, 0, reinterpret_cast<DWORD_PTR>(this)));
  if (!connectionHandle_) {
    const DWORD error = ::GetLastError();
    CloseHandles();
    ReportError(IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER, error);
    return false;
  }
  // Without them WinINet may wait for ever on a server that stops sending.
  (void)::InternetSetOptionW(connectionHandle_.Get(), INTERNET_OPTION_CONNECT_TIMEOUT, &connectTimeout_,
                             sizeof connectTimeout_);
  (void)::InternetSetOptionW(connectionHandle_.Get(), INTERNET_OPTION_SEND_TIMEOUT, &sendTimeout_, sizeof sendTimeout_);
  (void)::InternetSetOptionW(connectionHandle_.Get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveTimeout_,
                             sizeof receiveTimeout_);
  CheckAbort();
  return true;
}

void CHttpDownloadDlg::RunUpdate() {
  try {
    if (!OpenConnection()) return;
    CFolderTable& folders = GetFolderTable();
    CUpdateLog& log = GetUpdateLog();
    if (modules_) {
      for (auto& slot : *modules_) {
        std::unique_ptr<CUpdateModule> module = std::move(slot);
        if (!module) continue;

        std::wstring listPath = module->UpdateListPath;
        if (listPath.empty() || listPath[0] != L'/') listPath = L"/" + listPath;
        listPath = basePath_ + listPath;
        for (wchar_t& c : listPath) {
          if (c == L'\\') c = L'/';
        }
        listPath_ = listPath;

        const std::wstring installFolder = ResolveInstallFolder(folders.GetAppDir(), module->InstallPath);
        SetModuleDir(folders, installFolder);
        SetTotalLabel(L"Total : 0/0");

        if (AnalyzeUpdateList() == -1) {
          // Reported already; later modules wait for the next run.
          CloseHandles();
          return;
        }

        if (!module->ProcessImage.empty()) {
          if (EqualsNoCase(module->Name, L"viewer")) {
            MoveSessionFile(folders.GetAppDir(), installFolder, L"\\session.xml");
            if (Platform::PathExists(folders.GetAppDir() + L"\\external_param.xml"))
              MoveSessionFile(folders.GetAppDir(), installFolder, L"\\external_param.xml");
          }
          const std::wstring command = installFolder + L"\\" + module->ProcessImage;
          (void)LaunchProgram(command);
          log.WriteLog(L"exec Orrery.exe : -> " + command);
        }
      }
    }
    CloseHandles();
    PostWorkerDone(0);
  } catch (const CAbortSignal&) {
    ::OutputDebugStringW(CAbortSignal::kText);
    CloseHandles();
    PostWorkerDone(0);
  }
}
