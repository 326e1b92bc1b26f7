#include "engine/archive_install.h"

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "app/folder_table.h"
#include "engine/engine_log.h"
#include "engine/file_replace.h"
#include "engine/module_staging.h"
#include "engine/module_swap.h"
#include "engine/safe_path.h"
#include "platform/case_fold.h"
#include "platform/error.h"
#include "platform/file.h"
#include "zip/zip_reader.h"

namespace {

// True when the file at path is there and its size is known to differ.
bool SizeDiffers(const std::wstring& path, std::uint64_t expected) {
  if (!Platform::IsFile(path)) return false;
  Platform::CFile file;
  std::uint64_t size = 0;
  return file.OpenRead(path) && file.GetSize(&size) && size != expected;
}

// An archive, or one of its items, that cannot be read whole.
constexpr Platform::ErrorCode kErrorArchiveUnreadable = Platform::kErrorFileCorrupt;

// Whether the item is one that is never installed (logged as such).
bool SkipItem(const ZipItem& item, const std::wstring& folder) {
  if (!IsContainedRelativePath(item.name) || NamesStagingFolder(item.name)) {
    Log(L"UnZip : item outside the install folder skipped -> " + item.name);
    return true;
  }
  if (item.attributes & Platform::kAttrDirectory) {
    Log(L"UnZip : folder item skipped -> " + item.name);
    return true;
  }
  // A stored name with a folder part is not installed: the old file, if
  // any, stays where it is, and the log reads as it always has for such
  // an item (its extraction refused, its old copy kept).
  if (item.name.find_first_of(L"/\\") != std::wstring::npos) {
    Log(L"UnzipItem failed");
    Log(L"UnzipItem failed to create target file");
    Log(L"Restore file : " + folder + L"\\" + item.name + L".bak");
    return true;
  }
  return false;
}

// Extracts item `index` to `prepared.staged` and checks it whole. False,
// with *error, when it is not (a partial file is removed); false without a
// log line when the extraction was cancelled.
bool UnpackItem(ZipHandle* handle, std::int32_t index, const PreparedItem& prepared,
                const UnpackCancelCheck& cancelled, Platform::ErrorCode* error) {
  const ZipResult rc = UnzipItem(handle, index, prepared.staged, cancelled);
  if (rc == kZipCancelled) return false;
  Log(rc != kZipOk ? L"UnzipItem failed" : L"UnzipItem returned OK");
  bool whole = false;
  if (rc == kZipOk && Platform::IsFile(prepared.staged)) {
    Platform::CFile file;
    std::uint64_t size = 0;
    whole = file.OpenRead(prepared.staged) && file.GetSize(&size) && size == prepared.size;
  }
  if (rc == kZipOk)
    Log(whole ? L"Target file matches original file ==> OK" : L"Target file does not match original file");
  if (whole) {
    Log(L"Target file created OK");
    // On the disk before the swap renames it in (best effort; a small item
    // costs a flush more than its bytes).
    if (prepared.size >= 1024 * 1024) (void)FlushStagedFile(prepared.staged);
    return true;
  }
  *error = rc == kZipOk || rc == kZipItemFailed || rc == kZipHeaderMismatch || rc == kZipOverlapping ||
                   rc == kZipExtraUnreadable
               ? kErrorArchiveUnreadable
               : Platform::LastError();
  if (*error == 0) *error = kErrorArchiveUnreadable;
  Log(L"UnzipItem failed to create target file");
  if (Platform::IsFile(prepared.staged)) (void)RemoveFileForcibly(prepared.staged);
  return false;
}

}  // namespace

bool UnZip(const std::wstring& archivePath, const std::wstring& folder, const std::wstring& itemsFolder,
           const UnpackCancelCheck& cancelled, std::vector<PreparedItem>* items, Platform::ErrorCode* error) {
  Log(L"UnZip : strZipFileName -> " + archivePath);
  ZipHandle* raw = nullptr;
  if (OpenZip(archivePath, &raw, itemsFolder) != kZipOk) {
    Log(L"UnZip : GetZipItem failed -> " + archivePath);
    *error = kErrorArchiveUnreadable;
    return false;
  }
  CScopedZipHandle handle(raw);
  Log(L"UnZip : OpenZip");
  ZipItem countRecord;
  const std::int32_t count = GetZipItem(handle.get(), -1, &countRecord) == kZipOk ? countRecord.index : 0;
  std::unordered_map<std::wstring, std::size_t> byTarget;  // folded target -> position in *items
  for (std::int32_t index = 0; index < count; ++index) {
    if (cancelled && cancelled()) return false;
    ZipItem item;
    if (GetZipItem(handle.get(), index, &item) != kZipOk) {
      Log(L"UnZip : GetZipItem failed");
      *error = kErrorArchiveUnreadable;
      return false;
    }
    Log(L"UnZip : Zip archive contains file ==> OK");
    if (SkipItem(item, folder)) continue;
    PreparedItem prepared{itemsFolder + L"\\" + item.name, folder + L"\\" + item.name, item.uncompressedSize, false};
    if (IsUpdaterItself(prepared.target)) {
      // The running updater is never overwritten: its new copy waits in Temp.
      prepared.target = folder + L"\\Temp\\" + item.name;
      prepared.intoTemp = true;
    }
    if (!UnpackItem(handle.get(), index, prepared, cancelled, error)) return false;
    // Two items for one target (names that differ in letter case): the
    // later one was unpacked last, over the same staged file, and counts.
    const auto [at, added] = byTarget.emplace(Platform::FoldCase(prepared.target), items->size());
    if (added) {
      items->push_back(std::move(prepared));
    } else {
      (*items)[at->second] = std::move(prepared);
    }
  }
  return true;
}

bool InstallArchiveItems(const std::vector<PreparedItem>& items, CModuleSwap& swap, Platform::ErrorCode* error) {
  for (const PreparedItem& item : items) {
    const std::wstring& target = item.target;
    if (item.intoTemp) (void)EnsureDirectory(target.substr(0, target.rfind(L'\\')));
    if (swap.MayExist(target) && Platform::IsDirectory(target)) {
      Log(L"Target is a folder, not replaced : " + target);
      continue;
    }
    if (!swap.Holds(target) && swap.MayExist(target + L".bak") && Platform::PathExists(target + L".bak")) {
      // Left by an updater of the kind that extracted in place, stopped
      // inside this step: a target of another size than the item may be
      // its partial file, and the backup then the whole copy to keep.
      (void)ResolveStaleBackup(target, SizeDiffers(target, item.size));
    }
    if (!swap.SetAside(target, item.staged, error)) {
      // In use, or a backup that would not go: the old file stays.
      Log(L"Target file could not be moved aside, not replaced : " + target + ErrorText(*error));
      return false;
    }
    if (!swap.PlaceItem(item.staged, target)) {
      *error = Platform::LastError();
      Log(L"Target file could not be put in place : " + target + ErrorText(*error));
      return false;
    }
  }
  return true;
}
