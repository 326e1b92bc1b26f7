#include "engine/dialog_test_util.h"

#include <chrono>

namespace EngineTest {

INT_PTR RunJob(CTestDownloadDlg& dialog, std::function<void(CHttpDownloadDlg&)> job) {
  dialog.SetWorkerJobForTesting([job](CHttpDownloadDlg& d) {
    if (!d.OpenConnection()) return;
    job(d);
  });
  return dialog.DoModal();
}

CCanceller::CCanceller(CHttpDownloadDlg& dialog, std::function<bool()> ready, std::function<void()> afterCancel)
    : thread_([this, &dialog, ready, afterCancel] {
        using namespace std::chrono_literals;
        for (int i = 0; i < 3000 && !stop_; ++i) {
          if (dialog.GetSafeHwnd() && ready()) break;
          std::this_thread::sleep_for(10ms);
        }
        if (stop_ || !dialog.GetSafeHwnd()) return;
        ::PostMessageW(dialog.GetSafeHwnd(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        for (int i = 0; i < 3000 && !stop_ && !dialog.IsAborted(); ++i) std::this_thread::sleep_for(1ms);
        cancelled_ = dialog.IsAborted();
        if (afterCancel) afterCancel();
      }) {}

CCanceller::~CCanceller() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

}  // namespace EngineTest
