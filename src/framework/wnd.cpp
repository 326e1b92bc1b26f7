#include "framework/wnd.h"

#include <vector>

namespace {
// The window property that links a window to its CWnd.
const wchar_t kObjectProperty[] = L"Vireo.CWnd";
}  // namespace

CWnd::~CWnd() {
  // An object that dies before its window gives the window back.
  if (m_hWnd) UnsubclassWindow();
}

CWnd* CWnd::FromHandlePermanent(HWND hwnd) {
  if (!hwnd) return nullptr;
  return static_cast<CWnd*>(::GetPropW(hwnd, kObjectProperty));
}

bool CWnd::Attach(HWND hwnd) {
  if (m_hWnd || !hwnd || !::IsWindow(hwnd) || FromHandlePermanent(hwnd)) return false;
  if (!::SetPropW(hwnd, kObjectProperty, this)) return false;
  m_hWnd = hwnd;
  oldProc_ = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::StaticWindowProc)));
  return true;
}

void CWnd::Detach() {
  if (!m_hWnd) return;
  if (oldProc_ &&
      reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(m_hWnd, GWLP_WNDPROC)) == &CWnd::StaticWindowProc) {
    ::SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(oldProc_));
  }
  ::RemovePropW(m_hWnd, kObjectProperty);
  m_hWnd = nullptr;
  oldProc_ = nullptr;
}

bool CWnd::SubclassWindow(HWND hwnd) {
  if (m_hWnd || !hwnd || !::IsWindow(hwnd) || FromHandlePermanent(hwnd)) return false;
  // The hook sees the window before its messages come here.
  m_hWnd = hwnd;
  PreSubclassWindow();
  m_hWnd = nullptr;
  return Attach(hwnd);
}

bool CWnd::SubclassDlgItem(int id, CWnd* parent) {
  if (!parent || !parent->m_hWnd) return false;
  HWND child = ::GetDlgItem(parent->m_hWnd, id);
  return child && SubclassWindow(child);
}

HWND CWnd::UnsubclassWindow() {
  HWND hwnd = m_hWnd;
  Detach();
  return hwnd;
}

std::wstring CWnd::GetWindowText() const {
  const int n = ::GetWindowTextLengthW(m_hWnd);
  if (n <= 0) return {};
  std::vector<wchar_t> buf(static_cast<size_t>(n) + 1);
  const int got = ::GetWindowTextW(m_hWnd, buf.data(), n + 1);
  return std::wstring(buf.data(), got > 0 ? static_cast<size_t>(got) : 0);
}

bool CWnd::ModifyStyle(DWORD remove, DWORD add, UINT swpFlags) {
  const DWORD old = GetStyle();
  const DWORD now = (old & ~remove) | add;
  if (now == old) return false;
  ::SetWindowLongPtrW(m_hWnd, GWL_STYLE, static_cast<LONG_PTR>(now));
  if (swpFlags)
    SetWindowPos(nullptr, 0, 0, 0, 0, swpFlags | SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  return true;
}

bool CWnd::ModifyStyleEx(DWORD remove, DWORD add, UINT swpFlags) {
  const DWORD old = GetExStyle();
  const DWORD now = (old & ~remove) | add;
  if (now == old) return false;
  ::SetWindowLongPtrW(m_hWnd, GWL_EXSTYLE, static_cast<LONG_PTR>(now));
  if (swpFlags)
    SetWindowPos(nullptr, 0, 0, 0, 0, swpFlags | SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  return true;
}

RECT CWnd::GetClientRect() const {
  RECT r{};
  ::GetClientRect(m_hWnd, &r);
  return r;
}

RECT CWnd::GetWindowRect() const {
  RECT r{};
  ::GetWindowRect(m_hWnd, &r);
  return r;
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (oldProc_) return ::CallWindowProcW(oldProc_, m_hWnd, message, wParam, lParam);
  return ::DefWindowProcW(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::Default() { return DefWindowProc(current_.message, current_.wParam, current_.lParam); }

void CWnd::OnClose() { Default(); }
void CWnd::OnDestroy() { Default(); }

bool CWnd::OnChildNotify(UINT message, WPARAM, LPARAM lParam, LRESULT* result) {
  if (message == WM_DRAWITEM) {
    DrawItem(reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
    *result = TRUE;
    return true;
  }
  return false;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (OnCommand(wParam, lParam)) return 0;
      break;
    case WM_DRAWITEM: {
      // Owner drawing belongs to the control: reflect it when the control
      // has an object of its own (menus have no window and stay here).
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (item && item->CtlType != ODT_MENU) {
        if (CWnd* child = FromHandlePermanent(item->hwndItem)) {
          LRESULT result = 0;
          if (child->OnChildNotify(message, wParam, lParam, &result)) return result;
        }
      }
      break;
    }
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_DESTROY:
      OnDestroy();
      return 0;
    default:
      break;
  }
  return DefWindowProc(message, wParam, lParam);
}

LRESULT CALLBACK CWnd::StaticWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CWnd* wnd = FromHandlePermanent(hwnd);
  if (!wnd) return ::DefWindowProcW(hwnd, message, wParam, lParam);
  const CurrentMessage saved = wnd->current_;
  wnd->current_ = {message, wParam, lParam};
  const LRESULT result = wnd->WindowProc(message, wParam, lParam);
  wnd->current_ = saved;
  if (message == WM_NCDESTROY) {
    wnd->Detach();
    wnd->PostNcDestroy();
  }
  return result;
}
