// Windows only: the window class of the framework. A CWnd is attached to one
// window handle and receives that window's messages through the virtual
// WindowProc; dialog controls are attached by subclassing, so that their
// messages and the parent's owner-draw notifications reach C++ objects.
#pragma once
#include <string>

#include "platform/windows_api.h"

class CWnd {
 public:
  CWnd() = default;
  virtual ~CWnd();
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  // The attached window, or null.
  HWND GetSafeHwnd() const { return m_hWnd; }
  operator HWND() const { return m_hWnd; }
  // True when a window is attached and still exists.
  bool IsWindow() const { return m_hWnd != nullptr && ::IsWindow(m_hWnd) != FALSE; }

  // The object attached to `hwnd` (by this framework), or null.
  static CWnd* FromHandlePermanent(HWND hwnd);

  // Attaches this object to an existing window and routes the window's
  // messages through WindowProc. PreSubclassWindow runs first. False when a
  // window is already attached, `hwnd` is not a window or already belongs to
  // another object.
  bool SubclassWindow(HWND hwnd);
  // Attaches to the child `id` of `parent`. False when there is no such child.
  bool SubclassDlgItem(int id, CWnd* parent);
  // Gives the window its previous window procedure back and detaches; the
  // handle, or null when none was attached.
  HWND UnsubclassWindow();

  // ---- Hooks -------------------------------------------------------------
  // Called once the window is known and before its procedure is replaced.
  virtual void PreSubclassWindow() {}
  // Every message of the window. Overrides handle what they want and pass
  // the rest to the base class; CWnd's version dispatches commands, owner
  // draw reflection, WM_CLOSE and WM_DESTROY, then calls DefWindowProc.
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // Called after WM_NCDESTROY has been handled and the object detached.
  virtual void PostNcDestroy() {}
  // WM_COMMAND. Returns true when handled.
  virtual bool OnCommand(WPARAM wParam, LPARAM lParam) { return false; }
  // A notification the parent reflected back to this control (WM_DRAWITEM).
  // Returns true when handled, with the answer in *result.
  virtual bool OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
  // Owner drawing of this control, reflected from the parent's WM_DRAWITEM.
  virtual void DrawItem(DRAWITEMSTRUCT* item) {}
  // WM_CLOSE and WM_DESTROY; the defaults call Default().
  virtual void OnClose();
  virtual void OnDestroy();

  // The previous window procedure (or the system's default one) for any
  // message, and for the message being handled right now.
  LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Default();

  // ---- Thin wrappers over the window API ---------------------------------
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return ::SendMessageW(m_hWnd, message, wParam, lParam);
  }
  bool PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return ::PostMessageW(m_hWnd, message, wParam, lParam) != FALSE;
  }
  void SetWindowText(const std::wstring& text) { ::SetWindowTextW(m_hWnd, text.c_str()); }
  std::wstring GetWindowText() const;
  bool EnableWindow(bool enable = true) { return ::EnableWindow(m_hWnd, enable ? TRUE : FALSE) != FALSE; }
  bool IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd) != FALSE; }
  bool ShowWindow(int cmd) { return ::ShowWindow(m_hWnd, cmd) != FALSE; }
  bool IsWindowVisible() const { return ::IsWindowVisible(m_hWnd) != FALSE; }
  HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
  int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
  HWND GetParent() const { return ::GetParent(m_hWnd); }
  DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_STYLE)); }
  DWORD GetExStyle() const { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE)); }
  // Removes then adds style bits; with `swpFlags` non-zero, SetWindowPos
  // follows with those flags (plus no move, size, z-order or activation).
  bool ModifyStyle(DWORD remove, DWORD add, UINT swpFlags = 0);
  bool ModifyStyleEx(DWORD remove, DWORD add, UINT swpFlags = 0);
  RECT GetClientRect() const;
  RECT GetWindowRect() const;  // screen coordinates
  bool SetWindowPos(HWND after, int x, int y, int cx, int cy, UINT flags) {
    return ::SetWindowPos(m_hWnd, after, x, y, cx, cy, flags) != FALSE;
  }
  bool MoveWindow(int x, int y, int cx, int cy, bool repaint = true) {
    return ::MoveWindow(m_hWnd, x, y, cx, cy, repaint ? TRUE : FALSE) != FALSE;
  }
  void Invalidate(bool erase = true) { ::InvalidateRect(m_hWnd, nullptr, erase ? TRUE : FALSE); }
  bool RedrawWindow(const RECT* rect, HRGN region, UINT flags) {
    return ::RedrawWindow(m_hWnd, rect, region, flags) != FALSE;
  }
  void SetFont(HFONT font, bool redraw = true) {
    SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font), redraw ? 1 : 0);
  }
  HFONT GetFont() const { return reinterpret_cast<HFONT>(SendMessage(WM_GETFONT)); }
  bool SetForegroundWindow() { return ::SetForegroundWindow(m_hWnd) != FALSE; }

 protected:
  HWND m_hWnd = nullptr;

 private:
  friend class CDialog;
  struct CurrentMessage {
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
  };
  static LRESULT CALLBACK StaticWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  // Binds the object to `hwnd` and installs StaticWindowProc.
  bool Attach(HWND hwnd);
  void Detach();

  WNDPROC oldProc_ = nullptr;
  CurrentMessage current_;
};
