// Windows only: the update of one module. Its update list is fetched into a
// folder of the run's own and checked (signature, declarations), every
// listed file is compared with the installed copy, what is missing or
// changed is fetched into the module's staging folder, and the staged
// module is put in place whole (module_install.h).
#pragma once
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/file_transfer.h"
#include "engine/module_install.h"
#include "engine/run_result.h"
#include "engine/server_connection.h"
#include "manifest/update_list.h"
#include "manifest/update_manifest.h"
#include "manifest/update_trust.h"

class CInstalledDigests;
class CLocalLookups;
class CStagedPreparer;

class CModuleUpdate {
 public:
  // `key`: what the run trusts; `cleanup` removes what the module's swap
  // leaves behind. All outlive the update.
  CModuleUpdate(CServerConnection& server, const CUpdateKey& key, CSwapCleanup& cleanup)
      : server_(server), key_(key), cleanup_(cleanup), transfer_(server) {}

  // Brings the module whose update list is at `listPath` (URL path) up to
  // date in the folder table's module folder. The byte count of the last
  // file fetched (or of the list), or the failure. May raise the
  // cancellation signal.
  FetchResult AnalyzeUpdateList(const std::wstring& listPath);
  // The manifest's record of the module, whose pin (if any) its list must
  // match; without one (tests), the list is judged by its signature alone.
  void SetModule(const CUpdateModule* module) { module_ = module; }

 private:
  // Fetches the list into a folder of the run's own and reads it back into
  // *list (*read false when it cannot be read); a keyed run checks its
  // signature over those very bytes.
  FetchResult FetchList(const std::wstring& listPath, std::string* list, bool* read);
  // Checks the list's bytes against the manifest's pin, then, in a keyed run
  // whose manifest does not pin them whole, against the list's signature.
  FetchResult CheckListTrust(const std::wstring& listPath, std::string_view list);
  // Fetches the update list's signature and checks it over the list's
  // bytes; the module's failure when it is not the key's.
  FetchResult CheckListSignature(const std::wstring& listPath, std::string_view list);
  // The module's failure for a list that is not trusted, `why` logged.
  static FetchResult RefuseList(const std::wstring& listPath, const std::wstring& why);
  // Every entry must be checkable before anything of the module is fetched.
  FetchResult CheckEntries(const FileDataArray& entries, const std::wstring& listPath);
  // A file to fetch, with the size the server announced for it.
  struct FileToFetch {
    const CFileData* entry;
    std::uint64_t announced;
  };
  // The entries whose files are missing or changed, and the bytes their
  // transfers will move.
  FetchResult ChooseFiles(const FileDataArray& entries, const std::wstring& serverFolder,
                          std::vector<FileToFetch>* toFetch, std::uint64_t* totalSize);
  // Whether the entry may be installed at all: inside the install folder,
  // not in the staging folder, not in the place of another entry's backup.
  bool IsPlaceable(const CFileData& entry, const std::unordered_set<std::wstring>& foldedNames) const;
  // Whether the installed copy of `entry` must be replaced (clearing what
  // an updater of the older kind left of it first).
  bool NeedsFetch(const CFileData& entry, CLocalLookups& lookups);
  // Fetches every chosen file into staging, the total bar following.
  // `installed` is the module's record of installed files.
  FetchResult FetchFiles(const std::wstring& serverFolder, const std::vector<FileToFetch>& toFetch,
                         std::uint64_t totalSize, const CInstalledDigests& installed, std::vector<StagedFile>* staged);

  // Waits for the archives and patches queued on `preparer`, gives each
  // archive its unpacked items in *staged and lists in *unpatched the slots
  // whose patches did not give their files; the module's failure when an
  // archive could not be unpacked. May raise the cancellation signal.
  // After a transfer: the staged archive queued to be unpacked (`preparer`),
  // any other staged file of some size to be forced to the disk (`flusher`),
  // beside the next transfer.
  void QueuePrepared(CStagedPreparer& preparer, CStagedPreparer& flusher, std::size_t slot, const CFileData& entry,
                     const FetchResult& fetched);
  FetchResult CollectPrepared(CStagedPreparer& preparer, std::vector<StagedFile>* staged,
                              std::vector<std::size_t>* unpatched);
  // The line for the files that came as patches (patchServed: the bytes of
  // each slot's patch, 0 for a whole file) and the bytes they saved.
  static void LogPatchSavings(const std::vector<FileToFetch>& toFetch, const std::vector<std::uint64_t>& patchServed);

  CServerConnection& server_;
  const CUpdateKey& key_;
  CSwapCleanup& cleanup_;
  const CUpdateModule* module_ = nullptr;
  CFileTransfer transfer_;
  std::wstring moduleDir_;
};
