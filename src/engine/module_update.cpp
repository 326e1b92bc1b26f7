#include "engine/module_update.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <unordered_map>

#include "app/folder_table.h"
#include "engine/engine_log.h"
#include "engine/engine_strings.h"
#include "engine/file_replace.h"
#include "engine/installed_digests.h"
#include "engine/module_staging.h"
#include "engine/module_swap.h"
#include "engine/patch_fetch.h"
#include "engine/progress_text.h"
#include "engine/safe_path.h"
#include "engine/staged_prepare.h"
#include "engine/update_decision.h"
#include "engine_resource.h"
#include "manifest/local_file_info.h"
#include "manifest/time_zone.h"
#include "manifest/trust_formats.h"
#include "platform/case_fold.h"
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

// Staged files of this size or more are forced to the disk before the swap
// renames them in; for a smaller file the flush cost more than its bytes
// (under Wine each one waited for the file system's journal).
constexpr std::uint64_t kFlushedBeforeSwapBytes = 1024 * 1024;

// The server folder of a list path: up to and with its last "/".
std::wstring ServerFolderOf(const std::wstring& listPath) { return RemoveLastPathPart(listPath, L'/') + L"/"; }

}  // namespace

// What choosing the files asks of the disk more than once: which folders are
// there, and the machine's time zone. A first install looks for every file
// in folders that do not exist; under Wine each such lookup is a call to the
// server (about 0.06 ms, four per file), and reading the zone scans the
// registry's zone table (about 50 ms), which only a file whose UTC time is
// unknown needs.
class CLocalLookups {
 public:
  // False when the folder that would hold `path` is known to be missing, so
  // nothing by that name is there.
  bool MayHold(const std::wstring& path) {
    const std::wstring folder = RemoveLastPathPart(path, L'\\');
    if (folder.empty()) return true;
    const auto [known, added] = folders_.emplace(Platform::FoldCase(folder), false);
    if (added) known->second = Platform::PathExists(folder);
    return known->second;
  }
  const std::wstring& ZoneKey() {
    if (!zoneKey_) zoneKey_ = GetCurrentTimeZoneKey();
    return *zoneKey_;
  }

 private:
  std::unordered_map<std::wstring, bool> folders_;
  std::optional<std::wstring> zoneKey_;
};

FetchResult CModuleUpdate::AnalyzeUpdateList(const std::wstring& listPath) {
  moduleDir_ = GetFolderTable().GetModuleDir();
  // A swap that a killed run left unfinished is completed or undone before
  // anything of the module is fetched, the list included.
  Platform::ErrorCode repairError = 0;
  if (RepairInterruptedSwap(moduleDir_, &repairError) == SwapRepair::kFailed)
    return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, repairError);
  // The staging folder is the updater's own: a link in its place goes, or
  // the module waits (nothing is staged through it).
  if (!RemoveStagingLinks(moduleDir_)) {
    const Platform::ErrorCode error = Platform::LastError();
    Log(L"Staging : a link in the staging folder could not be removed, the module is not updated -> " +
        StagingFolderOf(moduleDir_));
    return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, error != 0 ? error : Platform::kErrorAccessDenied);
  }

  std::string list;
  bool read = false;
  FetchResult result = FetchList(listPath, &list, &read);
  if (result.Failed()) return result;
  server_.Progress().SetStatus(L"analyze updatelist");

  // A list that cannot be read back gives no entries.
  FileDataArray entries;
  if (read) {
    CXmlDocument document;
    LoadUpdateListBytes(list, document, entries);
  }
  if (FetchResult checked = CheckEntries(entries, listPath); checked.Failed()) return checked;

  const std::wstring serverFolder = ServerFolderOf(listPath);
  std::vector<FileToFetch> toFetch;
  std::uint64_t totalSize = 0;
  if (FetchResult chosen = ChooseFiles(entries, serverFolder, &toFetch, &totalSize); chosen.Failed()) return chosen;

  std::vector<StagedFile> staged;
  // Read once: its digests spare hashing the patches' bases, and the swap's
  // files update it (installed_digests.h).
  CInstalledDigests installed = toFetch.empty() ? CInstalledDigests() : CInstalledDigests::Load(moduleDir_);
  if (FetchResult files = FetchFiles(serverFolder, toFetch, totalSize, installed, &staged);
      files.Failed() || !toFetch.empty())
    result = files;
  if (result.Failed()) {
    RemoveStagingFolderIfEmpty(moduleDir_);
    return result;
  }
  // Every file is staged and checked: the module is put in place whole.
  if (FetchResult installed = InstallModule(moduleDir_, staged, server_.Progress(), server_.AbortFlag(), cleanup_);
      installed.Failed())
    return installed;
  if (!staged.empty()) {
    std::vector<const CFileData*> placed;
    for (const StagedFile& file : staged) placed.push_back(file.entry);
    const bool listNamesPatches = std::any_of(entries.begin(), entries.end(),
                                              [](const std::unique_ptr<CFileData>& e) { return !e->Patches.empty(); });
    installed.KeepAfterSwap(moduleDir_, placed, listNamesPatches);
  }
  return result;
}

FetchResult CModuleUpdate::FetchList(const std::wstring& listPath, std::string* list, bool* read) {
  // The list is fetched into a folder of the run's own, never into the
  // install folder, where a list named like an installed file would replace
  // that file and then delete it.
  const std::wstring listName = GetFileNameFromPath(listPath);
  const std::wstring listFolder = PrivateListFolder();
  const CFileData listEntry(L"UpdateList", listName, L"99999.9.9.9", L"", listFolder);
  // The list is read once: the signature is checked over the very bytes
  // that are parsed.
  const FetchResult result = transfer_.Download(ServerFolderOf(listPath), listEntry, kMaxUpdateListBytes);
  *read = !result.Failed() && Platform::ReadWholeFile(listFolder + L"\\" + listName, kMaxUpdateListBytes, list);
  RemoveListFolder(listFolder);
  if (result.Failed()) return result;
  if (!*read) list->clear();
  if (FetchResult trusted = CheckListTrust(listPath, *list); trusted.Failed()) return trusted;
  return result;
}

FetchResult CModuleUpdate::RefuseList(const std::wstring& listPath, const std::wstring& why) {
  Log(L"AnalyzeUpdateList : the update list is not trusted, " + why + L" -> " + listPath);
  return FetchResult::Failure(FormatEngineString(IDS_UPDATE_LIST_NOT_SIGNED, listPath));
}

FetchResult CModuleUpdate::CheckListTrust(const std::wstring& listPath, std::string_view list) {
  // A pin holds in every run; a whole one stands for the list's signature,
  // since the signed manifest that carries it names these very bytes.
  if (module_) {
    std::wstring why;
    const ListPinCheck pin = CheckListPin(*module_, list, &why);
    if (pin != ListPinCheck::NoPin && pin != ListPinCheck::Matches) return RefuseList(listPath, why);
    if (pin == ListPinCheck::Matches && ListPinIsWhole(*module_)) return {};
  }
  if (!key_.RequiresSignatures()) return {};
  return CheckListSignature(listPath, list);
}

FetchResult CModuleUpdate::CheckListSignature(const std::wstring& listPath, std::string_view list) {
  const auto refuse = [&](const std::wstring& why) { return RefuseList(listPath, why); };
  std::string signature;
  bool found = false;
  if (FetchResult got = server_.FetchSmallDocument(SignaturePathOf(listPath), kMaxSignatureBytes, &signature, &found);
      got.Failed())
    return got;
  if (!found) return refuse(L"its signature is missing");
  const DocumentTrust trust = VerifyDocumentSignature(key_, list, signature);
  if (trust != DocumentTrust::Trusted) return refuse(DescribeDocumentTrust(trust));
  return {};
}

FetchResult CModuleUpdate::CheckEntries(const FileDataArray& entries, const std::wstring& listPath) {
  // A malformed size or hash fails the module in any run, a missing one in
  // a run that trusts only what the publisher signed.
  for (const auto& entry : entries) {
    const EntryDeclarations declarations = CheckEntryDeclarations(*entry, key_.RequiresSignatures());
    if (declarations == EntryDeclarations::Usable) continue;
    Log(L"AnalyzeUpdateList : " + entry->FileName +
        (declarations == EntryDeclarations::Malformed ? L" : size or sha256 is not in its form"
                                                      : L" : size or sha256 is missing") +
        L" -> " + listPath);
    return FetchResult::Failure(FormatEngineString(IDS_UPDATE_LIST_ENTRY_UNDECLARED, listPath, entry->FileName));
  }
  return {};
}

bool CModuleUpdate::IsPlaceable(const CFileData& entry, const std::unordered_set<std::wstring>& foldedNames) const {
  if (!IsContainedRelativePath(entry.FileName) || ReachesStagingFolder(moduleDir_, entry.FileName)) {
    Log(L"AnalyzeUpdateList : file outside the install folder skipped -> " + entry.FileName);
    return false;
  }
  // "X.bak" is where the swap keeps X's old file while the module goes in.
  const std::wstring folded = Platform::FoldCase(LocalNameOf(entry.FileName));
  if (folded.size() > 4 && folded.compare(folded.size() - 4, 4, L".BAK") == 0 &&
      foldedNames.count(folded.substr(0, folded.size() - 4)) != 0) {
    Log(L"AnalyzeUpdateList : file in the place of another file's backup skipped -> " + entry.FileName);
    return false;
  }
  return true;
}

FetchResult CModuleUpdate::ChooseFiles(const FileDataArray& entries, const std::wstring& serverFolder,
                                       std::vector<FileToFetch>* toFetch, std::uint64_t* totalSize) {
  CLocalLookups lookups;
  std::unordered_set<std::wstring> foldedNames;
  for (const auto& entry : entries) foldedNames.insert(Platform::FoldCase(LocalNameOf(entry->FileName)));
  for (const auto& entry : entries) {
    if (!IsPlaceable(*entry, foldedNames) || !NeedsFetch(*entry, lookups)) continue;
    const FetchResult size = transfer_.GetRemoteFileSize(serverFolder, *entry);
    if (size.Failed()) return size;
    // The total counts the bytes this run moves: what an earlier run
    // staged is not fetched again.
    const std::wstring stagedPath = StagedPathsOf(StagingFolderOf(moduleDir_), entry->FileName).data;
    const std::uint64_t staged = lookups.MayHold(stagedPath) ? StagedLength(stagedPath) : 0;
    const auto bytes = static_cast<std::uint64_t>(size.bytes);
    *totalSize += bytes > staged ? bytes - staged : 0;
    toFetch->push_back({entry.get(), bytes});
  }
  return {};
}

bool CModuleUpdate::NeedsFetch(const CFileData& entry, CLocalLookups& lookups) {
  const std::wstring name = LocalNameOf(entry.FileName);
  const std::wstring localPath = entry.Folder + L"\\" + name;
  // Not there, nor anything left beside it.
  if (!lookups.MayHold(localPath)) return true;
  // An updater of the kind that installed each file as it arrived may have
  // left its working files when it was killed: a partial download beside
  // the target, an archive not yet installed whole, the backup of a file it
  // was replacing.
  const std::wstring downloadPath = entry.Folder + L"\\" + entry.FileName;
  const std::wstring partial = TemporaryDownloadPath(downloadPath);
  if (Platform::IsFile(partial)) {
    Log(RemoveFileForcibly(partial) ? L"Partial download removed : " + partial
                                    : L"Partial download could not be removed : " + partial);
  }
  const bool archiveLeft = GetFileExtension(entry.FileName) == L".zip" && Platform::IsFile(downloadPath);
  if (Platform::PathExists(localPath + L".bak")) (void)ResolveStaleBackup(localPath, archiveLeft);

  bool fetch = !Platform::PathExists(localPath);
  if (archiveLeft) {
    if (!fetch) {
      Log(name + L" : installation of " + entry.FileName + L" was interrupted, installing it again");
      fetch = true;
    }
    (void)RemoveFileForcibly(downloadPath);
  }
  if (fetch) return true;
  // The published version and time against the installed file's.
  const CLocalFileInfo info(localPath);
  const std::wstring stamp =
      MakeLocalTimeStamp(info, [&lookups] { return lookups.ZoneKey(); }, entry.DateTime.size());
  const UpdateDecision decision = DecideUpdate(name, entry.DateTime, stamp, entry.Version, info.FileVersion);
  if (decision.reason == UpdateReason::Current) return false;
  Log(decision.logLine);
  return true;
}

FetchResult CModuleUpdate::FetchFiles(const std::wstring& serverFolder, const std::vector<FileToFetch>& toFetch,
                                      std::uint64_t totalSize, const CInstalledDigests& installed,
                                      std::vector<StagedFile>* staged) {
  IUpdateProgress& progress = server_.Progress();
  progress.SetTotalRange(0, 100);
  const std::size_t count = toFetch.size();
  progress.SetTotalLabel(FormatTotalLabel(0, count));
  if (count != 0) Log(L"Staging : " + std::to_wstring(count) + L" files into " + StagingFolderOf(moduleDir_));
  FetchResult result;
  std::uint64_t fetched = 0;
  unsigned lastPercent = 0;
  CPatchFetch patches(server_, transfer_, &installed);
  // The preparer applies one patch at a time; they share its memory.
  const auto patchMemory = std::make_shared<CDeltaPatchMemory>();
  // Staged files of some size are forced to the disk on a thread of their
  // own, beside the transfers and the patches' decoding, and all of them
  // before the swap: the swap's journal then has little to wait for.
  CStagedPreparer flusher(moduleDir_, server_.AbortFlag());
  // Archives are unpacked and patches applied in staging as they arrive,
  // beside the next transfer (slot i is toFetch[i]); a failed archive ends
  // the fetching early.
  CStagedPreparer preparer(moduleDir_, server_.AbortFlag());
  std::vector<std::uint64_t> patchServed(count, 0);
  for (std::size_t i = 0; i < count && !preparer.Failed(); ++i) {
    StagedFile file{toFetch[i].entry, false, {}, {}};
    StagedPatch patch;
    if (patches.FetchPatch(serverFolder, *file.entry, &patch)) {
      file.publishedTimeSet = true;
      if (patch.item) file.patchedItem = patch.stagedPath;
      result = FetchResult::Bytes(patch.served);
      patchServed[i] = patch.served;
      preparer.AddPatch(i, [patch, patchMemory, &flusher, &abort = server_.AbortFlag()] {
        const bool staged = ApplyStagedPatch(patch, abort, *patchMemory);
        if (staged && patch.targetSize >= kFlushedBeforeSwapBytes) flusher.AddFlush(patch.stagedPath);
        return staged;
      });
    } else {
      result = transfer_.DownloadFile(serverFolder, *file.entry, &file.publishedTimeSet, toFetch[i].announced);
      QueuePrepared(preparer, flusher, i, *file.entry, result);
    }
    if (result.Failed()) return result;
    staged->push_back(file);
    fetched += static_cast<std::uint64_t>(result.bytes);
    const unsigned percent = TotalPercent(fetched, totalSize, i + 1, count);
    if (percent != lastPercent) {
      progress.SetTotalPosition(static_cast<int>(percent));
      lastPercent = percent;
    }
    progress.SetTotalLabel(FormatTotalLabel(i + 1, count));
  }
  std::vector<std::size_t> unpatched;
  if (FetchResult prepared = CollectPrepared(preparer, staged, &unpatched); prepared.Failed()) return prepared;
  if (!unpatched.empty()) {
    // Patches that did not give their file: the whole files, as usual.
    for (const std::size_t slot : unpatched) {
      StagedFile& file = (*staged)[slot];
      file.patchedItem.clear();
      patchServed[slot] = 0;
      if (result = transfer_.DownloadFile(serverFolder, *file.entry, &file.publishedTimeSet, toFetch[slot].announced);
          result.Failed())
        return result;
      QueuePrepared(preparer, flusher, slot, *file.entry, result);
    }
    if (FetchResult prepared = CollectPrepared(preparer, staged, &unpatched); prepared.Failed()) return prepared;
  }
  LogPatchSavings(toFetch, patchServed);
  (void)flusher.Finish();
  return result;
}

void CModuleUpdate::QueuePrepared(CStagedPreparer& preparer, CStagedPreparer& flusher, std::size_t slot,
                                  const CFileData& entry, const FetchResult& fetched) {
  if (fetched.Failed()) return;
  // An archive is unpacked (its items forced to the disk as they are
  // written); any other file of some size is forced to the disk as it is.
  if (GetFileExtension(entry.FileName) == L".zip") {
    preparer.Add(slot, entry.FileName);
  } else if (entry.SizeDeclared && entry.Size >= kFlushedBeforeSwapBytes && IsContainedRelativePath(entry.FileName) &&
             !NamesStagingFolder(entry.FileName)) {
    flusher.AddFlush(StagedPathsOf(StagingFolderOf(entry.Folder), entry.FileName).data);
  }
}

void CModuleUpdate::LogPatchSavings(const std::vector<FileToFetch>& toFetch,
                                    const std::vector<std::uint64_t>& patchServed) {
  std::size_t patched = 0;
  std::uint64_t saved = 0;
  for (std::size_t i = 0; i < patchServed.size(); ++i) {
    if (patchServed[i] == 0) continue;
    ++patched;
    saved += toFetch[i].announced > patchServed[i] ? toFetch[i].announced - patchServed[i] : 0;
  }
  if (patched != 0)
    Log(L"Patches : " + std::to_wstring(patched) + L" of " + std::to_wstring(toFetch.size()) +
        L" files came as patches, " + std::to_wstring(saved) + L" bytes saved");
}

FetchResult CModuleUpdate::CollectPrepared(CStagedPreparer& preparer, std::vector<StagedFile>* staged,
                                           std::vector<std::size_t>* unpatched) {
  PrepareOutcome outcome = preparer.Finish();
  if (outcome.state == PrepareOutcome::State::kCancelled) throw CAbortSignal();
  if (outcome.state == PrepareOutcome::State::kFailed) {
    // As an archive that fails in the swap: the module stays as it was and
    // its staged files go, since what failed may be in them.
    Log(L"UnZip : an archive could not be unpacked, the module is not updated -> " + moduleDir_);
    (void)RemoveStagingFolder(moduleDir_);
    return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, outcome.error);
  }
  for (auto& [slot, items] : outcome.items) (*staged)[slot].items = std::move(items);
  unpatched->clear();
  for (const auto& [slot, done] : outcome.patched) {
    if (!done) unpatched->push_back(slot);
  }
  return {};
}
