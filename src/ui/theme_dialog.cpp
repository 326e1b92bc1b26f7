#include "ui/theme_dialog.h"

#include "framework/gdi.h"
#include "framework/win_app.h"
#include "ui/theme_memdc.h"

namespace {

RECT ToRECT(const Theme::Rect& r) { return {r.left, r.top, r.right, r.bottom}; }
Theme::Rect FromRECT(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }

// Draws `r` with a solid pen of `width` in `penColour`, filled with
// `fillColour` (or hollow when `fill` is false).
void DrawRect(HDC dc, const Theme::Rect& r, int width, COLORREF penColour, bool fill, COLORREF fillColour) {
  CPen pen(::CreatePen(PS_SOLID, width, penColour));
  CBrush brush(fill ? ::CreateSolidBrush(fillColour) : nullptr);
  CSelectObject usePen(dc, pen);
  CSelectObject useBrush(dc, fill ? static_cast<HGDIOBJ>(brush.Get()) : ::GetStockObject(NULL_BRUSH));
  ::Rectangle(dc, r.left, r.top, r.right, r.bottom);
}

const UINT kMainWindowNotice = 0x118;
// The platform's themed caption drawing messages, suppressed.
const UINT kThemedCaptionA = 0xAE;
const UINT kThemedCaptionB = 0xAF;

}  // namespace

CThemeDialog::CThemeDialog(UINT templateId, CWnd* parent) : CDialog(templateId, parent) { LoadTheme(); }

void CThemeDialog::LoadTheme() {
  theme_ = GetThemeStore().dialog;
  drawClientBorder_ = true;
  states_ = {};
}

void CThemeDialog::PostNcDestroy() {
  CDialog::PostNcDestroy();
  LoadTheme();
  layout_ = {};
  trackingLeave_ = false;
}

INT_PTR CThemeDialog::DoModal() {
  if (CWinApp* app = GetApp()) {
    if (app->mainWindow && app->mainWindow->IsWindow()) app->mainWindow->PostMessage(kMainWindowNotice, 0, 0);
  }
  return CDialog::DoModal();
}

BOOL CThemeDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  // Geometry from the window as it now is, in case no size change came yet.
  RecalcLayout(0, 0);
  return TRUE;
}

void CThemeDialog::RecalcLayout(int width, int height) {
  const DWORD style = GetStyle(), exStyle = GetExStyle();
  Theme::Rect window, client;
  if (width != 0 || height != 0) {
    window = {0, 0, width, height};
    RECT a = ToRECT(window);
    ::AdjustWindowRectEx(&a, style, FALSE, exStyle);
    client = Theme::ClientFromAdjusted(window, FromRECT(a));
  } else {
    RECT c = CWnd::GetClientRect();
    RECT a = c;
    ::AdjustWindowRectEx(&a, style, FALSE, exStyle);
    client = FromRECT(c).Offset(-a.left, -a.top);
    window = FromRECT(a).Offset(-a.left, -a.top);
  }
  Theme::FrameMetrics metrics;
  metrics.hasCaption = (style & WS_CAPTION) != 0;
  metrics.hasSmallIcon = SendMessage(WM_GETICON, ICON_SMALL) != 0;
  metrics.smallIconWidth = ::GetSystemMetrics(SM_CXSMICON);
  metrics.smallIconHeight = ::GetSystemMetrics(SM_CYSMICON);
  metrics.dialogFrameWidth = ::GetSystemMetrics(SM_CXDLGFRAME);
  layout_ = Theme::ComputeFrameLayout(window, client, metrics);
  // Square corners. A region change is a frame change without size or
  // activation, so it does not come back here.
  ::SetWindowRgn(m_hWnd, ::CreateRectRgn(window.left, window.top, window.right, window.bottom), TRUE);
}

Theme::GlyphKind CThemeDialog::MaximizeKind() const {
  return (GetStyle() & WS_MAXIMIZE) ? Theme::GlyphKind::Restore : Theme::GlyphKind::Maximize;
}

void CThemeDialog::DrawGlyph(HDC dc, Theme::GlyphKind kind, const Theme::Rect& rect, int state) {
  if (state < 0 || state > 3) state = 0;
  const COLORREF glyph = theme_.captionButtonGlyph[state];
  const COLORREF back = theme_.captionButtonBackground[state];
  const Theme::CaptionGlyph g = Theme::ComputeCaptionGlyph(kind, rect);
  DrawRect(dc, g.outline, 1, glyph, true, back);
  for (const Theme::Rect& box : g.boxes) DrawRect(dc, box, 2, glyph, false, 0);
  if (!g.lines.empty()) {
    CPen pen(::CreatePen(PS_SOLID, 1, glyph));
    CSelectObject usePen(dc, pen);
    for (const Theme::Line& line : g.lines) {
      ::MoveToEx(dc, line.from.x, line.from.y, nullptr);
      ::LineTo(dc, line.to.x, line.to.y);
    }
  }
}

void CThemeDialog::PaintCaptionButton(int state, Theme::GlyphKind kind) {
  const Theme::Rect& rect = kind == Theme::GlyphKind::Minimize  ? layout_.minimize
                            : kind == Theme::GlyphKind::Close ? layout_.close
                                                              : layout_.maximize;
  switch (kind) {
    case Theme::GlyphKind::Minimize:
      states_.minimize = state;
      break;
    case Theme::GlyphKind::Close:
      states_.close = state;
      break;
    default:
      states_.maximize = state;
      break;
  }
  if (rect.IsEmpty()) return;
  CWindowDC dc(m_hWnd);
  if (!dc.GetSafeHdc()) return;
  CRgn clip(::CreateRectRgn(rect.left, rect.top, rect.right, rect.bottom));
  ::SelectClipRgn(dc, clip);
  {
    CThemeMemDC mem(dc, ToRECT(rect));
    mem.UseBitmapCoordinates();
    if (mem.IsValid()) DrawGlyph(mem, kind, rect.Offset(-rect.left, -rect.top), state);
  }
  ::SelectClipRgn(dc, nullptr);
}

void CThemeDialog::ApplyStates(const Theme::CaptionButtonStates& next) {
  const DWORD style = GetStyle();
  const bool boxes = (style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX)) != 0;
  // Only a button whose state changes is repainted.
  if (next.minimize != states_.minimize) {
    if (boxes) PaintCaptionButton(next.minimize, Theme::GlyphKind::Minimize);
    states_.minimize = next.minimize;
  }
  if (next.maximize != states_.maximize) {
    if (boxes) PaintCaptionButton(next.maximize, MaximizeKind());
    states_.maximize = next.maximize;
  }
  if (next.close != states_.close) {
    if (style & WS_SYSMENU) PaintCaptionButton(next.close, Theme::GlyphKind::Close);
    states_.close = next.close;
  }
}

void CThemeDialog::PaintFrame() {
  if (layout_.window.IsEmpty()) return;
  CWindowDC dc(m_hWnd);
  if (!dc.GetSafeHdc()) return;
  const DWORD style = GetStyle();
  const Theme::Rect& w = layout_.window;
  const Theme::Rect& c = layout_.client;
  CRgn clip(::CreateRectRgn(w.left, w.top, w.right, w.bottom));
  CRgn inner(::CreateRectRgn(c.left, c.top, c.right, c.bottom));
  ::CombineRgn(clip, clip, inner, RGN_DIFF);
  ::SelectClipRgn(dc, clip);
  {
    CThemeMemDC mem(dc, ToRECT(w));
    if (mem.IsValid()) {
      DrawRect(mem, w, theme_.borderWidth, theme_.frameOutline, true, theme_.frameFill);
      if (style & WS_CAPTION) {
        if (!layout_.icon.IsEmpty()) {
          if (auto icon = reinterpret_cast<HICON>(SendMessage(WM_GETICON, ICON_SMALL))) {
            ::DrawIconEx(mem, layout_.icon.left, layout_.icon.top, icon, layout_.icon.Width(), layout_.icon.Height(),
                         0, nullptr, DI_NORMAL);
          }
        }
        CFont font(::CreateFontIndirectW(&theme_.captionFont));
        CSelectObject useFont(mem, font);
        ::SetTextColor(mem, theme_.captionText);
        ::SetBkMode(mem, TRANSPARENT);
        RECT text = ToRECT(layout_.captionText);
        mem.DrawText(GetWindowText(), &text, DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS);
        if (style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX)) {
          DrawGlyph(mem, Theme::GlyphKind::Minimize, layout_.minimize, states_.minimize);
          DrawGlyph(mem, MaximizeKind(), layout_.maximize, states_.maximize);
        }
        if (style & WS_SYSMENU) DrawGlyph(mem, Theme::GlyphKind::Close, layout_.close, states_.close);
      }
    }
  }
  ::SelectClipRgn(dc, nullptr);
}

void CThemeDialog::PaintClient(HDC dc) {
  RECT client = CWnd::GetClientRect();
  CRgn clip(::CreateRectRgnIndirect(&client));
  // Children keep their own painting: nothing is drawn under them.
  for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    if (!::IsWindowVisible(child)) continue;
    RECT r;
    ::GetWindowRect(child, &r);
    ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&r), 2);
    RECT overlap;
    if (!::IntersectRect(&overlap, &r, &client)) continue;
    CRgn childRgn(::CreateRectRgnIndirect(&r));
    ::CombineRgn(clip, clip, childRgn, RGN_DIFF);
  }
  ::SelectClipRgn(dc, clip);
  {
    CThemeMemDC mem(dc, client);
    if (mem.IsValid()) {
      mem.FillSolidRect(client, theme_.clientBackground);
      const int bw = theme_.borderWidth;
      if (drawClientBorder_ && !(GetStyle() & WS_CAPTION) && bw > 0) {
        const Theme::Rect b = Theme::ClientBorderRect(FromRECT(client), bw);
        const POINT pts[5] = {{b.left, b.top}, {b.right, b.top}, {b.right, b.bottom}, {b.left, b.bottom},
                              {b.left, b.top}};
        CPen pen(::CreatePen(PS_SOLID, bw, theme_.clientBorder));
        CSelectObject usePen(mem, pen);
        ::Polyline(mem, pts, 5);
      }
    }
  }
  ::SelectClipRgn(dc, nullptr);
}

void CThemeDialog::OnPaint() {
  CPaintDC dc(m_hWnd);
  PaintClient(dc);
}

LRESULT CThemeDialog::OnNcHitTest(LPARAM lParam) {
  PaintFrame();
  const LRESULT platform = Default();
  POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
  ::ScreenToClient(m_hWnd, &p);
  const Theme::Point wp = Theme::ClientToWindowPoint({p.x, p.y}, layout_);
  return Theme::FrameHitTest(static_cast<int>(platform), GetStyle(), wp, layout_);
}

LRESULT CThemeDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ERASEBKGND:
      return 1;  // the paint covers everything
    case WM_PAINT:
      OnPaint();
      return 0;
    case WM_NCPAINT:
      PaintFrame();
      return 0;
    case WM_NCACTIVATE:
      return TRUE;
    case kThemedCaptionA:
    case kThemedCaptionB:
      return 1;
    case WM_NCHITTEST:
      return OnNcHitTest(lParam);
    case WM_NCMOUSEMOVE: {
      if (!trackingLeave_) {
        TRACKMOUSEEVENT tme{sizeof(tme), TME_LEAVE | TME_NONCLIENT, m_hWnd, 10};
        trackingLeave_ = ::TrackMouseEvent(&tme) != FALSE;
      }
      const bool down = (::GetKeyState(VK_LBUTTON) & 0x8000) != 0;
      ApplyStates(Theme::StatesAfterMouseMove(static_cast<int>(wParam), GetStyle(), down, states_));
      break;
    }
    case WM_NCMOUSELEAVE:
      // Leaving the frame (into the client area or away) clears hover and
      // pressed looks, which would otherwise stay lit.
      trackingLeave_ = false;
      ApplyStates({});
      break;
    case WM_NCLBUTTONDOWN:
      if (wParam == HTMINBUTTON || wParam == HTMAXBUTTON || wParam == HTCLOSE) {
        TRACKMOUSEEVENT tme{sizeof(tme), TME_LEAVE | TME_NONCLIENT, m_hWnd, 10};
        trackingLeave_ = ::TrackMouseEvent(&tme) != FALSE;
        if (wParam == HTMINBUTTON && (GetStyle() & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX)))
          PaintCaptionButton(2, Theme::GlyphKind::Minimize);
        else if (wParam == HTMAXBUTTON && (GetStyle() & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX)))
          PaintCaptionButton(2, MaximizeKind());
        else if (wParam == HTCLOSE)
          PaintCaptionButton(2, Theme::GlyphKind::Close);
        return 0;
      }
      break;
    case WM_NCLBUTTONUP:
      if (wParam == HTMINBUTTON) {
        states_.minimize = 0;
        SendMessage(WM_SYSCOMMAND, SC_MINIMIZE);
        return 0;
      }
      if (wParam == HTMAXBUTTON) {
        states_.maximize = 0;
        SendMessage(WM_SYSCOMMAND, (GetStyle() & WS_MAXIMIZE) ? SC_RESTORE : SC_MAXIMIZE);
        return 0;
      }
      if (wParam == HTCLOSE) {
        SendMessage(WM_SYSCOMMAND, SC_CLOSE);
        return 0;
      }
      break;
    case WM_WINDOWPOSCHANGED: {
      const auto* pos = reinterpret_cast<const WINDOWPOS*>(lParam);
      const bool unchanged = (pos->flags & SWP_NOSIZE) && (pos->flags & SWP_NOACTIVATE) && !(pos->flags & SWP_SHOWWINDOW);
      if (!unchanged) RecalcLayout(pos->cx, pos->cy);
      break;
    }
    case WM_SETTEXT: {
      const BOOL locked = ::LockWindowUpdate(m_hWnd);
      const LRESULT result = CDialog::WindowProc(message, wParam, lParam);
      if (locked) ::LockWindowUpdate(nullptr);
      PaintFrame();
      RedrawWindow(nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_NOERASE);
      return result;
    }
    default:
      break;
  }
  return CDialog::WindowProc(message, wParam, lParam);
}
