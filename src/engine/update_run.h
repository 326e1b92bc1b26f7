// The update run: one connection to the update server, then every module of
// the manifest in order (its update list fetched and compared with the
// installation, what is missing or changed downloaded and put in place,
// archives installed, the module's program started). It knows nothing of
// windows: it shows its progress through IUpdateProgress and returns its
// failure as a value, once, where it stops. Runs on one thread (the update
// worker); a cancel is the abort flag, set from any thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/progress_text.h"
#include "engine/server_waits.h"
#include "engine/update_progress.h"
#include "manifest/update_list.h"
#include "manifest/update_manifest.h"
#include "manifest/update_trust.h"
#include "platform/file.h"
#include "platform/http.h"

// The cancellation signal: raised on the run's thread when the abort flag is
// found set, caught only where the run ends (RunUpdate, or a test).
class CAbortSignal : public std::exception {
 public:
  const char* what() const noexcept override { return "abort"; }
  static constexpr const wchar_t* kText = L"abort";
};

// The result of a step that moves a file: its byte count, or the failure
// that ends the run, with the text the error box shows.
struct FetchResult {
  std::int64_t bytes = 0;  // -1 when failed
  std::wstring error;
  bool Failed() const { return bytes < 0; }
  static FetchResult Bytes(std::uint64_t count) { return FetchResult{static_cast<std::int64_t>(count), {}}; }
  static FetchResult Failure(std::wstring text) { return FetchResult{-1, std::move(text)}; }
};

// How a run ended.
enum class RunEnd { kDone, kCancelled, kFailed };
struct RunOutcome {
  RunEnd end = RunEnd::kDone;
  std::wstring error;  // the error box's text when kFailed
};

class CUpdateRun {
 public:
  // `address`: the server address as the command line gave it ("host:port",
  // "http://host/path", "https://..."); `modules`: the manifest's modules,
  // used (records are taken out as they are processed) but not owned, may be
  // null; `progress` and `abort` outlive the run.
  CUpdateRun(std::wstring address, UpdateModuleList* modules, IUpdateProgress& progress,
             const std::atomic<bool>& abort);
  ~CUpdateRun();
  CUpdateRun(const CUpdateRun&) = delete;
  CUpdateRun& operator=(const CUpdateRun&) = delete;

  // The whole run: connection, every module in order until one fails,
  // program starts. Never throws.
  RunOutcome RunUpdate();

  // Parses the address (keeping its scheme; "http://" is added only when it
  // has none) and opens the session with the run's timeouts. An empty text
  // on success, else the failure's text. May raise the cancellation signal.
  std::wstring OpenConnection();
  // Closes the session.
  void CloseConnection();
  // Brings the module whose update list is at `listPath` (URL path) up to
  // date in the folder table's module folder. The byte count of the last
  // file fetched (or of the list), or the failure.
  FetchResult AnalyzeUpdateList(const std::wstring& listPath);
  // The size of serverPath + entry's file name as the server gives it: a
  // HEAD's Content-Length (a GET's body counted when the server refuses
  // HEAD). 0 when the status is not 200 (the download will say why), or the
  // failure to reach the server. May raise the cancellation signal.
  FetchResult GetRemoteFileSize(const std::wstring& serverPath, const CFileData& entry);
  // Fetches serverPath + entry's file name into the staging folder of
  // entry's folder and checks it against the entry. What an earlier run
  // staged of it is continued (a ranged request that the server honours only
  // while the document is unchanged) or, when whole and checked, not fetched
  // again. Nothing in the install folder is touched. The bytes moved by this
  // call, or the failure; a partial file is kept for the next run unless
  // its bytes are known to be wrong. May raise the cancellation signal.
  FetchResult DownloadFile(const std::wstring& serverPath, const CFileData& entry);
  // Puts the staged `files` of the module in `installFolder` in place as one
  // swap (module_staging.h): running copies of replaced programs are ended,
  // archives installed, plain files renamed in, each old file kept as a
  // ".bak" until all are there; a failed step puts every file back. A
  // cancel is seen only before the swap begins. Empty on success, else the
  // failure, with the module as it was.
  FetchResult InstallModule(const std::wstring& installFolder, const std::vector<const CFileData*>& files);
  // Raises the cancellation signal when the abort flag is set.
  void CheckAbort() const;

  // The failure for string `id` with %1 = code (0: the thread's last error).
  static FetchResult ReportError(unsigned id, std::uint32_t code);

  // Fetches the small document at `path` (a signature) into *bytes, at most
  // `cap` bytes: false when it cannot be had whole (not 200, longer, cut
  // short); a failure to reach the server is returned as the run's failure.
  FetchResult FetchSmallDocument(const std::wstring& path, std::size_t cap, std::string* bytes, bool* found);

  const std::wstring& ServerName() const { return session_.Host(); }
  // The key the run trusts; by default the one compiled into the executable.
  void SetUpdateKey(const CUpdateKey& key) { key_ = key; }
  // The waits on the server that the window may give up on (null: none).
  void SetServerWaits(std::shared_ptr<CServerWaits> waits) { serverWaits_ = std::move(waits); }
  // Tests: the session's timeouts, in milliseconds.
  void SetTimeoutsForTesting(std::uint32_t connect, std::uint32_t send, std::uint32_t receive);

 private:
  // After every read: the bar and title when the whole percentage changed,
  // rate and time left a few times a second.
  void UpdateProgress(ProgressCounters& counters, std::uint64_t bytesSoFar, bool sizeKnown, std::uint64_t size);
  // Sends `method` for `object`, the failure logged and turned into the
  // run's failure.
  FetchResult Send(Platform::HttpMethod method, const std::wstring& object, Platform::CHttpRequest* request,
                   const Platform::HttpResume* resume = nullptr);
  // A read of the body as a wait on the server (serverWaits_): a block that
  // fills (Platform::CHttpRequest::ReadBlock) when the window watches the
  // waits, else what is at hand.
  Platform::ErrorCode ReadBody(Platform::CHttpRequest& request, void* buffer, std::size_t capacity,
                               std::size_t* got);
  // Fetches the update list's signature and checks it over the list's
  // bytes; the module's failure when it is not the key's.
  FetchResult CheckListSignature(const std::wstring& listPath, std::string_view list);
  // Fetches a document (an update list) whole into entry's folder (one of
  // the run's own), at most `cap` bytes.
  FetchResult Download(const std::wstring& serverPath, const CFileData& entry, std::uint64_t cap);
  // Reads the body of `request` onto the end of `file`, where `already`
  // bytes of the document are (and have been fed to `check`), the file bar
  // counting from them. The bytes read, or the failure; *discard tells
  // whether what the file holds is known to be wrong (a mismatch, a write
  // that failed, a body over `cap`) rather than only incomplete.
  // `beforePartWritten` (may be empty) runs before the first bytes reach
  // the file, unless the body is whole and checked by then.
  FetchResult ReceiveBody(Platform::CHttpRequest& request, Platform::CFile& file, CDownloadCheck& check,
                          const CFileData& entry, std::uint64_t already, bool sizeKnown, std::uint64_t size,
                          std::uint64_t cap, const std::function<void()>& beforePartWritten, bool* discard);

  std::wstring address_;
  UpdateModuleList* modules_;
  IUpdateProgress& progress_;
  const std::atomic<bool>& abort_;
  Platform::HttpTimeouts timeouts_;
  std::shared_ptr<CServerWaits> serverWaits_;
  Platform::CHttpSession session_;
  std::wstring basePath_;
  CUpdateKey key_;
  // Staged files given their published time by this run, with the stamp.
  std::unordered_map<std::wstring, std::wstring> publishedTimes_;
};
