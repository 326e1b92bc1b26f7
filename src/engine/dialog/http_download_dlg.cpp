#include "engine/dialog/http_download_dlg.h"

#include <algorithm>
#include <climits>

#include "app/update_log.h"
#include "engine/engine_strings.h"
#include "engine/progress_text.h"
#include "engine_resource.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/http.h"
#include "ui/theme_message_box.h"

CHttpDownloadDlg::CHttpDownloadDlg(const std::wstring& url, UpdateModuleList* modules, CWnd* parent)
    : CThemeDialog(IDD_HTTP_DOWNLOAD, parent), url_(url), modules_(modules) {}

CHttpDownloadDlg::~CHttpDownloadDlg() {
  // The window's destruction waits for the worker; this covers a dialog whose
  // window never existed or was torn down some other way.
  abort_ = true;
  ReleaseWorker();
}

void CHttpDownloadDlg::ReleaseWorker() {
  if (!worker_) return;
  // The worker never waits for this thread, so a plain wait ends.
  if (!serverWaits_->GiveUp()) (void)worker_->Wait(INFINITE);
  worker_.reset();
}

unsigned CHttpDownloadDlg::WorkerThreadProc(void* param) {
  auto* dialog = static_cast<CHttpDownloadDlg*>(param);
  RunOutcome outcome;
  try {
    if (dialog->job_) {
      try {
        outcome = dialog->job_(*dialog, dialog->abort_);
      } catch (const CAbortSignal&) {
        outcome = {RunEnd::kCancelled, {}};
      }
    } else {
      CUpdateRun run(dialog->url_, dialog->modules_, *dialog, dialog->abort_);
      run.SetServerWaits(dialog->serverWaits_);
      outcome = run.RunUpdate();
    }
  } catch (const std::exception&) {
    // Nothing may leave the thread; the dialog must still hear that it ended.
    outcome = {RunEnd::kFailed,
               FormatEngineString(IDS_HTTPDOWNLOAD_GENERIC_ERROR, std::to_wstring(Platform::kErrorNotEnoughMemory))};
  }
  dialog->PostWorkerDone(outcome);
  return 0;
}

void CHttpDownloadDlg::PostWorkerDone(const RunOutcome& outcome) {
  if (!m_hWnd) return;
  if (outcome.end != RunEnd::kFailed) {
    (void)::PostMessageW(m_hWnd, WM_WORKER_DONE, 0, 0);
    return;
  }
  auto text = std::make_unique<std::wstring>(outcome.error);
  if (::PostMessageW(m_hWnd, WM_WORKER_DONE, 1, reinterpret_cast<LPARAM>(text.get()))) (void)text.release();
}

// ---- Progress ----------------------------------------------------------------

namespace {

// The window shows the newest view at most this often. A run of small files
// changes the labels several times per file; redrawing them each time costs
// the processor more than the transfers themselves (under Wine most of a
// file's time), while no one reads a label that lasts a few milliseconds.
// A view that changes the title redraws the whole skinned window, about
// 10 ms of this thread under Wine. Over a run of 2,000 small files this
// thread took 2.6 to 3.6 s of processor time at 20 views a second, 0.9 s
// at 5, and the run was a tenth to a fifth shorter.
constexpr std::uint32_t kViewIntervalMs = 200;
constexpr UINT_PTR kViewTimer = 1;
// After a Cancel the worker is looked at this often: one still waiting on
// the server is given up rather than waited for (up to the receive timeout
// against a silent server).
constexpr UINT_PTR kCancelTimer = 2;
constexpr UINT kCancelCheckMs = 250;
// While the run goes: a worker whose read of a body or wait for a response
// has lasted this long is given up as a stalled transfer, checked every
// kWatchMs.
constexpr UINT_PTR kWatchTimer = 3;
constexpr UINT kWatchMs = 1000;
// The stall rule's window: no wait for a response or for the bytes of a
// body lasts longer than a whole transfer may go without its least bytes.
constexpr std::uint32_t kLongestWaitMs = Platform::CTransferPace::kWindowMs;

}  // namespace

// The worker does not wait for the dialog's thread to draw: it leaves the
// newest view here and posts one message, and the dialog shows whatever is
// newest when it gets to it, at most every kViewIntervalMs (a timer shows
// what came sooner). A synchronous call per change would cost the worker a
// thread switch each time, and would make the window's end wait on the
// worker and the worker on the window.
void CHttpDownloadDlg::QueueView(const std::function<void(PendingView&)>& change) {
  if (!m_hWnd) return;
  if (::GetCurrentThreadId() == windowThread_.load(std::memory_order_relaxed)) {
    PendingView view;
    change(view);
    ShowView(view);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(viewLock_);
    change(pendingView_);
  }
  if (!viewPosted_.exchange(true) && !::PostMessageW(m_hWnd, kShowViewMessage, 0, 0)) viewPosted_ = false;
}

void CHttpDownloadDlg::OnViewPosted() {
  const std::uint32_t since = Platform::GetTickCountMs() - lastViewTick_;
  if (viewShown_ && since < kViewIntervalMs) {
    // Too soon after the last one: the timer shows it. viewPosted_ stays
    // set, so the worker posts nothing more meanwhile.
    if (::SetTimer(m_hWnd, kViewTimer, kViewIntervalMs - since, nullptr) != 0) return;
  }
  ShowPendingView();
}

void CHttpDownloadDlg::ShowPendingView() {
  ::KillTimer(m_hWnd, kViewTimer);
  viewShown_ = true;
  lastViewTick_ = Platform::GetTickCountMs();
  viewPosted_ = false;  // first: a change queued from now on posts again
  PendingView view;
  {
    std::lock_guard<std::mutex> lock(viewLock_);
    std::swap(view, pendingView_);
  }
  // Once the user has cancelled, the status line says so until the end.
  if (abort_) view.hasStatus = false;
  ShowView(view);
}

void CHttpDownloadDlg::ShowView(const PendingView& view) {
  if (view.hasStatus && statusLine_.GetSafeHwnd()) statusLine_.SetWindowText(view.status);
  if (view.hasFileLabel && fileLabel_.GetSafeHwnd()) fileLabel_.SetWindowText(view.fileLabel);
  if (view.fileRange >= 0 && fileBar_.GetSafeHwnd()) fileBar_.SetRange(0, static_cast<int>(view.fileRange));
  if (view.barPosition >= 0 && fileBar_.GetSafeHwnd()) fileBar_.SetPos(view.barPosition);
  if (!view.title.empty() && m_hWnd) ::SetWindowTextW(m_hWnd, view.title.c_str());
  if (!view.rate.empty() && rateText_.GetSafeHwnd()) rateText_.SetWindowText(view.rate);
  if (!view.timeLeft.empty() && timeLeftText_.GetSafeHwnd()) timeLeftText_.SetWindowText(view.timeLeft);
  if (view.hasTotalLabel && totalLabel_.GetSafeHwnd()) totalLabel_.SetWindowText(view.totalLabel);
  if (view.totalUpper >= 0 && totalBar_.GetSafeHwnd())
    totalBar_.SetRange16(static_cast<unsigned short>(view.totalLower), static_cast<unsigned short>(view.totalUpper));
  if (view.totalPosition >= 0 && totalBar_.GetSafeHwnd()) totalBar_.SetPos(view.totalPosition);
}

void CHttpDownloadDlg::SetStatus(UINT id) { SetStatus(LoadEngineString(id)); }

void CHttpDownloadDlg::SetStatus(const std::wstring& text) {
  QueueView([&](PendingView& view) {
    view.hasStatus = true;
    view.status = text;
  });
}

void CHttpDownloadDlg::SetFileLabel(const std::wstring& label, const std::wstring& fileName) {
  fileLabelText_ = fileName;
  QueueView([&](PendingView& view) {
    view.hasFileLabel = true;
    view.fileLabel = label;
  });
}

void CHttpDownloadDlg::SetFileRange(std::uint64_t upperKiB) {
  // The bar counts KiB; its 32-bit range covers files up to 2 TiB. A position
  // still queued from the previous file no longer applies.
  const std::int64_t top = upperKiB > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<std::int64_t>(upperKiB);
  QueueView([&](PendingView& view) {
    view.fileRange = top;
    view.barPosition = -1;
  });
}

void CHttpDownloadDlg::SetPercentage(unsigned percent, std::uint32_t barPosition) {
  std::wstring title = FormatWindowTitle(percent, fileLabelText_);
  QueueView([&](PendingView& view) {
    view.barPosition = static_cast<int>(std::min<std::uint32_t>(barPosition, INT_MAX));
    view.title = std::move(title);
  });
}

void CHttpDownloadDlg::SetTimeLeft(std::uint32_t seconds, std::uint64_t bytesSoFar, std::uint64_t size) {
  std::wstring text = FormatTimeLeft(seconds, bytesSoFar, size);
  QueueView([&](PendingView& view) { view.timeLeft = std::move(text); });
}

void CHttpDownloadDlg::SetTransferRate(double rate) {
  std::wstring text = FormatTransferRate(rate);
  QueueView([&](PendingView& view) { view.rate = std::move(text); });
}

void CHttpDownloadDlg::SetTotalLabel(const std::wstring& text) {
  QueueView([&](PendingView& view) {
    view.hasTotalLabel = true;
    view.totalLabel = text;
  });
}

void CHttpDownloadDlg::SetTotalRange(int lower, int upper) {
  QueueView([&](PendingView& view) {
    view.totalLower = lower;
    view.totalUpper = upper;
  });
}

void CHttpDownloadDlg::SetTotalPosition(int position) {
  QueueView([&](PendingView& view) { view.totalPosition = position; });
}

// ---- Window side -------------------------------------------------------------

void CHttpDownloadDlg::DoDataExchange(CDataExchange* dx) {
  CThemeDialog::DoDataExchange(dx);
  DDX_Control(dx, IDC_STATUS, statusLine_);
  DDX_Control(dx, IDC_TRANSFER_RATE, rateText_);
  DDX_Control(dx, IDC_TIME_LEFT, timeLeftText_);
  DDX_Control(dx, IDC_FILE_PROGRESS, fileBar_);
  DDX_Control(dx, IDC_FILE_LABEL, fileLabel_);
  DDX_Control(dx, IDC_TOTAL_LABEL, totalLabel_);
  DDX_Control(dx, IDC_TOTAL_PROGRESS, totalBar_);
  DDX_Control(dx, IDCANCEL, cancelButton_);
}

BOOL CHttpDownloadDlg::OnInitDialog() {
  windowThread_ = ::GetCurrentThreadId();
  CThemeDialog::OnInitDialog();
  SetForegroundWindow();
  SetWindowPos(HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);

  worker_ = CWorkerThread::Begin(&CHttpDownloadDlg::WorkerThreadProc, this, THREAD_PRIORITY_NORMAL, 0, true);
  if (!worker_) {
    EndDialog(IDCANCEL);
    return TRUE;
  }
  if (!worker_->Resume()) {
    worker_.reset();  // never ran: released without running
    EndDialog(IDCANCEL);
    return TRUE;
  }
  (void)::SetTimer(m_hWnd, kWatchTimer, kWatchMs, nullptr);
  return TRUE;
}

void CHttpDownloadDlg::OnCancel() {
  abort_ = true;
  if (cancelButton_.GetSafeHwnd()) cancelButton_.EnableWindow(false);
  SetStatus(IDS_HTTPDOWNLOAD_ABORTING_TRANSFER);
  // The dialog stays until the worker has noticed and posted WM_WORKER_DONE,
  // or until it is given up while it waits on the server.
  if (m_hWnd) (void)::SetTimer(m_hWnd, kCancelTimer, kCancelCheckMs, nullptr);
}

void CHttpDownloadDlg::OnWatchWorker() {
  if (ending_ || !worker_) {
    ::KillTimer(m_hWnd, kWatchTimer);
    return;
  }
  // A response is waited for as a body is, except while the credentials
  // dialog that the request shows (modal to this window, which it disables)
  // waits for the user.
  const bool responses = ::IsWindowEnabled(m_hWnd) != FALSE;
  CServerWaits::Kind kind = CServerWaits::Kind::kBody;
  if (!serverWaits_->GiveUpWaitLongerThan(Platform::GetTickCountMs(), kLongestWaitMs, responses, &kind)) return;
  EndGivenUp(kind == CServerWaits::Kind::kBody
                 ? L"DownloadFile : a read waited 30 s for the server, transfer stopped"
                 : L"DownloadFile : the server did not answer within 30 s, transfer stopped",
             1, FormatEngineString(IDS_HTTPDOWNLOAD_ERROR_READFILE, std::to_wstring(Platform::kErrorTransferStalled)));
}

void CHttpDownloadDlg::OnCancelWait() {
  if (ending_ || !worker_) {
    ::KillTimer(m_hWnd, kCancelTimer);
    return;
  }
  if (!serverWaits_->GiveUp()) return;  // busy: it sees the flag soon
  EndGivenUp(L"Cancel : the update ended while it waited on the server", 0, {});
}

void CHttpDownloadDlg::EndGivenUp(const std::wstring& logLine, WPARAM failed, const std::wstring& errorText) {
  ::KillTimer(m_hWnd, kWatchTimer);
  ::KillTimer(m_hWnd, kCancelTimer);
  GetUpdateLog().WriteLog(logLine);
  worker_.reset();
  OnThreadFinished(failed, errorText);
}

void CHttpDownloadDlg::OnOK() {}

void CHttpDownloadDlg::OnClose() {
  if (safeToClose_) {
    EndRun(IDCANCEL);
  } else {
    OnCancel();
  }
}

void CHttpDownloadDlg::EndRun(INT_PTR result) {
  // Whatever of the run is left (a worker given up while it waits on the
  // server) stops at its next check instead of going on without a window.
  abort_ = true;
  EndDialog(result);
}

void CHttpDownloadDlg::OnDestroy() {
  abort_ = true;
  ReleaseWorker();
  CThemeDialog::OnDestroy();
}

LRESULT CHttpDownloadDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_WORKER_DONE) {
    std::unique_ptr<std::wstring> text(reinterpret_cast<std::wstring*>(lParam));
    // The worker's last view first, as it came before its end.
    if (viewPosted_) ShowPendingView();
    OnThreadFinished(wParam, text ? *text : std::wstring());
    return 0;
  }
  if (message == kShowViewMessage) {
    OnViewPosted();
    return 0;
  }
  if (message == WM_TIMER && wParam == kViewTimer) {
    ShowPendingView();
    return 0;
  }
  if (message == WM_TIMER && wParam == kCancelTimer) {
    OnCancelWait();
    return 0;
  }
  if (message == WM_TIMER && wParam == kWatchTimer) {
    OnWatchWorker();
    return 0;
  }
  return CThemeDialog::WindowProc(message, wParam, lParam);
}

void CHttpDownloadDlg::OnThreadFinished(WPARAM wParam, const std::wstring& errorText) {
  safeToClose_ = true;
  // Only the first end counts: while the error box is up, its message loop
  // still delivers the window's timers, which could end the run again.
  if (ending_) return;
  ending_ = true;
  if (abort_) {
    EndRun(IDCANCEL);
  } else if (wParam == 1) {
    ShowErrorBox(errorText);
    EndRun(IDCANCEL);
  } else {
    EndRun(IDOK);
  }
}

void CHttpDownloadDlg::ShowErrorBox(const std::wstring& text) {
  CThemeMessageBox box(L"Error", text, 0, nullptr);
  (void)box.DoModal();
}
