// Bringing one module up to date from its update list.
#include <atomic>
#include <vector>

#include "app/folder_table.h"
#include "app/update_log.h"
#include "engine/file_replace.h"
#include "engine/module_staging.h"
#include "engine/engine_strings.h"
#include "engine/update_run.h"
#include "engine_resource.h"
#include "manifest/trust_formats.h"
#include "manifest/update_trust.h"
#include "engine/progress_text.h"
#include "engine/safe_path.h"
#include "engine/update_decision.h"
#include "manifest/local_file_info.h"
#include "manifest/time_zone.h"
#include "platform/file.h"
#include "platform/process.h"
#include "xml/xml_document.h"

namespace {

// A folder below the temporary folder that only this run uses.
std::wstring PrivateListFolder() {
  static std::atomic<unsigned> serial{0};
  const std::wstring base = Platform::GetTempFolder() + L"\\vireo-update-" +
                            std::to_wstring(Platform::GetCurrentProcessIdNumber()) + L"-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring folder = base + std::to_wstring(serial++);
    if (Platform::MakeDirectory(folder)) return folder;
  }
  return base + L"x";
}

// Removes what the list's download left in its folder, and the folder.
void RemoveListFolder(const std::wstring& folder) {
  std::vector<Platform::DirectoryEntry> entries;
  if (Platform::ListDirectory(folder, &entries)) {
    for (const auto& e : entries) {
      if (!e.isDirectory) (void)RemoveFileForcibly(folder + L"\\" + e.name);
    }
  }
  (void)Platform::RemoveEmptyDirectory(folder);
}

}  // namespace

FetchResult CUpdateRun::CheckListSignature(const std::wstring& listPath, std::string_view list) {
  const auto refuse = [&](const std::wstring& why) {
    GetUpdateLog().WriteLog(L"AnalyzeUpdateList : the update list is not trusted, " + why + L" -> " + listPath);
    return FetchResult::Failure(FormatEngineString(IDS_UPDATE_LIST_NOT_SIGNED, listPath));
  };
  std::string signature;
  bool found = false;
  if (FetchResult got = FetchSmallDocument(SignaturePathOf(listPath), kMaxSignatureBytes, &signature, &found);
      got.Failed())
    return got;
  if (!found) return refuse(L"its signature is missing");
  const DocumentTrust trust = VerifyDocumentSignature(key_, list, signature);
  if (trust != DocumentTrust::Trusted) return refuse(DescribeDocumentTrust(trust));
  return {};
}

// The file's bytes, at most what a download let through; false when it
// cannot be read.
static bool ReadListBytes(const std::wstring& path, std::string* bytes) {
  Platform::CFile file;
  if (!file.OpenRead(path)) return false;
  char piece[65536];
  for (;;) {
    std::size_t got = 0;
    if (!file.Read(piece, sizeof piece, &got)) return false;
    if (got == 0) return true;
    bytes->append(piece, got);
  }
}

FetchResult CUpdateRun::AnalyzeUpdateList(const std::wstring& listPath) {
  CUpdateLog& log = GetUpdateLog();
  const std::wstring zoneKey = GetCurrentTimeZoneKey();
  const std::wstring moduleDir = GetFolderTable().GetModuleDir();
  const std::wstring listName = GetFileNameFromPath(listPath);
  const std::wstring serverFolder = RemoveLastPathPart(listPath, L'/') + L"/";
  // The list is fetched into a folder of the run's own, never into the
  // install folder, where a list named like an installed file would replace
  // that file and then delete it.
  // A swap that a killed run left unfinished is completed or undone before
  // anything of the module is fetched, the list included.
  Platform::ErrorCode repairError = 0;
  if (RepairInterruptedSwap(moduleDir, &repairError) == SwapRepair::kFailed)
    return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, repairError);
  const std::wstring listFolder = PrivateListFolder();
  const std::wstring localList = listFolder + L"\\" + listName;
  const CFileData listEntry(L"UpdateList", listName, L"99999.9.9.9", L"", listFolder);

  // The list is read once: the signature is checked over the very bytes
  // that are parsed. A list that cannot be read back gives no entries.
  FetchResult result = Download(serverFolder, listEntry, kMaxUpdateListBytes);
  std::string list;
  const bool read = !result.Failed() && ReadListBytes(localList, &list);
  RemoveListFolder(listFolder);
  if (result.Failed()) return result;
  if (key_.RequiresSignatures()) {
    if (!read) list.clear();
    if (FetchResult trusted = CheckListSignature(listPath, list); trusted.Failed()) return trusted;
  }
  progress_.SetStatus(L"analyze updatelist");

  FileDataArray entries;
  if (read) {
    CXmlDocument document;
    LoadUpdateListBytes(list, document, entries);
  }

  // Every entry must be checkable before anything of the module is fetched:
  // a malformed size or hash fails the module in any run, a missing one in a
  // run that trusts only what the publisher signed.
  for (const auto& entry : entries) {
    const EntryDeclarations declarations = CheckEntryDeclarations(*entry, key_.RequiresSignatures());
    if (declarations == EntryDeclarations::Usable) continue;
    log.WriteLog(L"AnalyzeUpdateList : " + entry->FileName +
                 (declarations == EntryDeclarations::Malformed ? L" : size or sha256 is not in its form"
                                                               : L" : size or sha256 is missing") +
                 L" -> " + listPath);
    return FetchResult::Failure(FormatEngineString(IDS_UPDATE_LIST_ENTRY_UNDECLARED, listPath, entry->FileName));
  }

  std::vector<const CFileData*> toFetch;
  std::uint64_t totalSize = 0;
  for (const auto& entry : entries) {
    if (!IsContainedRelativePath(entry->FileName) || NamesStagingFolder(entry->FileName)) {
      log.WriteLog(L"AnalyzeUpdateList : file outside the install folder skipped -> " + entry->FileName);
      continue;
    }
    const std::wstring name = LocalNameOf(entry->FileName);
    const std::wstring localPath = entry->Folder + L"\\" + name;

    // An updater of the kind that installed each file as it arrived may
    // have left its working files when it was killed: a partial download
    // beside the target, an archive not yet installed whole, the backup of
    // a file it was replacing.
    const std::wstring downloadPath = entry->Folder + L"\\" + entry->FileName;
    const std::wstring partial = TemporaryDownloadPath(downloadPath);
    if (Platform::PathExists(partial) && !Platform::IsDirectory(partial)) {
      log.WriteLog(RemoveFileForcibly(partial) ? L"Partial download removed : " + partial
                                               : L"Partial download could not be removed : " + partial);
    }
    const bool archiveLeft = GetFileExtension(entry->FileName) == L".zip" && Platform::PathExists(downloadPath) &&
                             !Platform::IsDirectory(downloadPath);
    if (Platform::PathExists(localPath + L".bak")) (void)ResolveStaleBackup(localPath, archiveLeft);

    bool fetch = !Platform::PathExists(localPath);
    if (archiveLeft) {
      if (!fetch) {
        log.WriteLog(name + L" : installation of " + entry->FileName + L" was interrupted, installing it again");
        fetch = true;
      }
      (void)RemoveFileForcibly(downloadPath);
    }
    if (!fetch) {
      const CLocalFileInfo info(localPath);
      const std::wstring stamp = MakeLocalTimeStamp(info, zoneKey, entry->DateTime.size());
      const UpdateDecision decision = DecideUpdate(name, entry->DateTime, stamp, entry->Version, info.FileVersion);
      if (decision.reason != UpdateReason::Current) {
        log.WriteLog(decision.logLine);
        fetch = true;
      }
    }
    if (fetch) {
      const FetchResult size = GetRemoteFileSize(serverFolder, *entry);
      if (size.Failed()) return size;
      // The total counts the bytes this run moves: what an earlier run
      // staged is not fetched again.
      const std::uint64_t staged = StagedLength(StagedPathsOf(StagingFolderOf(moduleDir), entry->FileName).data);
      const auto bytes = static_cast<std::uint64_t>(size.bytes);
      totalSize += bytes > staged ? bytes - staged : 0;
      toFetch.push_back(entry.get());
    }
  }

  progress_.SetTotalRange(0, 100);
  const std::size_t count = toFetch.size();
  progress_.SetTotalLabel(FormatTotalLabel(0, count));
  if (count != 0)
    log.WriteLog(L"Staging : " + std::to_wstring(count) + L" files into " + StagingFolderOf(moduleDir));
  std::uint64_t fetched = 0;
  unsigned lastPercent = 0;
  for (std::size_t i = 0; i < count; ++i) {
    result = DownloadFile(serverFolder, *toFetch[i]);
    if (result.Failed()) break;
    fetched += static_cast<std::uint64_t>(result.bytes);
    const unsigned percent = TotalPercent(fetched, totalSize, i + 1, count);
    if (percent != lastPercent) {
      progress_.SetTotalPosition(static_cast<int>(percent));
      lastPercent = percent;
    }
    progress_.SetTotalLabel(FormatTotalLabel(i + 1, count));
  }
  if (result.Failed()) {
    RemoveStagingFolderIfEmpty(moduleDir);
    return result;
  }
  // Every file is staged and checked: the module is put in place whole.
  if (FetchResult installed = InstallModule(moduleDir, toFetch); installed.Failed()) return installed;
  return result;
}
