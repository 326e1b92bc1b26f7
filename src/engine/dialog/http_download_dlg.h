// Windows only: the update dialog, the updater's only window. Its worker
// thread runs the update (CUpdateRun) while the dialog shows the progress
// that the run reports through IUpdateProgress. Every report is handed to
// the dialog's thread by a posted message, so the worker never waits for the
// window; the worker's end comes as WM_WORKER_DONE with the error text.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "engine/update_progress.h"
#include "engine/update_run.h"
#include "framework/controls.h"
#include "framework/thread.h"
#include "manifest/update_manifest.h"
#include "ui/theme_controls.h"
#include "ui/theme_dialog.h"

// Posted (never sent) by the worker when it ends. WPARAM 0: done or
// cancelled; 1: failed. LPARAM: with 1, a heap std::wstring holding the error
// text, owned by the message from then on; 0 otherwise.
inline constexpr UINT WM_WORKER_DONE = WM_APP + 1;

class CHttpDownloadDlg : public CThemeDialog, public IUpdateProgress {
 public:
  // What the worker runs: the update, or a test's job in its place.
  using Job = std::function<RunOutcome(IUpdateProgress& progress, const std::atomic<bool>& abort)>;

  // `url`: the server address as the command line gave it; `modules`: the
  // manifest's modules, used (records are taken out as they are processed)
  // but not owned.
  CHttpDownloadDlg(const std::wstring& url, UpdateModuleList* modules, CWnd* parent = nullptr);
  ~CHttpDownloadDlg() override;

  // The worker thread's entry: runs the job (by default the update run) and
  // posts WM_WORKER_DONE. Never lets an exception out. Returns 0.
  static unsigned WorkerThreadProc(void* param);

  // ---- IUpdateProgress (any thread; shown by the dialog's thread) -----------
  void SetStatus(const std::wstring& text) override;
  void SetFileLabel(const std::wstring& label, const std::wstring& fileName) override;
  void SetFileRange(std::uint64_t upperKiB) override;
  void SetPercentage(unsigned percent, std::uint32_t barPosition) override;
  void SetTransferRate(double rate) override;
  void SetTimeLeft(std::uint32_t seconds, std::uint64_t bytesSoFar, std::uint64_t size) override;
  void SetTotalLabel(const std::wstring& text) override;
  void SetTotalRange(int lower, int upper) override;
  void SetTotalPosition(int position) override;
  void* AuthOwner() const override { return m_hWnd; }

  // The status line shows string `id` (empty when it has none).
  void SetStatus(UINT id);
  bool IsAborted() const { return abort_.load(); }
  // Tests: run `job` on the worker instead of the update run.
  void SetWorkerJobForTesting(Job job) { job_ = std::move(job); }
  // The worker's waits on the server (server_waits.h); a test's job uses
  // them as the update run does.
  const std::shared_ptr<CServerWaits>& ServerWaits() const { return serverWaits_; }

  // ---- Window side (main thread) -----------------------------------------
  void DoDataExchange(CDataExchange* dx) override;
  BOOL OnInitDialog() override;
  void OnCancel() override;
  // The dialog has no OK button and ends only when the worker is done: Enter
  // (which asks for IDOK once Cancel is disabled while aborting) does nothing.
  void OnOK() override;
  void OnClose() override;
  void OnDestroy() override;
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  // WM_WORKER_DONE: ends the dialog (IDOK, or IDCANCEL after a cancel or a
  // failure, whose text is shown first).
  void OnThreadFinished(WPARAM wParam, const std::wstring& errorText);
  // The error box: a themed message box captioned "Error", run modally.
  virtual void ShowErrorBox(const std::wstring& text);

 private:
  // What the window shows next; an unset field is left as it is.
  struct PendingView {
    bool hasStatus = false;
    std::wstring status;
    bool hasFileLabel = false;
    std::wstring fileLabel;
    std::int64_t fileRange = -1;
    int barPosition = -1;
    std::wstring title;
    std::wstring rate;
    std::wstring timeLeft;
    bool hasTotalLabel = false;
    std::wstring totalLabel;
    int totalLower = -1;
    int totalUpper = -1;
    int totalPosition = -1;
  };
  // Applies `change` to the pending view and posts one message to show it
  // (none while one is already on its way); on the dialog's own thread the
  // view is shown at once.
  void QueueView(const std::function<void(PendingView&)>& change);
  // kShowViewMessage: shows the pending view, or has the timer show it when
  // the last one was shown less than the interval ago.
  void OnViewPosted();
  // Shows and clears the pending view.
  void ShowPendingView();
  void ShowView(const PendingView& view);
  static constexpr UINT kShowViewMessage = WM_APP + 2;
  void PostWorkerDone(const RunOutcome& outcome);
  void EndRun(INT_PTR result);
  // After a Cancel: when the worker is still waiting on the server, gives up
  // on it and ends the run as cancelled.
  void OnCancelWait();
  // Every second while the run goes: a worker whose read of a body, or
  // whose wait for a response (no credentials dialog up), has lasted 30 s
  // is given up, and the run ends as a stalled transfer.
  void OnWatchWorker();
  // Ends the run without the worker it gave up on: the log line, then the
  // end as WM_WORKER_DONE would bring it (`failed` 1 with the error text).
  void EndGivenUp(const std::wstring& logLine, WPARAM failed, const std::wstring& errorText);
  // Gives up on the worker when it waits on the server, else waits for its
  // end; the worker is released either way.
  void ReleaseWorker();

  std::wstring url_;
  UpdateModuleList* modules_;
  CThemeStatic statusLine_;     // 1006
  CThemeStatic rateText_;       // 1004
  CThemeStatic timeLeftText_;   // 1003
  CProgressCtrl fileBar_;       // 1000
  CThemeStatic fileLabel_;      // 1002
  CThemeStatic totalLabel_;     // 1005
  std::wstring fileLabelText_;  // the file being fetched, for the title (worker thread only)
  std::atomic<bool> abort_{false};
  bool safeToClose_ = false;
  std::unique_ptr<CWorkerThread> worker_;
  std::shared_ptr<CServerWaits> serverWaits_ = std::make_shared<CServerWaits>();
  CProgressCtrl totalBar_;      // 1001
  CThemeButton cancelButton_;   // IDCANCEL

  bool ending_ = false;
  Job job_;
  std::mutex viewLock_;
  PendingView pendingView_;  // under viewLock_
  std::atomic<bool> viewPosted_{false};
  std::atomic<DWORD> windowThread_{0};  // the dialog's thread, from OnInitDialog
  bool viewShown_ = false;              // the dialog's thread only, as is
  std::uint32_t lastViewTick_ = 0;      // when it last showed a view
};
