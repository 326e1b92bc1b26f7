#include "engine/module_install.h"

#include <unordered_set>

#include "app/folder_table.h"
#include "engine/engine_log.h"
#include "engine/archive_install.h"
#include "engine/file_replace.h"
#include "engine/module_staging.h"
#include "engine/module_swap.h"
#include "platform/process_control.h"
#include "engine/published_time.h"
#include "engine/safe_path.h"
#include "engine/update_decision.h"
#include "engine_resource.h"
#include "platform/file.h"

namespace {

// Ends the running copy of the program at `path`, logging what became of it.
void EndRunningCopy(const std::wstring& path) {
  constexpr std::uint32_t kWaitMs = 5000;
  std::uint32_t error = 0;
  switch (Platform::CloseRunningProgram(path, kWaitMs, &error)) {
    case Platform::CloseOutcome::kNoneRunning:
      break;
    case Platform::CloseOutcome::kEnded:
      Log(L"CloseRunningProgram : ended -> " + path);
      break;
    case Platform::CloseOutcome::kStillRunning:
      Log(L"CloseRunningProgram : still running after " + std::to_wstring(kWaitMs / 1000) + L" s -> " + path);
      break;
    case Platform::CloseOutcome::kNotEnded:
      Log(L"CloseRunningProgram : could not be ended -> " + path + L", Error:" + std::to_wstring(error));
      break;
  }
}

// The folder part of `path` (without the last "\\"), or empty.
std::wstring ParentOf(const std::wstring& path) {
  const std::size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// One swap of one module's staged files.
class CInstall {
 public:
  CInstall(const std::wstring& installFolder, CSwapCleanup& cleanup)
      : installFolder_(installFolder), staging_(StagingFolderOf(installFolder)), swap_(installFolder), cleanup_(cleanup) {}

  FetchResult Run(const std::vector<StagedFile>& files) {
    Platform::ErrorCode error = 0;
    if (!swap_.Start(&error)) {
      Log(L"Swap : the journal could not be created -> " + staging_ + L", Error:" + std::to_wstring(error));
      (void)RemoveStagingFolder(installFolder_);
      return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, error);
    }
    for (const StagedFile& file : files) {
      if (!Place(file, &error)) return Undo(error);
    }
    SwapLeftovers leftovers = swap_.Commit();
    Log(L"Swap : done -> " + installFolder_);
    cleanup_.Begin(std::move(leftovers));
    return {};
  }

 private:
  // Puts one staged file (or the items of a staged archive) in place.
  bool Place(const StagedFile& file, Platform::ErrorCode* error) {
    const CFileData& entry = *file.entry;
    if (!IsContainedRelativePath(entry.FileName) || NamesStagingFolder(entry.FileName)) return true;
    const std::wstring stagedFile = StagedPathsOf(staging_, entry.FileName).data;
    const std::wstring subFolder = ParentOf(entry.FileName);
    const std::wstring folder = subFolder.empty() ? installFolder_ : installFolder_ + L"\\" + subFolder;
    if (madeFolders_.count(folder) == 0 && !EnsureDirectory(folder)) {
      *error = Platform::LastError();
      Log(L"Swap : folder could not be created -> " + folder + L", Error:" + std::to_wstring(*error));
      return false;
    }
    madeFolders_.insert(folder);
    const bool archive = GetFileExtension(entry.FileName) == L".zip";
    if (archive && file.patchedItem.empty()) return InstallArchiveItems(file.items, swap_, error);
    std::wstring target = installFolder_ + L"\\" + (archive ? LocalNameOf(entry.FileName) : entry.FileName);
    const std::wstring& source = archive ? file.patchedItem : stagedFile;
    if (IsUpdaterItself(target)) {
      // The running updater is never overwritten: its new copy waits in
      // Temp, as an archive's copy of it does.
      (void)EnsureDirectory(folder + L"\\Temp");
      target = folder + L"\\Temp\\" + GetFileNameFromPath(target);
    }
    if (!swap_.PlaceFile(source, target, error)) {
      Log(L"DownloadFile : the new file could not be put in place -> " + target + L", Error:" +
          std::to_wstring(*error));
      return false;
    }
    if (!entry.DateTime.empty() && !file.publishedTimeSet && !ApplyPublishedTime(target, entry.DateTime)) {
      // The published time, so that the next run finds the file current.
      Log(L"DownloadFile : published time not set -> " + entry.FileName + L" (" + entry.DateTime + L")");
    }
    return true;
  }

  // Undone whole, the module is as it was and its staged files go too: what
  // failed may be in them. Undone in part, the journal stays for the next
  // run's repair.
  FetchResult Undo(Platform::ErrorCode error) {
    if (swap_.Undo()) {
      Log(L"Swap undone, every file of the module is as it was -> " + installFolder_);
      (void)RemoveStagingFolder(installFolder_);
    } else {
      Log(L"Swap undone in part, the journal is kept for the next run -> " + installFolder_);
    }
    return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, error);
  }

  const std::wstring& installFolder_;
  const std::wstring staging_;
  CModuleSwap swap_;
  CSwapCleanup& cleanup_;
  std::unordered_set<std::wstring> madeFolders_;  // the swap's folders that are there
};

}  // namespace

FetchResult InstallModule(const std::wstring& installFolder, const std::vector<StagedFile>& files,
                          IUpdateProgress& progress, const std::atomic<bool>& abort, CSwapCleanup& cleanup) {
  // The last moment a cancel is honoured: a swap, once begun, runs to its
  // end or is undone.
  CheckAbort(abort);
  const std::wstring staging = StagingFolderOf(installFolder);
  if (files.empty()) {
    // Files staged by a run that failed, for a module that is current now.
    if (Platform::PathExists(staging) && !RemoveStagingFolder(installFolder))
      Log(L"Staging folder could not be removed : " + staging + L", Error:" + std::to_wstring(Platform::LastError()));
    return {};
  }
  progress.SetStatus(L"Installing the module's files");
  Log(L"Swap : putting " + std::to_wstring(files.size()) + L" staged files in place -> " + installFolder);

  // The running copies of programs about to be replaced are ended only now
  // that their new files are all here, and only the copy that runs from the
  // very file.
  const CFolderTable& folders = GetFolderTable();
  for (const StagedFile& file : files) {
    std::wstring program;
    if (ShouldCloseRunningProgram(*file.entry, folders, &program)) EndRunningCopy(file.entry->Folder + L"\\" + program);
  }
  return CInstall(installFolder, cleanup).Run(files);
}
