// Windows only: the update dialog as the engine's tests drive it. Jobs run on
// the dialog's real worker thread while the dialog runs modally on the test's
// thread, so every report crosses threads as in the updater; the error box
// and the total bar and label are recorded instead of waiting for a user.
#pragma once
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/http_download_dlg.h"

namespace EngineTest {

class CTestDownloadDlg : public CHttpDownloadDlg {
 public:
  explicit CTestDownloadDlg(const std::wstring& url, UpdateModuleList* modules = nullptr)
      : CHttpDownloadDlg(url, modules) {}
  void ShowErrorBox(const std::wstring& text) override { errorBoxes.push_back(text); }
  void SetTotalLabel(const std::wstring& text) override {
    totalLabels.push_back(text);
    CHttpDownloadDlg::SetTotalLabel(text);
  }
  void SetTotalPosition(int position) override {
    totalPositions.push_back(position);
    CHttpDownloadDlg::SetTotalPosition(position);
  }

  // Read after the modal run (the worker has ended by then).
  std::vector<std::wstring> errorBoxes;  // main thread
  std::vector<std::wstring> totalLabels;  // worker thread
  std::vector<int> totalPositions;        // worker thread
};

// Opens the connection on the worker, runs `job` there, and returns the
// dialog's modal result once the worker has ended.
INT_PTR RunJob(CTestDownloadDlg& dialog, std::function<void(CHttpDownloadDlg&)> job);

// Presses Cancel on `dialog` from another thread once `ready` says so, then,
// when the dialog has taken the cancel, runs `afterCancel` (for example to
// let a held-back server reply go on).
class CCanceller {
 public:
  CCanceller(CHttpDownloadDlg& dialog, std::function<bool()> ready, std::function<void()> afterCancel);
  ~CCanceller();  // joins
  bool Cancelled() const { return cancelled_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<bool> cancelled_{false};
  std::thread thread_;
};

}  // namespace EngineTest
