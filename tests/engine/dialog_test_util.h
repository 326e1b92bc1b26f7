// Windows only: the update run as the engine's tests drive it. CTestRun runs
// the real run (real HTTP, real files) on the test's thread with a recording
// progress sink and no window; CCanceller sets its abort flag from another
// thread, as the dialog's Cancel does.
#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/dialog/http_download_dlg.h"
#include "engine/file_transfer.h"
#include "engine/module_install.h"
#include "engine/module_update.h"
#include "engine/server_connection.h"
#include "engine/update_run.h"

namespace EngineTest {

// Records what a run reports. Safe to read while the run goes on.
class CRecordingProgress : public IUpdateProgress {
 public:
  void SetStatus(const std::wstring& text) override;
  void SetFileLabel(const std::wstring& label, const std::wstring& fileName) override;
  void SetFileRange(std::uint64_t upperKiB) override;
  void SetPercentage(unsigned percent, std::uint32_t barPosition) override;
  void SetTransferRate(double rate) override;
  void SetTimeLeft(std::uint32_t seconds, std::uint64_t bytesSoFar, std::uint64_t size) override;
  void SetTotalLabel(const std::wstring& text) override;
  void SetTotalRange(int lower, int upper) override;
  void SetTotalPosition(int position) override;
  void* AuthOwner() const override { return authOwner; }

  std::vector<std::wstring> Statuses() const;
  std::vector<std::wstring> TotalLabels() const;
  std::vector<int> TotalPositions() const;
  std::vector<unsigned> Percentages() const;
  std::size_t Reports() const;  // every call so far

  void* authOwner = nullptr;
  // Called on the run's thread with each status, after it is recorded.
  std::function<void(const std::wstring&)> onStatus;

 private:
  mutable std::mutex lock_;
  std::vector<std::wstring> statuses_;
  std::vector<std::wstring> totalLabels_;
  std::vector<int> totalPositions_;
  std::vector<unsigned> percentages_;
  std::size_t reports_ = 0;
};

// What a module's update does for one file: `entry` fetched into its
// staging folder, then put in place by a swap of its own. The bytes
// fetched, or the failure of either step.
FetchResult UpdateFile(CServerConnection& server, const std::wstring& serverPath, const CFileData& entry);

// One update run against `address`, without a window: the whole run
// (`run`), or steps of one over a connection of their own (`server`, Job).
class CTestRun {
 public:
  explicit CTestRun(const std::wstring& address, UpdateModuleList* modules = nullptr)
      : run(address, modules, progress, abort), server(address, progress, abort) {}
  // Opens `server` and runs `job` on this thread: kFailed with the text of
  // a failed open or of the failure the job returns, kCancelled when the
  // cancellation signal ended it, kDone otherwise.
  RunOutcome Job(const std::function<FetchResult(CServerConnection&)>& job);

  CRecordingProgress progress;
  std::atomic<bool> abort{false};
  CUpdateRun run;
  CServerConnection server;
};

// The update dialog with its error box recorded instead of shown.
class CTestDownloadDlg : public CHttpDownloadDlg {
 public:
  explicit CTestDownloadDlg(const std::wstring& url, UpdateModuleList* modules = nullptr)
      : CHttpDownloadDlg(url, modules), url_(url) {}
  void ShowErrorBox(const std::wstring& text) override { errorBoxes.push_back(text); }
  // Runs the dialog modally with `job` on its worker: a run of its own whose
  // progress goes to the dialog (connection opened first). The modal result.
  INT_PTR RunJob(std::function<FetchResult(CServerConnection&)> job);

  std::vector<std::wstring> errorBoxes;  // main thread

 private:
  std::wstring url_;
};

// Sets `abort` from a thread of its own once `ready` says so (polled every
// 10 ms, for at most 30 s), then runs `afterCancel` (for example to let a
// held-back server reply go on).
class CCanceller {
 public:
  CCanceller(std::atomic<bool>& abort, std::function<bool()> ready, std::function<void()> afterCancel);
  ~CCanceller();  // joins
  bool Cancelled() const { return cancelled_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<bool> cancelled_{false};
  std::thread thread_;
};

}  // namespace EngineTest
