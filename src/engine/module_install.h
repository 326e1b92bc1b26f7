// Windows only: putting a staged module in place as one swap
// (module_swap.h): running copies of replaced programs are ended, staged
// files and the items unpacked from staged archives renamed in, each old
// file kept as a ".bak" until all are there; a failed step puts every file
// back.
#pragma once
#include <atomic>
#include <string>
#include <vector>

#include "engine/archive_install.h"
#include "engine/run_result.h"
#include "engine/update_progress.h"
#include "manifest/update_list.h"

class CSwapCleanup;

// A file of the module that is staged and checked.
struct StagedFile {
  const CFileData* entry = nullptr;
  // Whether the staged file has the entry's published time already (the
  // swap then need not give it).
  bool publishedTimeSet = false;
  // For an archive entry that came as a patch: its item, staged, which is
  // put in place as a file (no archive to unpack).
  std::wstring patchedItem;
  // For an archive entry that came whole: its items, unpacked in staging.
  std::vector<PreparedItem> items;
};

// Puts the staged `files` of the module in `installFolder` in place. A
// cancel is seen only before the swap begins (the cancellation signal).
// Empty on success, else the failure (logged), with the module as it was.
// With no files, only what a failed run left staged is removed. The
// backups and the staging folder of a swap that went through are left to
// `cleanup`.
FetchResult InstallModule(const std::wstring& installFolder, const std::vector<StagedFile>& files,
                          IUpdateProgress& progress, const std::atomic<bool>& abort, CSwapCleanup& cleanup);
