// Windows only: the update dialog, the updater's only window. A worker thread
// does the update run (connection, per-module analysis, downloads, archive
// installation, program starts) while the dialog shows its progress; the
// worker reaches the dialog's controls only through the reporting operations
// below (synchronous cross-thread calls) and tells it that it has ended by
// posting WM_WORKER_DONE.
#pragma once
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/internet_handle.h"
#include "engine/progress_text.h"
#include "framework/controls.h"
#include "framework/thread.h"
#include "framework/url_parser.h"
#include "manifest/update_list.h"
#include "manifest/update_manifest.h"
#include "ui/theme_controls.h"
#include "ui/theme_dialog.h"

// Posted (never sent) by the worker when it ends. WPARAM 0: done or
// cancelled; 1: failed, the dialog's error text says why. LPARAM 0.
inline constexpr UINT WM_WORKER_DONE = WM_APP + 1;

// The cancellation signal: raised on the worker thread when the abort flag is
// found set, caught only by the worker's entry.
class CAbortSignal : public std::exception {
 public:
  const char* what() const noexcept override { return "abort"; }
  static constexpr const wchar_t* kText = L"abort";
};

class CHttpDownloadDlg : public CThemeDialog {
 public:
  // `url`: the server address as the command line gave it; `modules`: the
  // manifest's modules, used (records are taken out as they are processed)
  // but not owned.
  CHttpDownloadDlg(const std::wstring& url, UpdateModuleList* modules, CWnd* parent = nullptr);
  ~CHttpDownloadDlg() override;

  // ---- The worker (worker thread) ----------------------------------------
  // The thread's entry: runs the update (or the job set for testing); never
  // lets an exception out. Returns 0.
  static unsigned WorkerThreadProc(void* param);
  // The whole update run: connection, every module in order, program starts;
  // ends by posting WM_WORKER_DONE (directly or through ReportError).
  void RunUpdate();
  // Parses the URL and opens the root handle and the connection (with its
  // timeouts). False when that failed: the failure has been reported and
  // WM_WORKER_DONE posted. May raise the cancellation signal.
  bool OpenConnection();
  // Closes the request, connection and root handles, in this order.
  void CloseHandles();
  // Brings the module whose update list is at ListPath() up to date in
  // ModuleDir. -1 when a download failed (already reported); otherwise the
  // byte count of the last file fetched (or of the update list).
  std::int64_t AnalyzeUpdateList();
  // The size of serverPath + entry's file name as the server gives it
  // (Content-Length, else the body counted); 0 when the request fails (the
  // failure is reported) or the status is not 200.
  std::uint64_t GetRemoteFileSize(const std::wstring& serverPath, CFileData entry);
  // Fetches serverPath + entry's file name into entry's folder: written
  // beside the target first and put in place through a ".bak" copy only when
  // complete; a ".zip" archive is then installed. The byte count, or -1 after
  // a failure (reported; the installed file is untouched). Raises the
  // cancellation signal when the abort flag is found set.
  std::int64_t DownloadFile(const std::wstring& serverPath, CFileData entry);
  // Raises the cancellation signal when the abort flag is set.
  void CheckAbort() const;

  // ---- Reporting operations (worker thread, or the dialog's own) ---------
  // The status line shows string `id` (empty when it has none).
  void SetStatus(UINT id);
  void SetStatusText(const std::wstring& text);
  // Error text = string `id` with %1 = code (0: the thread's last error);
  // posts WM_WORKER_DONE with 1.
  void ReportError(UINT id, std::uint32_t code);
  // The file bar at `percent`, and the window title with it.
  void SetPercentage(unsigned percent);
  void SetTimeLeft(std::uint32_t seconds, std::uint64_t bytesSoFar, std::uint64_t size);
  // `rate` in kilobytes per second.
  void SetTransferRate(double rate);
  // After every read: the bar and title when the whole percentage changed,
  // rate and time left a few times a second. These four hand their texts to
  // the dialog's thread without waiting for it to draw them.
  void UpdateProgress(ProgressCounters& counters, std::uint64_t bytesSoFar, bool sizeKnown, std::uint64_t size);
  void SetFileLabel(const std::wstring& text);
  void SetFileRange(std::uint64_t upper);
  virtual void SetTotalLabel(const std::wstring& text);
  void SetTotalRange(int lower, int upper);
  virtual void SetTotalPosition(int position);

  // ---- State ---------------------------------------------------------------
  const std::wstring& ErrorText() const { return errorText_; }
  // URL path of the current module's update list.
  const std::wstring& ListPath() const { return listPath_; }
  void SetListPath(const std::wstring& path) { listPath_ = path; }
  const std::wstring& ServerName() const { return serverName_; }
  bool IsAborted() const { return abort_.load(); }

  // Tests: run `job` on the worker thread instead of RunUpdate. The job ends
  // the dialog by reporting an error, or WM_WORKER_DONE with 0 is posted
  // when it returns or raises the cancellation signal.
  void SetWorkerJobForTesting(std::function<void(CHttpDownloadDlg&)> job) { testJob_ = std::move(job); }
  // Tests: timeouts of the connection, in milliseconds.
  void SetTimeoutsForTesting(DWORD connect, DWORD send, DWORD receive);
  HINTERNET Connection() const { return connectionHandle_.Get(); }

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
  // failure, which is shown first).
  void OnThreadFinished(WPARAM wParam);
  // The error box: a themed message box captioned "Error", run modally.
  virtual void ShowErrorBox(const std::wstring& text);

 private:
  // Opens a request for `object` on the connection into the request slot.
  bool OpenRequest(const std::wstring& object);
  // Sends the request, answering 401/407 through the platform's
  // authentication dialog. The status, or 0 when sending or the status query
  // failed (*error, *sendFailed say which).
  DWORD SendRequest(DWORD* error, bool* sendFailed);
  void DrainResponse();
  // What the transfer shows next: file bar position (-1: unchanged), window
  // title, rate and time-left texts (empty: unchanged).
  struct PendingView {
    int barPosition = -1;
    std::wstring title;
    std::wstring rate;
    std::wstring timeLeft;
  };
  // Applies `change` to the view: at once on the dialog's thread, otherwise
  // merged into the pending view, which one posted message shows.
  void QueueView(const std::function<void(PendingView&)>& change);
  // kShowViewMessage: shows and clears the pending view.
  void ShowPendingView();
  void ShowView(const PendingView& view);
  static constexpr UINT kShowViewMessage = WM_APP + 2;
  void PostWorkerDone(WPARAM result);
  void EndRun(INT_PTR result);

  std::wstring url_;
  UpdateModuleList* modules_;
  CThemeStatic statusLine_;     // 1006
  CThemeStatic rateText_;       // 1004
  CThemeStatic timeLeftText_;   // 1003
  CProgressCtrl fileBar_;       // 1000
  CThemeStatic fileLabel_;      // 1002
  CThemeStatic totalLabel_;     // 1005
  std::wstring errorText_;
  std::wstring serverName_;
  std::wstring listPath_;
  std::wstring fileLabelText_;  // the file being fetched, for the window title
  unsigned short port_ = 0;
  UrlService service_ = UrlService::Http;
  std::wstring basePath_;
  Platform::CInternetHandle rootHandle_;
  Platform::CInternetHandle connectionHandle_;
  Platform::CInternetHandle requestHandle_;
  std::atomic<bool> abort_{false};
  bool safeToClose_ = false;
  std::unique_ptr<CWorkerThread> worker_;
  CProgressCtrl totalBar_;      // 1001
  CThemeButton cancelButton_;   // IDCANCEL

  bool ending_ = false;
  std::function<void(CHttpDownloadDlg&)> testJob_;
  DWORD connectTimeout_;
  DWORD sendTimeout_;
  DWORD receiveTimeout_;
  std::mutex viewLock_;
  PendingView pendingView_;  // under viewLock_
  std::atomic<bool> viewPosted_{false};
};
