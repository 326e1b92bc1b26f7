// The themed dialog, controls and message box on real windows under the
// display: pixels read back from the screen, and input driven by messages
// and by synthesised mouse and keyboard events.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "ui/theme_controls.h"
#include "ui/theme_dialog.h"
#include "ui/theme_message_box.h"
#include "ui/theme_store.h"
#include "ui_test_ids.h"

namespace {

using Step = std::function<void()>;

// ---- Pixels ------------------------------------------------------------------

// The window's own pixels (its window device context), in window coordinates.
class CCapture {
 public:
  explicit CCapture(HWND wnd) {
    RECT r;
    ::GetWindowRect(wnd, &r);
    w_ = r.right - r.left;
    h_ = r.bottom - r.top;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = w_;
    bi.bmiHeader.biHeight = -h_;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HDC screen = ::GetWindowDC(wnd);
    HDC mem = ::CreateCompatibleDC(screen);
    HBITMAP bmp = ::CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(mem, bmp);
    ::BitBlt(mem, 0, 0, w_, h_, screen, 0, 0, SRCCOPY);
    ::GdiFlush();
    px_.assign(static_cast<const uint32_t*>(bits), static_cast<const uint32_t*>(bits) + w_ * h_);
    ::SelectObject(mem, old);
    ::DeleteObject(bmp);
    ::DeleteDC(mem);
    ::ReleaseDC(wnd, screen);
  }
  COLORREF At(int x, int y) const {
    if (x < 0 || y < 0 || x >= w_ || y >= h_) return CLR_INVALID;
    const uint32_t p = px_[static_cast<size_t>(y) * w_ + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
  }
  int Width() const { return w_; }
  int Height() const { return h_; }

 private:
  int w_ = 0, h_ = 0;
  std::vector<uint32_t> px_;
};

std::string Hex(COLORREF c) {
  char buf[32];
  snprintf(buf, sizeof buf, "RGB(%d,%d,%d)", GetRValue(c), GetGValue(c), GetBValue(c));
  return buf;
}
#define EXPECT_COLOUR(actual, expected) EXPECT_EQ(Hex(actual), Hex(expected))

// A child's rectangle in its top-level window's coordinates.
RECT ChildRect(HWND top, HWND child) {
  RECT w, c;
  ::GetWindowRect(top, &w);
  ::GetWindowRect(child, &c);
  return {c.left - w.left, c.top - w.top, c.right - w.left, c.bottom - w.top};
}

// ---- Input -------------------------------------------------------------------

void MouseInput(DWORD flags, int x = 0, int y = 0) {
  INPUT in{};
  in.type = INPUT_MOUSE;
  if (flags & MOUSEEVENTF_MOVE) {
    flags |= MOUSEEVENTF_ABSOLUTE;
    in.mi.dx = static_cast<LONG>((x * 65535LL) / (::GetSystemMetrics(SM_CXSCREEN) - 1));
    in.mi.dy = static_cast<LONG>((y * 65535LL) / (::GetSystemMetrics(SM_CYSCREEN) - 1));
  }
  in.mi.dwFlags = flags;
  ::SendInput(1, &in, sizeof(in));
}
void MoveMouse(int x, int y) { MouseInput(MOUSEEVENTF_MOVE, x, y); }

// A point of a window-coordinate rectangle's centre, on the screen.
POINT ScreenCentre(HWND wnd, const Theme::Rect& r) {
  RECT w;
  ::GetWindowRect(wnd, &w);
  return {w.left + (r.left + r.right) / 2, w.top + (r.top + r.bottom) / 2};
}

// ---- A themed dialog that runs a script, one step per timer tick -------------

class CScriptedDialog : public CThemeDialog {
 public:
  explicit CScriptedDialog(UINT id) : CThemeDialog(id) {}
  std::vector<Step> steps;
  std::vector<std::pair<int, int>> commands;  // identifier, notification
  CThemeButton push, disabled, radios[5], check;
  CThemeStatic text;

  const Theme::FrameLayout& Layout() const { return FrameGeometry(); }

 protected:
  void DoDataExchange(CDataExchange* dx) override {
    if (GetTemplateId() != IDD_UI_TEST) return;
    DDX_Control(dx, IDC_UI_PUSH, push);
    DDX_Control(dx, IDC_UI_DISABLED, disabled);
    DDX_Control(dx, IDC_UI_STATIC, text);
    const int ids[5] = {IDC_UI_RADIO_A1, IDC_UI_RADIO_A2, IDC_UI_RADIO_A3, IDC_UI_RADIO_B1, IDC_UI_RADIO_B2};
    for (int i = 0; i < 5; ++i) DDX_Control(dx, ids[i], radios[i]);
    DDX_Control(dx, IDC_UI_CHECK, check);
  }
  BOOL OnInitDialog() override {
    CThemeDialog::OnInitDialog();
    if (GetStyle() & WS_CAPTION) {
      SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(::LoadIconW(nullptr, IDI_APPLICATION)));
      RecalcLayout(0, 0);
    }
    ::SetTimer(m_hWnd, 1, 150, nullptr);
    return TRUE;
  }
  bool OnCommand(WPARAM wParam, LPARAM lParam) override {
    if (LOWORD(wParam) >= IDC_UI_PUSH) commands.emplace_back(LOWORD(wParam), HIWORD(wParam));
    return CThemeDialog::OnCommand(wParam, lParam);
  }
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_TIMER && wParam == 1) {
      if (next_ < steps.size()) {
        steps[next_++]();
      } else {
        ::KillTimer(m_hWnd, 1);
        EndDialog(IDOK);
      }
      return 0;
    }
    return CThemeDialog::WindowProc(message, wParam, lParam);
  }

 private:
  size_t next_ = 0;
};

void ShowOnTop(CWnd& d) {
  d.ShowWindow(SW_SHOW);
  d.SetForegroundWindow();
  d.SetWindowPos(HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  ::UpdateWindow(d);
}

// ---- Theme store -------------------------------------------------------------

TEST(ThemeStore, CreatedOnFirstUseAndReleasedOnce) {
  ReleaseThemeStore();
  EXPECT_FALSE(ThemeStoreExists());
  ReleaseThemeStore();  // nothing to release: still fine
  EXPECT_FALSE(ThemeStoreExists());

  const ThemeStore& store = GetThemeStore();
  ASSERT_TRUE(ThemeStoreExists());
  HDC dc = ::CreateDCW(L"DISPLAY", nullptr, nullptr, nullptr);
  const int dpi = ::GetDeviceCaps(dc, LOGPIXELSY);
  ::DeleteDC(dc);
  EXPECT_EQ(store.dialog.captionFont.lfHeight, Theme::DefaultFontHeight(dpi));
  EXPECT_EQ(store.button.font.lfHeight, Theme::DefaultFontHeight(dpi));
  EXPECT_EQ(store.dialog.captionFont.lfWeight, 700);
  EXPECT_EQ(store.staticText.font.lfWeight, 400);
  EXPECT_STREQ(store.staticText.font.lfFaceName, L"Tahoma");
  EXPECT_NE(store.GdiplusToken(), 0u);
  EXPECT_GE(store.TimerPeriod(), 1u);
  ASSERT_FALSE(GetMonitorList().empty());
  bool primary = false;
  for (const auto& m : GetMonitorList()) primary |= m->IsPrimary();
  EXPECT_TRUE(primary);

  ReleaseThemeStore();
  EXPECT_FALSE(ThemeStoreExists());
  EXPECT_TRUE(GetMonitorList().empty());
  // A later theme load makes a fresh store.
  CThemeButton button;
  EXPECT_TRUE(ThemeStoreExists());
}

// ---- Pixels of the dialog and its controls -----------------------------------

TEST(ThemedDialogPixels, FrameClientButtonsGlyphsAndText) {
  CScriptedDialog d(IDD_UI_TEST);
  d.steps.push_back([&] {
    // The pointer, wherever an earlier test left it, off the dialog: a
    // button under it would be drawn hot.
    MoveMouse(::GetSystemMetrics(SM_CXSCREEN) - 1, ::GetSystemMetrics(SM_CYSCREEN) - 1);
    ShowOnTop(d);
    d.text.SetWindowText(L"first\n\nsecond");
  });
  COLORREF childBefore = 0;
  d.steps.push_back([&] {
    const RECT black = ChildRect(d, d.GetDlgItem(IDC_UI_BLACK));
    childBefore = CCapture(d).At((black.left + black.right) / 2, (black.top + black.bottom) / 2);
    EXPECT_NE(Hex(childBefore), Hex(RGB(37, 37, 38)));
  });
  d.steps.push_back([&] {
    // A client-only repaint must leave the children's pixels alone.
    d.RedrawWindow(nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_NOCHILDREN);
    const CCapture c(d);
    const Theme::FrameLayout& l = d.Layout();
    EXPECT_COLOUR(c.At(0, 0), RGB(0, 122, 204)) << "frame outline";
    EXPECT_COLOUR(c.At(c.Width() - 1, c.Height() / 2), RGB(0, 122, 204));
    EXPECT_COLOUR(c.At(l.client.right - 4, l.client.bottom - 4), RGB(37, 37, 38)) << "client background";
    EXPECT_COLOUR(c.At(l.caption.left + 100, l.window.top + 2), RGB(45, 45, 48)) << "frame fill";
    // Close glyph, normal: on its diagonal, and its background.
    EXPECT_COLOUR(c.At(l.close.left + 5, l.close.top + 5), RGB(108, 108, 110));
    EXPECT_COLOUR(c.At(l.close.left + 8, l.close.top + 2), RGB(45, 45, 48));

    const RECT black = ChildRect(d, d.GetDlgItem(IDC_UI_BLACK));
    EXPECT_COLOUR(c.At((black.left + black.right) / 2, (black.top + black.bottom) / 2), childBefore)
        << "painted under a child";

    const RECT p = ChildRect(d, d.push);
    EXPECT_COLOUR(c.At(p.left + 3, p.top + 3), RGB(37, 37, 38));
    EXPECT_COLOUR(c.At(p.left, (p.top + p.bottom) / 2), RGB(98, 98, 99)) << "top-left edge";
    EXPECT_COLOUR(c.At(p.right - 1, (p.top + p.bottom) / 2), RGB(98, 98, 99)) << "bottom-right edge";

    const RECT off = ChildRect(d, d.disabled);
    EXPECT_COLOUR(c.At(off.left + 3, off.top + 3), RGB(37, 37, 38));
    EXPECT_COLOUR(c.At(off.left, (off.top + off.bottom) / 2), RGB(37, 37, 38)) << "disabled edge";
    int brightest = 0;
    for (int y = off.top + 2; y < off.bottom - 2; ++y)
      for (int x = off.left + 2; x < off.right - 2; ++x) brightest = std::max<int>(brightest, GetRValue(c.At(x, y)));
    EXPECT_EQ(brightest, 192) << "disabled text";

    // The static's two lines: two bands of rows holding text.
    const RECT s = ChildRect(d, d.text);
    int bands = 0;
    bool inText = false;
    for (int y = s.top; y < s.bottom; ++y) {
      bool any = false;
      for (int x = s.left; x < s.right && !any; ++x) any = c.At(x, y) != RGB(37, 37, 38);
      if (any && !inText) ++bands;
      inText = any;
    }
    EXPECT_EQ(bands, 2);
  });
  d.steps.push_back([&] {
    // Hover: the push button (and the disabled one, which must not show it)
    // and the close button.
    const RECT pr = d.push.GetClientRect();
    d.push.SendMessage(WM_MOUSEMOVE, 0, MAKELPARAM(pr.right / 2, pr.bottom / 2));
    d.disabled.SendMessage(WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    d.SendMessage(WM_NCMOUSEMOVE, HTCLOSE, 0);
    EXPECT_TRUE(d.push.IsHovered());
    const CCapture c(d);
    const Theme::FrameLayout& l = d.Layout();
    const RECT p = ChildRect(d, d.push);
    EXPECT_COLOUR(c.At(p.left + 3, p.top + 3), RGB(45, 45, 48));
    EXPECT_COLOUR(c.At(p.left, (p.top + p.bottom) / 2), RGB(58, 164, 254));
    const RECT off = ChildRect(d, d.disabled);
    EXPECT_COLOUR(c.At(off.left, (off.top + off.bottom) / 2), RGB(37, 37, 38));
    EXPECT_COLOUR(c.At(l.close.left + 5, l.close.top + 5), RGB(15, 76, 118));
    EXPECT_COLOUR(c.At(l.close.left + 8, l.close.top + 2), RGB(31, 31, 32));
  });
  d.steps.push_back([&] {
    d.push.SendMessage(BM_SETSTATE, TRUE);
    ::UpdateWindow(d.push);
    d.SendMessage(WM_NCLBUTTONDOWN, HTCLOSE, 0);
    const CCapture c(d);
    const Theme::FrameLayout& l = d.Layout();
    const RECT p = ChildRect(d, d.push);
    EXPECT_COLOUR(c.At(p.left + 3, p.top + 3), RGB(0, 128, 255)) << "pressed";
    EXPECT_COLOUR(c.At(p.left, (p.top + p.bottom) / 2), RGB(58, 164, 254));
    EXPECT_COLOUR(c.At(l.close.left + 5, l.close.top + 5), RGB(127, 188, 230));
    EXPECT_EQ(d.CaptionStates().close, 2);
    d.push.SendMessage(BM_SETSTATE, FALSE);
  });
  EXPECT_EQ(d.DoModal(), IDOK);
}

TEST(ThemedDialogPixels, ClientBorderOnlyWithoutCaption) {
  CScriptedDialog d(IDD_UI_BARE);
  d.steps.push_back([&] { ShowOnTop(d); });
  d.steps.push_back([&] {
    const CCapture c(d);
    POINT origin{0, 0};
    ::ClientToScreen(d, &origin);
    RECT w = d.GetWindowRect();
    const RECT client = d.GetClientRect();
    const int ox = origin.x - w.left, oy = origin.y - w.top;
    EXPECT_COLOUR(c.At(ox, oy + 10), RGB(67, 67, 70)) << "client border";
    EXPECT_COLOUR(c.At(ox + client.right - 1, oy + 10), RGB(67, 67, 70));
    EXPECT_COLOUR(c.At(ox + 10, oy + client.bottom - 1), RGB(67, 67, 70));
    EXPECT_COLOUR(c.At(ox + 10, oy + 10), RGB(37, 37, 38));
  });
  EXPECT_EQ(d.DoModal(), IDOK);
}

// ---- Interaction -------------------------------------------------------------

TEST(ThemedDialogInput, CaptionButtonsFollowTheMouse) {
  CScriptedDialog d(IDD_UI_TEST);
  d.steps.push_back([&] { ShowOnTop(d); });
  d.steps.push_back([&] {
    const POINT p = ScreenCentre(d, d.Layout().close);
    EXPECT_EQ(d.SendMessage(WM_NCHITTEST, 0, MAKELPARAM(p.x, p.y)), HTCLOSE);
    MoveMouse(p.x, p.y);
  });
  d.steps.push_back([&] {
    EXPECT_EQ(d.CaptionStates(), (Theme::CaptionButtonStates{0, 0, 1})) << "close hovered";
    const POINT p = ScreenCentre(d, d.Layout().minimize);
    MoveMouse(p.x, p.y);
  });
  d.steps.push_back([&] {
    EXPECT_EQ(d.CaptionStates(), (Theme::CaptionButtonStates{1, 0, 0})) << "minimize hovered";
    const POINT p = ScreenCentre(d, d.Layout().maximize);
    MoveMouse(p.x, p.y);
    MouseInput(MOUSEEVENTF_LEFTDOWN);
  });
  d.steps.push_back([&] {
    EXPECT_EQ(d.CaptionStates(), (Theme::CaptionButtonStates{0, 2, 0})) << "maximize pressed";
    // Leaving into the client area, then letting go there, does nothing
    // but clear the looks.
    const POINT p = ScreenCentre(d, d.Layout().client);
    MoveMouse(p.x, p.y);
    MouseInput(MOUSEEVENTF_LEFTUP);
  });
  d.steps.push_back([&] {
    EXPECT_EQ(d.CaptionStates(), (Theme::CaptionButtonStates{0, 0, 0}));
    EXPECT_FALSE(d.GetStyle() & WS_MAXIMIZE);
  });
  EXPECT_EQ(d.DoModal(), IDOK);
}

TEST(ThemedDialogInput, IconAreaDragsTheWindowWithoutSystemMenu) {
  CScriptedDialog d(IDD_UI_TEST);
  RECT before{};
  d.steps.push_back([&] { ShowOnTop(d); });
  d.steps.push_back([&] {
    ASSERT_FALSE(d.Layout().icon.IsEmpty());
    const POINT p = ScreenCentre(d, d.Layout().icon);
    EXPECT_EQ(d.SendMessage(WM_NCHITTEST, 0, MAKELPARAM(p.x, p.y)), HTCAPTION);
    before = d.GetWindowRect();
    MoveMouse(p.x, p.y);
    MouseInput(MOUSEEVENTF_LEFTDOWN);
    for (int i = 1; i <= 4; ++i) MoveMouse(p.x + 10 * i, p.y + 8 * i);
    MouseInput(MOUSEEVENTF_LEFTUP);
  });
  d.steps.push_back([] {});
  d.steps.push_back([&] {
    const RECT after = d.GetWindowRect();
    // Absolute input coordinates are scaled: allow a pixel of rounding.
    EXPECT_NEAR(after.left - before.left, 40, 1);
    EXPECT_NEAR(after.top - before.top, 32, 1);
    HWND menu = ::FindWindowW(L"#32768", nullptr);
    EXPECT_TRUE(!menu || !::IsWindowVisible(menu)) << "a system menu opened";
  });
  EXPECT_EQ(d.DoModal(), IDOK);
}

TEST(ThemedButtonInput, ClicksRadioGroupsAndCheckBox) {
  CScriptedDialog d(IDD_UI_TEST);
  auto click = [](CWnd& b, bool releaseInside) {
    const RECT r = b.GetClientRect();
    b.SendMessage(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(r.right / 2, r.bottom / 2));
    b.SendMessage(WM_LBUTTONUP, 0, releaseInside ? MAKELPARAM(r.right / 2, r.bottom / 2) : MAKELPARAM(r.right + 20, 2));
  };
  auto checks = [&] {
    std::vector<int> v;
    for (auto& r : d.radios) v.push_back(static_cast<int>(r.SendMessage(BM_GETCHECK)));
    return v;
  };
  d.steps.push_back([&] {
    ShowOnTop(d);
    d.radios[3].SetCheck(BST_CHECKED);  // B1
    d.radios[0].SetCheck(BST_CHECKED);  // A1
    EXPECT_EQ(checks(), (std::vector<int>{1, 0, 0, 1, 0}));

    click(d.radios[1], true);  // A2
    EXPECT_EQ(checks(), (std::vector<int>{0, 1, 0, 1, 0})) << "only its own group is unchecked";
    click(d.radios[4], true);  // B2
    EXPECT_EQ(checks(), (std::vector<int>{0, 1, 0, 0, 1}));
    click(d.radios[2], false);  // A3, released outside
    EXPECT_EQ(checks(), (std::vector<int>{0, 1, 0, 0, 1}));
    click(d.check, true);
    EXPECT_EQ(d.check.SendMessage(BM_GETCHECK), BST_CHECKED);
    click(d.check, true);
    EXPECT_EQ(d.check.SendMessage(BM_GETCHECK), BST_UNCHECKED);
    click(d.push, true);
    click(d.push, false);
    EXPECT_EQ(d.commands, (std::vector<std::pair<int, int>>{{IDC_UI_RADIO_A2, BN_CLICKED},
                                                             {IDC_UI_RADIO_B2, BN_CLICKED},
                                                             {IDC_UI_CHECK, BN_CLICKED},
                                                             {IDC_UI_CHECK, BN_CLICKED},
                                                             {IDC_UI_PUSH, BN_CLICKED}}))
        << "one command per click inside, none for a release outside";
  });
  EXPECT_EQ(d.DoModal(), IDOK);
}

// ---- Message box ---------------------------------------------------------------

std::vector<Step>* boxSteps = nullptr;
size_t boxNext = 0;

HWND FindBox();

int boxWaits = 0;

void CALLBACK BoxTimer(HWND, UINT, UINT_PTR id, DWORD) {
  // The modal loop shows the box only once it is idle: wait for that.
  HWND box = FindBox();
  if (!box) return;
  // The actions after the first step press keys on the focused control:
  // wait until the box holds the focus (it may still be activating, or
  // another window may have taken the activation), asking for it again.
  HWND focus = ::GetFocus();
  if (boxNext > 0 && (!focus || (focus != box && !::IsChild(box, focus)))) {
    if (++boxWaits > 200) {  // 30 s: fail with a reason instead of hanging
      ADD_FAILURE() << "the box never got the focus";
      ::EndDialog(box, -1);
      return;
    }
    ::SetForegroundWindow(box);
    return;
  }
  if (boxSteps && boxNext < boxSteps->size()) (*boxSteps)[boxNext++]();
}

HWND FindBox() {
  HWND found = nullptr;
  ::EnumThreadWindows(
      ::GetCurrentThreadId(),
      [](HWND w, LPARAM p) -> BOOL {
        wchar_t cls[16] = {};
        ::GetClassNameW(w, cls, 16);
        if (::IsWindowVisible(w) && ::lstrcmpW(cls, L"#32770") == 0) {
          *reinterpret_cast<HWND*>(p) = w;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

std::vector<int> VisibleButtons(HWND box) {
  std::vector<int> ids;
  for (HWND w = ::GetWindow(box, GW_CHILD); w; w = ::GetWindow(w, GW_HWNDNEXT))
    if (::IsWindowVisible(w)) ids.push_back(::GetDlgCtrlID(w));
  return ids;
}

TEST(ThemedMessageBox, RowsLayoutAndAnswers) {
  const struct {
    const char* name;
    unsigned type;
    std::vector<int> row;
    std::function<void(HWND)> act;
    INT_PTR result;
  } cases[] = {
      {"Enter on a focused Retry", 2, {3, 4, 5},
       [](HWND box) {
         HWND retry = ::GetDlgItem(box, 4);
         ::SetFocus(retry);
         ::PostMessageW(retry, WM_KEYDOWN, VK_RETURN, 0);
       },
       4},
      {"Enter on the first button", 1, {1, 2}, [](HWND box) { ::PostMessageW(::GetFocus(), WM_KEYDOWN, VK_RETURN, 0); }, 1},
      {"Escape", 0, {1}, [](HWND box) { ::PostMessageW(::GetFocus(), WM_KEYDOWN, VK_ESCAPE, 0); }, 2},
      {"icon bits show only OK", 0x12, {1}, [](HWND box) { ::PostMessageW(::GetFocus(), WM_KEYDOWN, VK_ESCAPE, 0); }, 2},
      {"click No", 3, {6, 7, 2}, [](HWND box) { ::PostMessageW(::GetDlgItem(box, 7), BM_CLICK, 0, 0); }, 7},
      {"click Continue", 6, {2, 10, 11}, [](HWND box) { ::PostMessageW(::GetDlgItem(box, 11), BM_CLICK, 0, 0); }, 11},
      {"close button", 4, {6, 7},
       [](HWND box) {
         auto* self = static_cast<CThemeDialog*>(CWnd::FromHandlePermanent(box));
         const POINT p = ScreenCentre(box, self->FrameGeometry().close);
         MoveMouse(p.x, p.y);
         MouseInput(MOUSEEVENTF_LEFTDOWN);
         MouseInput(MOUSEEVENTF_LEFTUP);
       },
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CThemeMessageBox box(L"Error", L"Short text", c.type);
    std::vector<Step> steps;
    steps.push_back([&] {
      HWND w = FindBox();
      ASSERT_TRUE(w);
      ::SetForegroundWindow(w);
      wchar_t caption[32] = {};
      ::GetWindowTextW(w, caption, 32);
      EXPECT_STREQ(caption, L"Error");
      EXPECT_EQ(VisibleButtons(w), c.row);
      RECT ok, client;
      ::GetWindowRect(::GetDlgItem(w, 1), &ok);
      ::GetClientRect(w, &client);
      const int bw = ok.right - ok.left, n = static_cast<int>(c.row.size());
      EXPECT_EQ(client.right, std::max(150, n * bw + (n - 1) * 10) + 30) << "content width";
      // The row is centred.
      RECT first, last;
      ::GetWindowRect(::GetDlgItem(w, c.row.front()), &first);
      ::GetWindowRect(::GetDlgItem(w, c.row.back()), &last);
      POINT o{0, 0};
      ::ClientToScreen(w, &o);
      EXPECT_LE(std::abs((first.left - o.x) - (client.right - (last.right - o.x))), 1);
    });
    steps.push_back([&] { c.act(FindBox()); });
    boxSteps = &steps;
    boxNext = 0;
    boxWaits = 0;
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 150, &BoxTimer);
    EXPECT_EQ(box.DoModal(), c.result);
    ::KillTimer(nullptr, timer);
    boxSteps = nullptr;
  }
}

}  // namespace
