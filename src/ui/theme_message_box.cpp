#include "ui/theme_message_box.h"

#include "ui/theme_memdc.h"
#include "ui_resource.h"

namespace {

// Centres `wnd` over its owner, or on the work area of its monitor.
void CentreWindow(HWND wnd) {
  RECT r;
  ::GetWindowRect(wnd, &r);
  RECT area{};
  HWND owner = ::GetWindow(wnd, GW_OWNER);
  if (owner && ::IsWindowVisible(owner) && !::IsIconic(owner)) {
    ::GetWindowRect(owner, &area);
  } else {
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (::GetMonitorInfoW(::MonitorFromWindow(wnd, MONITOR_DEFAULTTOPRIMARY), &info))
      area = info.rcWork;
    else
      ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  }
  const int w = r.right - r.left, h = r.bottom - r.top;
  const int x = area.left + ((area.right - area.left) - w) / 2;
  const int y = area.top + ((area.bottom - area.top) - h) / 2;
  ::SetWindowPos(wnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

CThemeMessageBox::CThemeMessageBox(const std::wstring& caption, const std::wstring& text, unsigned type,
                                   CWnd* parent)
    : CThemeDialog(IDD_THEME_MESSAGEBOX, parent), caption_(caption), text_(text), type_(type) {}

void CThemeMessageBox::DoDataExchange(CDataExchange* dx) {
  CThemeDialog::DoDataExchange(dx);
  for (int i = 0; i < 9; ++i) DDX_Control(dx, kButtonIds[i], buttons_[i]);
}

BOOL CThemeMessageBox::OnInitDialog() {
  CThemeDialog::OnInitDialog();
  SetWindowText(caption_);

  font_.Reset(::CreateFontIndirectW(&theme_.captionFont));
  RECT r = CWnd::GetClientRect();
  {
    CClientDC dc(m_hWnd);
    CSelectObject useFont(dc, font_);
    // Compute only, centred; lines break only where the text breaks them.
    dc.DrawText(text_, &r, DT_CALCRECT | DT_CENTER | DT_VCENTER);
  }

  RECT ok{};
  ::GetWindowRect(GetDlgItem(1), &ok);
  const int w = ok.right - ok.left, h = ok.bottom - ok.top;
  const Theme::MessageBoxLayout layout =
      Theme::ComputeMessageBoxLayout({r.left, r.top, r.right, r.bottom}, w, h, type_);
  textRect_ = layout.text;

  const std::vector<int> row = Theme::MessageBoxButtons(type_);
  HWND previous = HWND_TOP;
  for (size_t i = 0; i < row.size(); ++i) {
    HWND button = GetDlgItem(row[i]);
    const Theme::Rect& place = layout.buttons[i];
    // Tab order follows the row: each button after the previous one.
    ::SetWindowPos(button, previous, place.left, place.top, w, h, SWP_NOACTIVATE | SWP_SHOWWINDOW);
    previous = button;
  }
  if (row.front() != 1) ::SetWindowPos(GetDlgItem(1), previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

  RECT frame{layout.clientNeeded.left, layout.clientNeeded.top, layout.clientNeeded.right,
             layout.clientNeeded.bottom};
  ::AdjustWindowRectEx(&frame, GetStyle(), FALSE, GetExStyle());
  SetWindowPos(nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  CentreWindow(m_hWnd);
  // The buttons were hidden when the dialog manager chose a focus: give it
  // to the first button of the row.
  ::SetFocus(GetDlgItem(row.front()));
  return FALSE;
}

void CThemeMessageBox::OnPaint() {
  CPaintDC dc(m_hWnd);
  PaintClient(dc);
  CSelectObject useFont(dc, font_);
  ::SetTextColor(dc, theme_.captionText);
  ::SetBkMode(dc, TRANSPARENT);
  RECT r{textRect_.left, textRect_.top, textRect_.right, textRect_.bottom};
  dc.DrawText(text_, &r, DT_CENTER | DT_VCENTER);
}

bool CThemeMessageBox::OnCommand(WPARAM wParam, LPARAM lParam) {
  if (HIWORD(wParam) != 0) return CThemeDialog::OnCommand(wParam, lParam);
  int id = LOWORD(wParam);
  if (id == IDOK) {
    // Enter presses the default; the answer is the button that has the focus.
    HWND focus = ::GetFocus();
    if (focus && ::IsChild(m_hWnd, focus)) id = ::GetDlgCtrlID(focus);
  }
  switch (id) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 10: case 11:
      EndDialog(id);
      return true;
    default:
      return CThemeDialog::OnCommand(wParam, lParam);
  }
}
