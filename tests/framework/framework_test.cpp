// The window, dialog and thread classes, on real windows under the display.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <vector>

#include "framework/controls.h"
#include "framework/dialog.h"
#include "framework/thread.h"
#include "framework_test_ids.h"

namespace {

const UINT WM_TEST_ACTION = WM_APP + 50;

class CRecordingButton : public CButton {
 public:
  int drawn = 0;
  int preSubclassed = 0;
  void PreSubclassWindow() override { ++preSubclassed; }
  void DrawItem(DRAWITEMSTRUCT* item) override {
    ++drawn;
    ::FillRect(item->hDC, &item->rcItem, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
  }
};

// Runs a scripted action once the dialog is up, then records what it saw.
class CTestDialog : public CDialog {
 public:
  CTestDialog() : CDialog(IDD_FW_TEST) {}
  std::vector<UINT> seen;
  bool sawCreate = false;
  bool inited = false;
  int cancels = 0;
  CStatic label;
  CRecordingButton owner;
  std::function<void(CTestDialog&)> action;

  void DoDataExchange(CDataExchange* dx) override {
    DDX_Control(dx, IDC_FW_LABEL, label);
    DDX_Control(dx, IDC_FW_OWNER, owner);
  }
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    inited = true;
    PostMessage(WM_TEST_ACTION);
    return TRUE;
  }
  void OnCancel() override {
    ++cancels;
    CDialog::OnCancel();
  }
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_NCCREATE || message == WM_CREATE) sawCreate = true;
    if (message == WM_TEST_ACTION) {
      if (action) action(*this);
      return 0;
    }
    return CDialog::WindowProc(message, wParam, lParam);
  }
};

TEST(Dialog, ModalRunBindsControlsAndEndsWithTheGivenResult) {
  struct Case {
    const char* name;
    std::function<void(CTestDialog&)> action;
    INT_PTR result;
    int cancels;
  };
  const Case cases[] = {
      {"EndDialog", [](CTestDialog& d) { d.EndDialog(42); }, 42, 0},
      {"OK button", [](CTestDialog& d) { d.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)d.GetDlgItem(IDOK)); }, IDOK, 0},
      {"Escape key", [](CTestDialog& d) {
         ::SetFocus(d.GetDlgItem(IDCANCEL));
         MSG msg{};
         msg.hwnd = d.GetDlgItem(IDCANCEL);
         msg.message = WM_KEYDOWN;
         msg.wParam = VK_ESCAPE;
         ::IsDialogMessageW(d, &msg);
       }, IDCANCEL, 1},
      {"close box", [](CTestDialog& d) { d.SendMessage(WM_SYSCOMMAND, SC_CLOSE, 0); }, IDCANCEL, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CTestDialog dialog;
    dialog.action = c.action;
    EXPECT_EQ(dialog.DoModal(), c.result);
    EXPECT_TRUE(dialog.inited);
    EXPECT_TRUE(dialog.sawCreate) << "the object must see the creation messages";
    EXPECT_EQ(dialog.cancels, c.cancels);
    EXPECT_EQ(dialog.GetSafeHwnd(), nullptr);
    EXPECT_EQ(dialog.label.GetSafeHwnd(), nullptr) << "controls are detached when destroyed";
    EXPECT_EQ(dialog.owner.preSubclassed, 1);
  }
}

TEST(Dialog, OwnerDrawIsReflectedToTheControl) {
  CTestDialog dialog;
  int drawnWhileUp = -1;
  std::wstring labelText;
  dialog.action = [&](CTestDialog& d) {
    // The modal loop shows the dialog only once it is idle.
    d.ShowWindow(SW_SHOW);
    d.owner.RedrawWindow(nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    drawnWhileUp = d.owner.drawn;
    labelText = d.label.GetWindowText();
    d.EndDialog(IDOK);
  };
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_GE(drawnWhileUp, 1);
  EXPECT_EQ(labelText, L"Label");
}

TEST(Dialog, MissingTemplateFails) {
  CDialog dialog(9999);
  EXPECT_EQ(dialog.DoModal(), -1);
}

TEST(WorkerThread, StartsSuspendedRunsOnResumeAndIsWaitable) {
  std::atomic<int> runs{0};
  auto proc = [](void* p) -> unsigned {
    ++*static_cast<std::atomic<int>*>(p);
    return 7;
  };
  auto thread = CWorkerThread::Begin(proc, &runs);
  ASSERT_TRUE(thread);
  EXPECT_FALSE(thread->Wait(50)) << "a suspended thread does not run";
  EXPECT_EQ(runs.load(), 0);
  ASSERT_TRUE(thread->Resume());
  EXPECT_TRUE(thread->Wait());
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(thread->ExitCode(), 7u);

  // An object dropped before its thread ever ran does not run the function.
  {
    auto never = CWorkerThread::Begin(proc, &runs);
    ASSERT_TRUE(never);
  }
  EXPECT_EQ(runs.load(), 1);
  EXPECT_FALSE(CWorkerThread::Begin(nullptr, nullptr));
}

}  // namespace
