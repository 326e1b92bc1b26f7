#include "engine/http_download_dlg.h"

#include <climits>

#include "engine/engine_strings.h"
#include "engine_resource.h"
#include "platform/clock.h"
#include "ui/theme_message_box.h"

namespace {

// How long the worker waits on the server. A server that stops sending fails
// the transfer after the receive timeout, which is also the longest a Cancel
// can take to be noticed while a read is waiting.
constexpr DWORD kConnectTimeoutMs = 10000;
constexpr DWORD kSendTimeoutMs = 10000;
constexpr DWORD kReceiveTimeoutMs = 5000;

}  // namespace

CHttpDownloadDlg::CHttpDownloadDlg(const std::wstring& url, UpdateModuleList* modules, CWnd* parent)
    : CThemeDialog(IDD_HTTP_DOWNLOAD, parent),
      url_(url),
      modules_(modules),
      connectTimeout_(kConnectTimeoutMs),
      sendTimeout_(kSendTimeoutMs),
      receiveTimeout_(kReceiveTimeoutMs) {}

CHttpDownloadDlg::~CHttpDownloadDlg() {
  // The window's destruction waits for the worker; this covers a dialog whose
  // window never existed or was torn down some other way.
  abort_ = true;
  if (worker_) (void)worker_->Wait(INFINITE);
}

void CHttpDownloadDlg::SetTimeoutsForTesting(DWORD connect, DWORD send, DWORD receive) {
  connectTimeout_ = connect;
  sendTimeout_ = send;
  receiveTimeout_ = receive;
}

// ---- Reporting operations --------------------------------------------------

void CHttpDownloadDlg::SetStatus(UINT id) { SetStatusText(LoadEngineString(id)); }

void CHttpDownloadDlg::SetStatusText(const std::wstring& text) {
  if (statusLine_.GetSafeHwnd()) statusLine_.SetWindowText(text);
}

void CHttpDownloadDlg::PostWorkerDone(WPARAM result) {
  if (m_hWnd) ::PostMessageW(m_hWnd, WM_WORKER_DONE, result, 0);
}

void CHttpDownloadDlg::ReportError(UINT id, std::uint32_t code) {
  if (code == 0) code = ::GetLastError();
  errorText_ = FormatEngineString(id, std::to_wstring(code));
  PostWorkerDone(1);
}

// The transfer's view (file bar, title, rate and time left) changes after
// nearly every read. The worker does not wait for the dialog's thread to draw
// it: it leaves the newest view here and posts one message, and the dialog
// shows whatever is newest when it gets to it. A synchronous call per change
// costs the worker a thread switch each time, which on a busy machine is
// worth many reads.
void CHttpDownloadDlg::QueueView(const std::function<void(PendingView&)>& change) {
  if (!m_hWnd) return;
  if (::GetWindowThreadProcessId(m_hWnd, nullptr) == ::GetCurrentThreadId()) {
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

void CHttpDownloadDlg::ShowPendingView() {
  viewPosted_ = false;  // first: a change queued from now on posts again
  PendingView view;
  {
    std::lock_guard<std::mutex> lock(viewLock_);
    std::swap(view, pendingView_);
  }
  ShowView(view);
}

void CHttpDownloadDlg::ShowView(const PendingView& view) {
  if (view.barPosition >= 0 && fileBar_.GetSafeHwnd()) fileBar_.SetPos(view.barPosition);
  if (!view.title.empty() && m_hWnd) ::SetWindowTextW(m_hWnd, view.title.c_str());
  if (!view.rate.empty() && rateText_.GetSafeHwnd()) rateText_.SetWindowText(view.rate);
  if (!view.timeLeft.empty() && timeLeftText_.GetSafeHwnd()) timeLeftText_.SetWindowText(view.timeLeft);
}

void CHttpDownloadDlg::SetPercentage(unsigned percent) {
  const std::wstring title = FormatWindowTitle(percent, fileLabelText_);
  QueueView([&](PendingView& view) {
    view.barPosition = static_cast<int>(percent);
    view.title = title;
  });
}

void CHttpDownloadDlg::SetTimeLeft(std::uint32_t seconds, std::uint64_t bytesSoFar, std::uint64_t size) {
  const std::wstring text = FormatTimeLeft(seconds, bytesSoFar, size);
  QueueView([&](PendingView& view) { view.timeLeft = text; });
}

void CHttpDownloadDlg::SetTransferRate(double rate) {
  const std::wstring text = FormatTransferRate(rate);
  QueueView([&](PendingView& view) { view.rate = text; });
}

void CHttpDownloadDlg::UpdateProgress(ProgressCounters& counters, std::uint64_t bytesSoFar, bool sizeKnown,
                                      std::uint64_t size) {
  const ProgressChange change = StepProgress(counters, Platform::GetTickCountMs(), bytesSoFar, sizeKnown, size);
  if (!change.percentChanged && !change.rateChanged && !change.timeLeftChanged) return;
  // The bar counts KiB during a transfer; the title takes the percentage.
  std::wstring title;
  std::wstring rate;
  std::wstring timeLeft;
  if (change.percentChanged) title = FormatWindowTitle(change.percent, fileLabelText_);
  if (change.rateChanged) rate = FormatTransferRate(change.rate);
  if (change.timeLeftChanged) timeLeft = FormatTimeLeft(change.secondsLeft, bytesSoFar, size);
  QueueView([&](PendingView& view) {
    if (change.percentChanged) {
      view.barPosition = static_cast<int>(change.barPosition);
      view.title = std::move(title);
    }
    if (change.rateChanged) view.rate = std::move(rate);
    if (change.timeLeftChanged) view.timeLeft = std::move(timeLeft);
  });
}

void CHttpDownloadDlg::SetFileLabel(const std::wstring& text) {
  if (fileLabel_.GetSafeHwnd()) fileLabel_.SetWindowText(text);
}

void CHttpDownloadDlg::SetFileRange(std::uint64_t upper) {
  // The bar counts KiB; its 32-bit range covers files up to 2 TiB. A position
  // still queued from the previous file no longer applies.
  const int top = upper > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(upper);
  {
    std::lock_guard<std::mutex> lock(viewLock_);
    pendingView_.barPosition = -1;
  }
  if (fileBar_.GetSafeHwnd()) fileBar_.SetRange(0, top);
}

void CHttpDownloadDlg::SetTotalLabel(const std::wstring& text) {
  if (totalLabel_.GetSafeHwnd()) totalLabel_.SetWindowText(text);
}

void CHttpDownloadDlg::SetTotalRange(int lower, int upper) {
  if (totalBar_.GetSafeHwnd()) totalBar_.SetRange16(static_cast<unsigned short>(lower), static_cast<unsigned short>(upper));
}

void CHttpDownloadDlg::SetTotalPosition(int position) {
  if (totalBar_.GetSafeHwnd()) totalBar_.SetPos(position);
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
  }
  return TRUE;
}

void CHttpDownloadDlg::OnCancel() {
  abort_ = true;
  if (cancelButton_.GetSafeHwnd()) cancelButton_.EnableWindow(false);
  SetStatus(IDS_HTTPDOWNLOAD_ABORTING_TRANSFER);
  // The dialog stays until the worker has noticed and posted WM_WORKER_DONE.
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
  // A worker that is still going (a failure reported while it went on) stops
  // at its next check instead of updating a window that is going away.
  abort_ = true;
  EndDialog(result);
}

void CHttpDownloadDlg::OnDestroy() {
  if (worker_) {
    abort_ = true;
    // Wait for the worker while still answering its synchronous calls to the
    // controls, which would otherwise wait for this thread for ever.
    HANDLE thread = worker_->Handle();
    for (;;) {
      const DWORD r = ::MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE);
      if (r != WAIT_OBJECT_0 + 1) break;
      MSG msg;
      (void)::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    worker_.reset();
  }
  CThemeDialog::OnDestroy();
}

LRESULT CHttpDownloadDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_WORKER_DONE) {
    OnThreadFinished(wParam);
    return 0;
  }
  if (message == kShowViewMessage) {
    ShowPendingView();
    return 0;
  }
  return CThemeDialog::WindowProc(message, wParam, lParam);
}

void CHttpDownloadDlg::OnThreadFinished(WPARAM wParam) {
  safeToClose_ = true;
  // Only the first end counts: a worker that reported a failure and went on
  // posts again when it stops, possibly while the error box is up.
  if (ending_) return;
  ending_ = true;
  if (abort_) {
    EndRun(IDCANCEL);
  } else if (wParam == 1) {
    ShowErrorBox(errorText_);
    EndRun(IDCANCEL);
  } else {
    EndRun(IDOK);
  }
}

void CHttpDownloadDlg::ShowErrorBox(const std::wstring& text) {
  CThemeMessageBox box(L"Error", text, 0, nullptr);
  (void)box.DoModal();
}
