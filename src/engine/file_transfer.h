// Windows only: the transfer of one file over the run's connection: its
// size asked of the server, its bytes fetched into the module's staging
// folder (continuing what an earlier run left there), and the fetch of a
// whole document (an update list) into a folder of the run's own.
#pragma once
#include <cstdint>
#include <string>

#include "engine/body_receiver.h"
#include "engine/run_result.h"
#include "engine/server_connection.h"
#include "manifest/update_list.h"

class CFileTransfer {
 public:
  explicit CFileTransfer(CServerConnection& server) : server_(server) {}

  // The size of serverPath + entry's file name as the server gives it: a
  // HEAD's Content-Length (a GET's body counted when the server refuses
  // HEAD, counted up to 2 GiB), or the size the entry declares, without a
  // request. 0 when the status is not 200 (the download will say why), or
  // the failure to reach the server. May raise the cancellation signal.
  FetchResult GetRemoteFileSize(const std::wstring& serverPath, const CFileData& entry);

  // Fetches serverPath + entry's file name into the staging folder of
  // entry's folder and checks it against the entry. What an earlier run
  // staged of it is continued (a ranged request that the server honours only
  // while the document is unchanged) or, when whole and checked, not fetched
  // again. Nothing in the install folder is touched. The bytes moved by this
  // call, or the failure; a partial file is kept for the next run unless
  // its bytes are known to be wrong; what an earlier run left that cannot
  // be continued is discarded (logged) and the file fetched whole. A file
  // whose entry declares no size may not run past `announced` (what the
  // size query found; 0: none), nor past 2 GiB. *publishedTimeSet (may be
  // null) tells whether the staged file was given the entry's published
  // time. May raise the cancellation signal.
  FetchResult DownloadFile(const std::wstring& serverPath, const CFileData& entry, bool* publishedTimeSet = nullptr,
                           std::uint64_t announced = 0);

  // Fetches a document whole into entry's folder (one of the run's own),
  // at most `cap` bytes, within the time bound on a whole document.
  FetchResult Download(const std::wstring& serverPath, const CFileData& entry, std::uint64_t cap);

 private:
  CServerConnection& server_;
  CBodyBuffers buffers_;  // every body's, one after the other
};
