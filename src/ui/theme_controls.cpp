#include "ui/theme_controls.h"

#include <vector>

#include "ui/theme_memdc.h"

namespace {

Theme::Rect FromRECT(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }
RECT ToRECT(const Theme::Rect& r) { return {r.left, r.top, r.right, r.bottom}; }

const COLORREF kToolTipBackground = RGB(222, 222, 250);

}  // namespace

// ---- CThemeButton ----------------------------------------------------------

CThemeButton::CThemeButton() { LoadTheme(); }

CThemeButton::~CThemeButton() {
  if (toolTip_ && ::IsWindow(toolTip_)) ::DestroyWindow(toolTip_);
}

void CThemeButton::LoadTheme() {
  theme_ = GetThemeStore().button;
  hover_ = false;
  kind_ = Theme::ButtonKind::Push;
  check_ = 0;
  alignment_ = 0;
  font_.Reset(::CreateFontIndirectW(&theme_.font));
}

void CThemeButton::PostNcDestroy() {
  CButton::PostNcDestroy();
  // The tool tip is owned by the dialog and goes with it.
  if (toolTip_ && ::IsWindow(toolTip_)) ::DestroyWindow(toolTip_);
  toolTip_ = nullptr;
  LoadTheme();
}

void CThemeButton::PreSubclassWindow() {
  const DWORD style = GetStyle();
  kind_ = Theme::ButtonKindFromStyle(style);
  // Other buttons of a radio group read the kind from here.
  ::SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, static_cast<LONG_PTR>(kind_));
  if (kind_ != Theme::ButtonKind::Push) check_ = static_cast<int>(SendMessage(BM_GETCHECK));
  ::SetWindowLongPtrW(m_hWnd, GWL_STYLE, static_cast<LONG_PTR>((style & ~0xFu) | BS_OWNERDRAW));
  SetFont(font_, false);
  UpdateToolTip();
}

void CThemeButton::UpdateToolTip() {
  const std::wstring text = GetWindowText();
  if (text.empty()) return;
  if (!toolTip_) {
    toolTip_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, GetParent(), nullptr,
                                 ::GetModuleHandleW(nullptr), nullptr);
    if (!toolTip_) return;
    ::SendMessageW(toolTip_, TTM_SETDELAYTIME, TTDT_INITIAL, 100);
    ::SendMessageW(toolTip_, TTM_SETTIPBKCOLOR, kToolTipBackground, 0);
  }
  TOOLINFOW info{};
  info.cbSize = sizeof(info);
  info.uFlags = TTF_IDISHWND;
  info.hwnd = GetParent();
  info.uId = reinterpret_cast<UINT_PTR>(m_hWnd);
  info.lpszText = const_cast<wchar_t*>(text.c_str());
  if (::SendMessageW(toolTip_, TTM_GETTOOLCOUNT, 0, 0) > 0)
    ::SendMessageW(toolTip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&info));
  else
    ::SendMessageW(toolTip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));
}

void CThemeButton::RelayToToolTip(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!toolTip_) return;
  MSG msg{};
  msg.hwnd = m_hWnd;
  msg.message = message;
  msg.wParam = wParam;
  msg.lParam = lParam;
  ::SendMessageW(toolTip_, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
}

void CThemeButton::RedrawNow() { RedrawWindow(nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_NOERASE); }

void CThemeButton::UncheckGroup() {
  HWND parent = GetParent();
  if (!parent) return;
  std::vector<HWND> windows;
  std::vector<Theme::SiblingInfo> siblings;
  size_t self = 0;
  for (HWND w = ::GetWindow(parent, GW_CHILD); w; w = ::GetWindow(w, GW_HWNDNEXT)) {
    wchar_t cls[16] = {};
    ::GetClassNameW(w, cls, 16);
    Theme::SiblingInfo info;
    info.isButton = ::lstrcmpiW(cls, L"button") == 0;
    info.hasGroupStyle = (::GetWindowLongPtrW(w, GWL_STYLE) & WS_GROUP) != 0;
    info.id = ::GetDlgCtrlID(w);
    info.kind = info.isButton ? static_cast<int>(::GetWindowLongPtrW(w, GWLP_USERDATA)) : -1;
    if (w == m_hWnd) self = windows.size();
    windows.push_back(w);
    siblings.push_back(info);
  }
  for (size_t i : Theme::RadioGroupToUncheck(siblings, self)) {
    // Second parameter 1: the receiver does not walk the group itself.
    ::SendMessageW(windows[i], BM_SETCHECK, BST_UNCHECKED, 1);
  }
}

LRESULT CThemeButton::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ERASEBKGND:
      return 1;
    case WM_MOUSEMOVE: {
      RelayToToolTip(message, wParam, lParam);
      TRACKMOUSEEVENT tme{sizeof(tme), TME_LEAVE, m_hWnd, 10};
      ::TrackMouseEvent(&tme);
      const RECT client = GetClientRect();
      const POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
      const bool inside = ::PtInRect(&client, p) != FALSE;
      if (inside != hover_) {
        hover_ = inside;
        RedrawNow();
      }
      break;
    }
    case WM_MOUSELEAVE:
      hover_ = false;
      RedrawNow();
      break;
    case WM_LBUTTONDOWN:
      RelayToToolTip(message, wParam, lParam);
      ::SetCapture(m_hWnd);
      break;
    case WM_LBUTTONUP: {
      RelayToToolTip(message, wParam, lParam);
      // Releasing the capture first also clears the control's own pressed
      // state, so the parent gets exactly the one command sent below.
      if (::GetCapture() == m_hWnd) ::ReleaseCapture();
      const RECT client = GetClientRect();
      const POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
      if (::PtInRect(&client, p)) {
        if (kind_ == Theme::ButtonKind::AutoCheckBox)
          SendMessage(BM_SETCHECK, check_ ? BST_UNCHECKED : BST_CHECKED, 0);
        else if (kind_ == Theme::ButtonKind::AutoRadio)
          SendMessage(BM_SETCHECK, BST_CHECKED, 0);
        ::SendMessageW(GetParent(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(), BN_CLICKED),
                       reinterpret_cast<LPARAM>(m_hWnd));
      }
      break;
    }
    case WM_SETTEXT: {
      const LRESULT result = CButton::WindowProc(message, wParam, lParam);
      UpdateToolTip();
      return result;
    }
    case BM_GETCHECK:
      CButton::WindowProc(message, wParam, lParam);
      return check_;
    case BM_SETCHECK: {
      const LRESULT result = CButton::WindowProc(message, wParam, lParam);
      check_ = static_cast<int>(wParam);
      if (lParam == 0 && Theme::IsRadioKind(kind_) && check_) UncheckGroup();
      RedrawNow();
      return result;
    }
    default:
      break;
  }
  return CButton::WindowProc(message, wParam, lParam);
}

void CThemeButton::DrawItem(DRAWITEMSTRUCT* item) {
  const int state = Theme::ButtonStateIndex((item->itemState & ODS_DISABLED) != 0,
                                            (item->itemState & ODS_SELECTED) != 0, hover_);
  CThemeMemDC dc(item->hDC, item->rcItem);
  if (!dc.IsValid()) return;
  CSelectObject useFont(dc, font_);
  ::SetTextColor(dc, theme_.text[state]);
  ::SetBkColor(dc, theme_.background[state]);
  dc.FillSolidRect(item->rcItem, theme_.background[state]);

  const Theme::ButtonLayout layout =
      Theme::ComputeButtonLayout(kind_, FromRECT(item->rcItem), theme_.edgeWidth, theme_.textFormat);
  if (layout.hasEdges) {
    const int w = theme_.edgeWidth;
    CPen topLeft(::CreatePen(PS_SOLID, w, theme_.edgeTopLeft[state]));
    CPen bottomRight(::CreatePen(PS_SOLID, w, theme_.edgeBottomRight[state]));
    CSelectObject usePen(dc, topLeft);
    const auto& a = layout.topLeftEdge;
    ::MoveToEx(dc, a[0].x, a[0].y, nullptr);
    ::LineTo(dc, a[1].x, a[1].y);
    ::LineTo(dc, a[2].x, a[2].y);
    ::SelectObject(dc, bottomRight);
    const auto& b = layout.bottomRightEdge;
    ::LineTo(dc, b[1].x, b[1].y);
    ::LineTo(dc, b[2].x, b[2].y);
    ::SelectObject(dc, topLeft);
  } else if (kind_ != Theme::ButtonKind::Push) {
    RECT frame = ToRECT(layout.checkFrame);
    UINT how = Theme::IsCheckKind(kind_) ? DFCS_BUTTONCHECK : DFCS_BUTTONRADIO;
    if (check_) how |= DFCS_CHECKED;
    if (item->itemState & ODS_DISABLED) how |= DFCS_INACTIVE;
    // The frame glyph is square: centre it in the band.
    const int side = frame.right - frame.left;
    const int top = frame.top + ((frame.bottom - frame.top) - side) / 2;
    RECT square{frame.left, top, frame.right, top + side};
    ::DrawFrameControl(dc, &square, DFC_BUTTON, how);
  }
  ::SetBkMode(dc, TRANSPARENT);
  RECT text = ToRECT(layout.text);
  dc.DrawText(GetWindowText(), &text, layout.textFormat);
}

// ---- CThemeStatic ----------------------------------------------------------

CThemeStatic::CThemeStatic() { LoadTheme(); }

void CThemeStatic::LoadTheme() {
  theme_ = GetThemeStore().staticText;
  flags_ = 0;
  image_.Release();
  font_.Reset(::CreateFontIndirectW(&theme_.font));
}

void CThemeStatic::PostNcDestroy() {
  CStatic::PostNcDestroy();
  LoadTheme();
}

void CThemeStatic::PreSubclassWindow() {
  flags_ = Theme::StaticDrawFlags(GetStyle());
  const DWORD style = GetStyle();
  ::SetWindowLongPtrW(m_hWnd, GWL_STYLE, static_cast<LONG_PTR>((style & ~0x1Fu) | SS_OWNERDRAW));
  ModifyStyleEx(WS_EX_STATICEDGE, 0, SWP_FRAMECHANGED);
  SetWindowPos(nullptr, 0, 0, 0, 0, SWP_FRAMECHANGED | SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  CStatic::PreSubclassWindow();
}

void CThemeStatic::DrawItem(DRAWITEMSTRUCT* item) {
  CThemeMemDC dc(item->hDC, item->rcItem);
  if (!dc.IsValid()) return;
  if (image_.HasImage()) {
    image_.Draw(dc, item->rcItem);
    return;
  }
  CSelectObject useFont(dc, font_);
  const int b = theme_.borderWidth;
  if (b > 0) {
    const RECT r = ToRECT(Theme::StaticBorderRect(FromRECT(item->rcItem), b));
    CPen pen(::CreatePen(PS_SOLID, b, theme_.border));
    CBrush brush(::CreateSolidBrush(theme_.background));
    CSelectObject usePen(dc, pen);
    CSelectObject useBrush(dc, brush);
    ::Rectangle(dc, r.left, r.top, r.right, r.bottom);
  } else {
    dc.FillSolidRect(item->rcItem, theme_.background);
  }
  ::SetTextColor(dc, theme_.text);
  ::SetBkColor(dc, theme_.background);
  const std::wstring text = GetWindowText();
  SIZE extent{};
  ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  const int lineHeight = extent.cy;
  const std::vector<std::wstring> lines = Theme::SplitStaticLines(text);
  int y = Theme::StaticTextTop(FromRECT(item->rcItem), flags_, static_cast<int>(lines.size()), lineHeight);
  for (const std::wstring& line : lines) {
    RECT band{item->rcItem.left, y, item->rcItem.right, y + lineHeight};
    dc.DrawText(line, &band, flags_);
    y += lineHeight;
  }
}
