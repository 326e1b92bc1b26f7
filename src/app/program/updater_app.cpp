#include "app/program/updater_app.h"

#include <memory>

#include "app/folder_table.h"
#include "app/update_log.h"
#include "engine/dialog/http_download_dlg.h"
#include "manifest/fetch_manifest.h"
#include "manifest/release_state.h"
#include "manifest/update_manifest.h"
#include "platform/clock.h"
#include "platform/windows_handle.h"
#include "ui/theme_store.h"

namespace {

const wchar_t kMutexName[] = L"QUILLO_VIREO_PACS_UPDATER";
const wchar_t kRegistryKey[] = L"Vireo PACS Updater";
// Written once at the start of every run of a build without a public key.
const wchar_t kUnkeyedLine[] =
    L"This updater is unkeyed: it checks no signatures, so whoever answers for the update server decides what it "
    L"installs";

}  // namespace

CVXUpdaterApp theUpdaterApp;

bool CVXUpdaterApp::InitInstance() {
  CWinApp::InitInstance();

  // Only one updater at a time; a second one leaves without touching the log.
  Platform::CScopedHandle mutex(::CreateMutexW(nullptr, TRUE, kMutexName));
  if (mutex && ::GetLastError() == ERROR_ALREADY_EXISTS) return false;

  SetRegistryKey(kRegistryKey);

  CFolderTable& folders = GetFolderTable();
  InitFolderTable(folders);

  CUpdateLog& log = GetUpdateLog();
  log.OpenLog(folders.GetAppDir() + L"\\updater_log.txt", true);

  ServerAddress = GetCommandLineText();
  // A keyed updater trusts only what its publisher signed; an unkeyed one
  // says so in every log.
  const CUpdateKey key = LoadUpdateKey();
  if (!key.RequiresSignatures()) log.WriteLog(kUnkeyedLine);

  // A manifest that cannot be fetched or parsed ends the updater silently:
  // no window opens and no program starts. The log holds what the fetch
  // writes (a failed send, a refused status, a body out of bounds, an
  // untrusted manifest); an address or a manifest that does not parse
  // leaves no line.
  ManifestFetchSettings fetch;
  fetch.agent = GetAppName();
  fetch.key = key;
  std::wstring manifest;
  std::string manifestBytes;
  if (!FetchManifest(ServerAddress, fetch, &manifest, &manifestBytes)) {
    log.CloseLog();
    return false;  // the mutex handle closes here; the process ends
  }
  UpdateModuleList modules;
  ManifestAttributes release;
  if (!ParseManifest(manifest, modules, &release)) {
    log.CloseLog();
    modules.clear();
    return false;
  }
  // A keyed updater also refuses an older release than the one it last
  // took, a replay of that one with other content, and an expired manifest
  // (update_state.txt beside it keeps the serial); a refusal ends it as an
  // unreadable manifest does.
  if (fetch.key.RequiresSignatures() &&
      !AcceptManifestRelease(folders.GetAppDir(), manifestBytes, release, modules, Platform::GetUtcNowFileTime())) {
    log.CloseLog();
    modules.clear();
    return false;
  }

  // The update dialog runs the update on its worker and returns once the
  // worker has ended; its result says nothing the log does not.
  auto dialog = std::make_unique<CHttpDownloadDlg>(ServerAddress, &modules);
  mainWindow = dialog.get();
  if (dialog->DoModal() == -1) {
    // Nothing was updated and nothing is started; the log says why.
    log.WriteLog(L"The update window could not be opened, Error: " + std::to_wstring(::GetLastError()));
  }
  mainWindow = nullptr;

  ReleaseThemeStore();
  log.CloseLog();
  dialog.reset();
  modules.clear();
  return false;
}
