// Windows only: the update of one module. Its update list is fetched into a
// folder of the run's own and checked (signature, declarations), every
// listed file is compared with the installed copy, what is missing or
// changed is fetched into the module's staging folder, and the staged
// module is put in place whole (module_install.h).
#pragma once
#include <string>
#include <vector>

#include "engine/file_transfer.h"
#include "engine/module_install.h"
#include "engine/run_result.h"
#include "engine/server_connection.h"
#include "manifest/update_list.h"
#include "manifest/update_trust.h"

class CModuleUpdate {
 public:
  // `key`: what the run trusts; both outlive the update.
  CModuleUpdate(CServerConnection& server, const CUpdateKey& key) : server_(server), key_(key), transfer_(server) {}

  // Brings the module whose update list is at `listPath` (URL path) up to
  // date in the folder table's module folder. The byte count of the last
  // file fetched (or of the list), or the failure. May raise the
  // cancellation signal.
  FetchResult AnalyzeUpdateList(const std::wstring& listPath);

 private:
  // Fetches the list into a folder of the run's own and reads it back into
  // *list (*read false when it cannot be read); a keyed run checks its
  // signature over those very bytes.
  FetchResult FetchList(const std::wstring& listPath, std::string* list, bool* read);
  // Fetches the update list's signature and checks it over the list's
  // bytes; the module's failure when it is not the key's.
  FetchResult CheckListSignature(const std::wstring& listPath, std::string_view list);
  // Every entry must be checkable before anything of the module is fetched.
  FetchResult CheckEntries(const FileDataArray& entries, const std::wstring& listPath);
  // The entries whose files are missing or changed, and the bytes their
  // transfers will move.
  FetchResult ChooseFiles(const FileDataArray& entries, const std::wstring& serverFolder,
                          std::vector<const CFileData*>* toFetch, std::uint64_t* totalSize);
  // Whether the installed copy of `entry` must be replaced (clearing what
  // an updater of the older kind left of it first).
  bool NeedsFetch(const CFileData& entry, const std::wstring& zoneKey);
  // Fetches every chosen file into staging, the total bar following.
  FetchResult FetchFiles(const std::wstring& serverFolder, const std::vector<const CFileData*>& toFetch,
                         std::uint64_t totalSize, std::vector<StagedFile>* staged);

  CServerConnection& server_;
  const CUpdateKey& key_;
  CFileTransfer transfer_;
  std::wstring moduleDir_;
};
