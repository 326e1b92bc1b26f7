#include "engine/archive_install.h"

#include <cstdint>
#include <memory>

#include "app/folder_table.h"
#include "engine/engine_log.h"
#include "engine/file_replace.h"
#include "engine/module_staging.h"
#include "engine/module_swap.h"
#include "engine/safe_path.h"
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

}  // namespace

bool UnZip(const std::wstring& archivePath, const std::wstring& folder, CModuleSwap& swap,
           Platform::ErrorCode* error) {
  Log(L"UnZip : strZipFileName -> " + archivePath);
  ZipHandle* raw = nullptr;
  if (OpenZip(archivePath, &raw, folder) != kZipOk) {
    Log(L"UnZip : GetZipItem failed -> " + archivePath);
    *error = kErrorArchiveUnreadable;
    return false;
  }
  CScopedZipHandle handle(raw);
  Log(L"UnZip : OpenZip");
  ZipItem countRecord;
  const std::int32_t count = GetZipItem(handle.get(), -1, &countRecord) == kZipOk ? countRecord.index : 0;
  for (std::int32_t index = 0; index < count; ++index) {
    ZipItem item;
    if (GetZipItem(handle.get(), index, &item) != kZipOk) {
      Log(L"UnZip : GetZipItem failed");
      *error = kErrorArchiveUnreadable;
      return false;
    }
    Log(L"UnZip : Zip archive contains file ==> OK");
    if (!IsContainedRelativePath(item.name) || NamesStagingFolder(item.name)) {
      Log(L"UnZip : item outside the install folder skipped -> " + item.name);
      continue;
    }
    if (item.attributes & Platform::kAttrDirectory) {
      Log(L"UnZip : folder item skipped -> " + item.name);
      continue;
    }
    // A stored name with a folder part is not installed: the old file, if
    // any, stays where it is, and the log reads as it always has for such
    // an item (its extraction refused, its old copy kept).
    if (item.name.find_first_of(L"/\\") != std::wstring::npos) {
      Log(L"UnzipItem failed");
      Log(L"UnzipItem failed to create target file");
      Log(L"Restore file : " + folder + L"\\" + item.name + L".bak");
      continue;
    }
    std::wstring target = folder + L"\\" + item.name;
    if (IsUpdaterItself(target)) {
      // The running updater is never overwritten: its new copy waits in Temp.
      (void)EnsureDirectory(folder + L"\\Temp");
      target = folder + L"\\Temp\\" + item.name;
    }
    if (Platform::IsDirectory(target)) {
      Log(L"Target is a folder, not replaced : " + target);
      continue;
    }
    if (!swap.Holds(target) && Platform::PathExists(target + L".bak")) {
      // Left by an updater of the kind that extracted in place, stopped
      // inside this step: a target of another size than the item may be
      // its partial file, and the backup then the whole copy to keep.
      (void)ResolveStaleBackup(target, SizeDiffers(target, item.uncompressedSize));
    }
    if (!InstallArchiveItem(handle.get(), index, item, target, swap, error)) return false;
  }
  return true;
}

bool InstallArchiveItem(ZipHandle* handle, std::int32_t index, const ZipItem& record, const std::wstring& target,
                        CModuleSwap& swap, Platform::ErrorCode* error) {
  if (!swap.SetAside(target, std::wstring(), error)) {
    // In use, or a backup that would not go: extracting over it could
    // leave neither the old file nor the new one.
    Log(L"Target file could not be moved aside, not replaced : " + target + ErrorText(*error));
    return false;
  }
  const ZipResult rc = UnzipItem(handle, index, target);
  Log(rc != kZipOk ? L"UnzipItem failed" : L"UnzipItem returned OK");
  bool whole = false;
  if (rc == kZipOk && Platform::IsFile(target)) {
    Platform::CFile file;
    std::uint64_t size = 0;
    whole = file.OpenRead(target) && file.GetSize(&size) && size == record.uncompressedSize;
  }
  if (rc == kZipOk)
    Log(whole ? L"Target file matches original file ==> OK" : L"Target file does not match original file");
  if (whole) {
    Log(L"Target file created OK");
    return true;
  }
  *error = rc == kZipOk || rc == kZipItemFailed || rc == kZipHeaderMismatch || rc == kZipOverlapping ||
                   rc == kZipExtraUnreadable
               ? kErrorArchiveUnreadable
               : Platform::LastError();
  if (*error == 0) *error = kErrorArchiveUnreadable;
  Log(L"UnzipItem failed to create target file");
  if (Platform::IsFile(target)) {
    // Whatever is there now is the extraction's partial file: the old one
    // (if any) is safe in the backup.
    Log(L"Delete partial file : " + target);
    (void)RemoveFileForcibly(target);
  }
  return false;
}
