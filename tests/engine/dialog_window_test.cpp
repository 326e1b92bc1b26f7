// The update dialog as the user meets it: whole runs of the real worker
// against nginx and the scripted server, with the real themed error box
// found and answered on the screen, Cancel pressed through the button, the
// Escape key and the close box, and the window's end checked against the
// worker's. With VIREO_UI_SHOTS set to a folder, the runs also save
// ui-dialog.png (the dialog in mid-download) and ui-error-box.png there.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include <objidl.h>
#include <gdiplus.h>

#include "common/test_files.h"
#include "engine/dialog_test_util.h"
#include "engine/module_staging.h"
#include "engine/engine_test_util.h"
#include "engine_resource.h"
#include "harness/nginx_fixture.h"
#include "harness/scripted_server.h"
#include "platform/file.h"
#include "platform/windows_handle.h"

using EngineTest::Narrow;
using TestFiles::ReadOrMissing;
using TestHarness::CScriptedReply;
using TestHarness::CScriptedServer;

namespace {

std::string UpdateList(const std::string& fileName) {
  return "<?xml version=\"1.0\"?>\r\n<update>\r\n  <module filename=\"" + fileName +
         "\" version=\"\" datetime=\"\"/>\r\n</update>\r\n";
}

std::wstring TextOf(HWND wnd) {
  wchar_t buffer[512] = {};
  ::GetWindowTextW(wnd, buffer, 512);
  return buffer;
}

// ---- Screenshots ---------------------------------------------------------------

// Saves the screen under `wnd` as a PNG when VIREO_UI_SHOTS names a folder.
void SaveShot(HWND wnd, const wchar_t* name) {
  const char* folder = std::getenv("VIREO_UI_SHOTS");
  if (!folder || !*folder) return;
  RECT r;
  if (!::GetWindowRect(wnd, &r)) return;
  const int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = ::GetDC(nullptr);
  HDC mem = ::CreateCompatibleDC(screen);
  HBITMAP bmp = ::CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = ::SelectObject(mem, bmp);
  ::BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  ::SelectObject(mem, old);
  ::DeleteDC(mem);
  ::ReleaseDC(nullptr, screen);

  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok) {
    Gdiplus::GpBitmap* image = nullptr;
    if (Gdiplus::DllExports::GdipCreateBitmapFromHBITMAP(bmp, nullptr, &image) == Gdiplus::Ok) {
      static const CLSID kPng = {0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
      const std::wstring path = std::wstring(folder, folder + std::strlen(folder)) + L"\\" + name;
      EXPECT_EQ(Gdiplus::DllExports::GdipSaveImageToFile(image, path.c_str(), &kPng, nullptr), Gdiplus::Ok);
      Gdiplus::DllExports::GdipDisposeImage(image);
    }
    Gdiplus::GdiplusShutdown(token);
  }
  ::DeleteObject(bmp);
}

// ---- The dialog under watch ----------------------------------------------------

// The real dialog and the real error box; records what the user would see
// when the worker's end arrives and whether the worker had ended when the
// window went away.
class CWatchedDlg : public CHttpDownloadDlg {
 public:
  // `giveUp`: the run's waits on the server are ones the window may give
  // up on, as the updater's are.
  CWatchedDlg(const std::wstring& url, UpdateModuleList* modules, std::uint32_t timeoutMs = 0, bool giveUp = false)
      : CHttpDownloadDlg(url, modules) {
    // The real run, on the real worker; the wrapper only notes the thread.
    SetWorkerJobForTesting([this, url, modules, timeoutMs, giveUp](IUpdateProgress& progress,
                                                                   const std::atomic<bool>& abort) {
      worker_.Reset(::OpenThread(SYNCHRONIZE, FALSE, ::GetCurrentThreadId()));
      CUpdateRun run(url, modules, progress, abort);
      if (giveUp) run.SetServerWaits(ServerWaits());
      if (timeoutMs != 0) run.SetTimeoutsForTesting(timeoutMs, timeoutMs, timeoutMs);
      return run.RunUpdate();
    });
  }
  void ShowErrorBox(const std::wstring& text) override {
    boxTexts.push_back(text);
    CHttpDownloadDlg::ShowErrorBox(text);
  }
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_WORKER_DONE && !doneSeen) {
      doneSeen = true;
      statusAtDone = TextOf(::GetDlgItem(m_hWnd, IDC_STATUS));
      cancelEnabledAtDone = ::IsWindowEnabled(::GetDlgItem(m_hWnd, IDCANCEL)) != FALSE;
    }
    const LRESULT result = CHttpDownloadDlg::WindowProc(message, wParam, lParam);
    if (message == WM_DESTROY) {
      workerEndedAtDestroy = worker_ && ::WaitForSingleObject(worker_.Get(), 0) == WAIT_OBJECT_0;
    }
    return result;
  }

  // Main thread, read after the modal run.
  std::vector<std::wstring> boxTexts;
  bool doneSeen = false;
  std::wstring statusAtDone;
  bool cancelEnabledAtDone = true;
  bool workerEndedAtDestroy = false;

 private:
  Platform::CScopedHandle worker_;
};

// A box on the screen, as the watcher found it.
struct SeenBox {
  std::wstring caption;
  std::vector<std::wstring> buttons;  // the visible ones, in child order
  bool dialogStillThere = false;
};

// Watches the screen from its own thread while the dialog runs: every
// visible "Error" window of this process is noted and answered with OK.
class CBoxWatcher {
 public:
  explicit CBoxWatcher(const CHttpDownloadDlg& dialog)
      : dialog_(dialog), thread_([this] { Watch(); }) {}
  ~CBoxWatcher() {
    stop_ = true;
    thread_.join();
  }
  std::vector<SeenBox> Boxes() {
    std::lock_guard<std::mutex> lock(lock_);
    return boxes_;
  }

 private:
  void Watch() {
    while (!stop_) {
      HWND box = FindBox();
      if (box && box != answered_) {
        SeenBox seen;
        seen.caption = TextOf(box);
        for (HWND c = ::GetWindow(box, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT))
          if (::IsWindowVisible(c)) seen.buttons.push_back(TextOf(c));
        seen.dialogStillThere = dialog_.GetSafeHwnd() && ::IsWindowVisible(dialog_.GetSafeHwnd());
        ::Sleep(200);  // painted by now
        SaveShot(box, L"ui-error-box.png");
        {
          std::lock_guard<std::mutex> lock(lock_);
          boxes_.push_back(seen);
        }
        answered_ = box;
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      }
      ::Sleep(20);
    }
  }
  static HWND FindBox() {
    struct Search {
      HWND found = nullptr;
    } search;
    ::EnumWindows(
        [](HWND wnd, LPARAM p) -> BOOL {
          DWORD pid = 0;
          ::GetWindowThreadProcessId(wnd, &pid);
          if (pid == ::GetCurrentProcessId() && ::IsWindowVisible(wnd) && TextOf(wnd) == L"Error") {
            reinterpret_cast<Search*>(p)->found = wnd;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

  const CHttpDownloadDlg& dialog_;
  std::atomic<bool> stop_{false};
  HWND answered_ = nullptr;
  std::mutex lock_;
  std::vector<SeenBox> boxes_;
  std::thread thread_;
};

UpdateModuleList OneModule(const std::wstring& listPath, const std::wstring& folder) {
  UpdateModuleList modules;
  auto m = std::make_unique<CUpdateModule>();
  m->Name = L"plain";
  m->UpdateListPath = listPath;
  m->InstallPath = folder;
  modules.push_back(std::move(m));
  return modules;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// A port on which nothing listens (bound, then released).
std::wstring DeadAddress() {
  CScriptedServer probe([](const TestHarness::ScriptedRequest&) { return CScriptedReply(); });
  if (!probe.Start()) return L"127.0.0.1:1";
  const std::wstring address = probe.Address();
  probe.Stop();
  return address;
}

}  // namespace

TEST(EngineDialogWindow, WholeRunsEndWithTheirBox) {
  TestHarness::CNginxFixture nginx;
  ASSERT_TRUE(nginx.IsReady()) << nginx.Problem();
  ASSERT_TRUE(nginx.WriteDocument(L"dw/ok/UpdateList.xml", UpdateList("a.txt")));
  ASSERT_TRUE(nginx.WriteDocument(L"dw/ok/a.txt", "fresh a"));
  ASSERT_TRUE(nginx.WriteDocument(L"dw/missing/UpdateList.xml", UpdateList("gone.txt")));

  // The size query of the one file is answered with a reset: the module
  // fails there, before any download.
  CScriptedServer resetting([](const TestHarness::ScriptedRequest& r) {
    if (r.requestLine.find("UpdateList.xml") != std::string::npos)
      return CScriptedReply::Response(200, "OK", UpdateList("b.txt"));
    return CScriptedReply().Reset();
  });
  ASSERT_TRUE(resetting.Start());

  struct Case {
    const char* label;
    std::wstring address;
    const wchar_t* listPath;
    INT_PTR result;
    const wchar_t* boxPrefix;  // nullptr: no box
    const char* file;          // installed afterwards, or nullptr
  };
  const Case cases[] = {
      {"normal run", nginx.Address(), L"/dw/ok/UpdateList.xml", IDOK, nullptr, "a.txt"},
      {"file missing on the server", nginx.Address(), L"/dw/missing/UpdateList.xml", IDCANCEL,
       L"Failed to receive a valid HTTP response from the server", nullptr},
      {"size query fails", resetting.Address(), L"/UpdateList.xml", IDCANCEL,
       L"An error occurred connecting to the server, Error:", nullptr},
      {"no server", DeadAddress(), L"/UpdateList.xml", IDCANCEL, L"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TestFiles::CTempDir dir;
    UpdateModuleList modules = OneModule(c.listPath, dir.Path());
    CWatchedDlg dialog(c.address, &modules, 2000);
    INT_PTR result = 0;
    std::vector<SeenBox> boxes;
    {
      CBoxWatcher watcher(dialog);
      result = dialog.DoModal();
      boxes = watcher.Boxes();
    }
    EXPECT_EQ(result, c.result);
    EXPECT_TRUE(dialog.workerEndedAtDestroy);
    if (c.boxPrefix) {
      ASSERT_EQ(dialog.boxTexts.size(), 1u);
      EXPECT_TRUE(StartsWith(dialog.boxTexts[0], c.boxPrefix)) << Narrow(dialog.boxTexts[0]);
      EXPECT_FALSE(dialog.boxTexts[0].empty());
      // On the screen: the themed box, OK only, over the dialog that waits for it.
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].buttons, std::vector<std::wstring>{L"OK"});
      EXPECT_TRUE(boxes[0].dialogStillThere);
    } else {
      EXPECT_TRUE(dialog.boxTexts.empty()) << Narrow(dialog.boxTexts[0]);
      EXPECT_TRUE(boxes.empty());
    }
    if (c.file) {
      EXPECT_EQ(ReadOrMissing(dir / std::wstring(c.file, c.file + std::strlen(c.file))), "fresh a");
    }
  }
  resetting.Stop();
}

// Cancel while the server holds a transfer: a worker whose waits on the
// server may not be given up is waited for, with the dialog open and Cancel
// disabled; the updater's own run is given up while it waits, and the dialog
// ends at once, before the server goes on.
TEST(EngineDialogWindow, CancelDuringADownload) {
  enum class How { Button, EscapeKey, CloseBox };
  struct Case {
    const char* label;
    How how;
    bool giveUp;
  };
  const Case cases[] = {{"Cancel button", How::Button, false},
                        {"Escape key", How::EscapeKey, false},
                        {"close box", How::CloseBox, false},
                        {"Cancel button, worker given up", How::Button, true}};
  const std::string body(200000, 'v');
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    // A server per case: once let go, its holds stay open.
    std::atomic<int> fileRequests{0};
    // One file whose download stops partway until the test lets it go on.
    CScriptedServer server([&](const TestHarness::ScriptedRequest& r) {
      if (r.requestLine.find("UpdateList.xml") != std::string::npos)
        return CScriptedReply::Response(200, "OK", UpdateList("big.bin"));
      if (++fileRequests == 1)  // the size query
        return CScriptedReply().Send(CScriptedReply::Head(200, "OK", {}, static_cast<long long>(body.size())));
      return CScriptedReply()
          .Send(CScriptedReply::Head(200, "OK", {}, static_cast<long long>(body.size())) + body.substr(0, 60000))
          .Trickle(body.substr(60000, 40000), 4000, 60)
          .WaitForRelease()
          .Send(body.substr(100000));
    });
    ASSERT_TRUE(server.Start());
    TestFiles::CTempDir dir;
    UpdateModuleList modules = OneModule(L"/UpdateList.xml", dir.Path());
    CWatchedDlg dialog(server.Address(), &modules, 0, c.giveUp);
    std::wstring statusWhileWaiting;
    bool cancelEnabledWhileWaiting = true;
    bool openWhileWaiting = false;
    bool endedWhileHeld = false;
    bool pressed = false;
    INT_PTR result = 0;
    DWORD modalError = 0;
    std::vector<SeenBox> boxes;
    {
      CBoxWatcher watcher(dialog);
      std::thread user([&] {
        using namespace std::chrono_literals;
        // Until the download has come to its hold.
        for (int i = 0; i < 1000 && fileRequests < 2; ++i) std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(1500ms);
        const HWND wnd = dialog.GetSafeHwnd();
        if (!wnd || fileRequests < 2) {
          server.Release();
          return;
        }
        if (c.how == How::Button) SaveShot(wnd, L"ui-dialog.png");
        const HWND cancel = ::GetDlgItem(wnd, IDCANCEL);
        switch (c.how) {
          case How::Button:
            ::PostMessageW(cancel, BM_CLICK, 0, 0);
            break;
          case How::EscapeKey: {
            GUITHREADINFO info{};
            info.cbSize = sizeof(info);
            const HWND focus = ::GetGUIThreadInfo(::GetWindowThreadProcessId(wnd, nullptr), &info) && info.hwndFocus
                                   ? info.hwndFocus
                                   : wnd;
            ::PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 1);
            ::PostMessageW(focus, WM_KEYUP, VK_ESCAPE, 0xC0000001);
            break;
          }
          case How::CloseBox:
            ::PostMessageW(wnd, WM_CLOSE, 0, 0);
            break;
        }
        pressed = true;
        if (c.giveUp) {
          for (int i = 0; i < 1000 && ::IsWindow(wnd); ++i) std::this_thread::sleep_for(10ms);
          endedWhileHeld = !::IsWindow(wnd);
          server.Release();
          return;
        }
        for (int i = 0; i < 500 && !dialog.IsAborted(); ++i) std::this_thread::sleep_for(10ms);
        // Enter while the transfer is being aborted: Cancel is disabled by
        // then, so the dialog's default command IDOK comes. It must not end
        // the dialog as if the update were done.
        ::PostMessageW(wnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        // The worker is still held: the dialog must wait for it.
        std::this_thread::sleep_for(300ms);
        statusWhileWaiting = TextOf(::GetDlgItem(wnd, IDC_STATUS));
        cancelEnabledWhileWaiting = ::IsWindowEnabled(cancel) != FALSE;
        openWhileWaiting = ::IsWindow(wnd) && ::IsWindowVisible(wnd);
        server.Release();
      });
      result = dialog.DoModal();
      if (result == -1) modalError = ::GetLastError();
      user.join();
      boxes = watcher.Boxes();
    }
    if (!pressed) {
      for (const auto& r : server.Requests()) ADD_FAILURE() << r.requestLine;
      for (const auto& t : dialog.boxTexts) ADD_FAILURE() << Narrow(t);
    }
    ASSERT_TRUE(pressed) << "the download never reached its hold, result " << result << ", error " << modalError;
    EXPECT_TRUE(dialog.IsAborted());
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_TRUE(dialog.boxTexts.empty()) << Narrow(dialog.boxTexts[0]);
    EXPECT_TRUE(boxes.empty());
    if (c.giveUp) {
      // The worker stays where its wait ended; its staged bytes and the
      // server's connection with it.
      EXPECT_TRUE(endedWhileHeld);
      EXPECT_FALSE(dialog.doneSeen);
      EXPECT_FALSE(dialog.workerEndedAtDestroy);
      continue;
    }
    EXPECT_EQ(statusWhileWaiting, L"Aborting transfer");
    EXPECT_FALSE(cancelEnabledWhileWaiting);
    EXPECT_TRUE(openWhileWaiting);
    // Still so when the worker's end arrived.
    EXPECT_TRUE(dialog.doneSeen);
    EXPECT_EQ(dialog.statusAtDone, L"Aborting transfer");
    EXPECT_FALSE(dialog.cancelEnabledAtDone);
    EXPECT_TRUE(dialog.workerEndedAtDestroy);
    // Nothing of the cut transfer is in the folder but what is staged for
    // the next run.
    std::vector<Platform::DirectoryEntry> left;
    ASSERT_TRUE(Platform::ListDirectory(dir.Path(), &left));
    for (const auto& e : left) {
      if (e.name != kStagingFolderName) ADD_FAILURE() << Narrow(e.name);
    }
    server.Stop();
  }
}

// A worker that reports far faster than anyone reads: the window shows the
// newest view at most every 200 ms, so its redraws stay few, and when the
// worker ends the window shows its very last report before it goes.
TEST(EngineDialogWindow, FastReportsAreShownNewestFirstAndTheLastBeforeTheEnd) {
  class CCountingDlg : public CHttpDownloadDlg {
   public:
    CCountingDlg() : CHttpDownloadDlg(L"127.0.0.1:1", nullptr) {}
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
      if (message == WM_SETTEXT) ++titles;  // the dialog's own text: its title
      const LRESULT result = CHttpDownloadDlg::WindowProc(message, wParam, lParam);
      if (message == WM_WORKER_DONE) {
        statusAtEnd = TextOf(::GetDlgItem(m_hWnd, IDC_STATUS));
        totalAtEnd = TextOf(::GetDlgItem(m_hWnd, IDC_TOTAL_LABEL));
        titleAtEnd = TextOf(m_hWnd);
      }
      return result;
    }
    std::wstring statusAtEnd, totalAtEnd, titleAtEnd;
    int titles = 0;  // dialog's thread
  };
  constexpr int kReports = 3000;
  CCountingDlg dialog;
  std::uint32_t elapsedMs = 0;
  dialog.SetWorkerJobForTesting([&](IUpdateProgress& progress, const std::atomic<bool>&) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= kReports; ++i) {
      progress.SetFileLabel(L"file " + std::to_wstring(i), L"file" + std::to_wstring(i) + L".txt");
      progress.SetPercentage(static_cast<unsigned>(i % 100), static_cast<std::uint32_t>(i));
      progress.SetStatus(L"status " + std::to_wstring(i));
      progress.SetTotalLabel(L"Total : " + std::to_wstring(i) + L"/" + std::to_wstring(kReports));
    }
    elapsedMs = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    // Once the burst's last view is on the screen, one more report and the
    // end at once: that report comes too soon after a view to be shown but
    // by the end itself. (This test's worker may wait for the window; the
    // run's never does.)
    const HWND status = ::GetDlgItem(dialog.GetSafeHwnd(), IDC_STATUS);
    for (int i = 0; i < 1000 && TextOf(status) != L"status 3000"; ++i) ::Sleep(10);
    progress.SetFileLabel(L"last", L"last.txt");
    progress.SetPercentage(100, 1);
    progress.SetStatus(L"last status");
    progress.SetTotalLabel(L"Total : 1/1");
    return RunOutcome{};
  });
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_EQ(dialog.statusAtEnd, L"last status");
  EXPECT_EQ(dialog.totalAtEnd, L"Total : 1/1");
  EXPECT_NE(dialog.titleAtEnd.find(L"last.txt"), std::wstring::npos) << Narrow(dialog.titleAtEnd);
  // One title per view shown: the first at once, then at most one per 200 ms
  // of the burst (with room for timer rounding), the burst's last and the
  // final one.
  EXPECT_LE(dialog.titles, static_cast<int>(elapsedMs / 180) + 4) << elapsedMs << " ms of reports";
}
