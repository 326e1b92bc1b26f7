// Windows only: the update run's one connection to the update server, which
// every step of the run sends its requests over. It owns the session, the
// base path of the address, the run's progress sink and abort flag, and the
// waits on the server that the window may give up on. Used on one thread
// (the update worker); the abort flag may be set from any thread.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/run_result.h"
#include "engine/server_waits.h"
#include "engine/update_progress.h"
#include "platform/http.h"

class CServerConnection {
 public:
  // `address`: the server address as the command line gave it ("host:port",
  // "http://host/path", "https://..."); `progress` and `abort` outlive the
  // connection.
  CServerConnection(std::wstring address, IUpdateProgress& progress, const std::atomic<bool>& abort);
  CServerConnection(const CServerConnection&) = delete;
  CServerConnection& operator=(const CServerConnection&) = delete;

  // Parses the address (keeping its scheme; "http://" is added only when it
  // has none) and opens the session with the run's timeouts. An empty text
  // on success, else the failure's text. May raise the cancellation signal.
  std::wstring OpenConnection();
  // Closes the session.
  void CloseConnection();

  // Sends `method` for `object` (resuming at `resume` when given), the
  // failure logged and turned into the run's failure. May raise the
  // cancellation signal.
  FetchResult Send(Platform::HttpMethod method, const std::wstring& object, Platform::CHttpRequest* request,
                   const Platform::HttpResume* resume = nullptr);
  // One read of a body, as a wait on the server that the window may give
  // up on: a block that fills (Platform::CHttpRequest::ReadBlock) when the
  // window watches the waits, else what is at hand.
  Platform::ErrorCode ReadBody(Platform::CHttpRequest& request, void* buffer, std::size_t capacity,
                               std::size_t* got);
  // Fetches the small document at `path` (a signature) into *bytes, at most
  // `cap` bytes: *found false when it cannot be had whole (not 200, longer,
  // cut short, too slow); a failure to reach the server is returned as the
  // run's failure.
  FetchResult FetchSmallDocument(const std::wstring& path, std::size_t cap, std::string* bytes, bool* found);

  // Raises the cancellation signal when the abort flag is set.
  void CheckAbort() const { ::CheckAbort(abort_); }
  bool Aborted() const { return abort_.load(); }
  const std::atomic<bool>& AbortFlag() const { return abort_; }
  IUpdateProgress& Progress() const { return progress_; }
  // The path part of the address ("/" when it has none); valid once open.
  const std::wstring& BasePath() const { return basePath_; }
  const std::wstring& ServerName() const { return session_.Host(); }

  // The waits on the server that the window may give up on (null: none).
  void SetServerWaits(std::shared_ptr<CServerWaits> waits) { serverWaits_ = std::move(waits); }
  // Tests: the session's timeouts, in milliseconds.
  void SetTimeoutsForTesting(std::uint32_t connect, std::uint32_t send, std::uint32_t receive);

 private:
  std::wstring address_;
  IUpdateProgress& progress_;
  const std::atomic<bool>& abort_;
  Platform::HttpTimeouts timeouts_;
  std::shared_ptr<CServerWaits> serverWaits_;
  Platform::CHttpSession session_;
  std::wstring basePath_;
};
