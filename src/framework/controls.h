// Windows only: thin classes for the standard controls that dialogs bind by
// identifier (DDX_Control): push buttons, static texts and progress bars.
#pragma once
#include "framework/wnd.h"

#include <commctrl.h>

class CButton : public CWnd {
 public:
  // BST_CHECKED / BST_UNCHECKED, as the control answers BM_GETCHECK.
  int GetCheck() const { return static_cast<int>(SendMessage(BM_GETCHECK)); }
  void SetCheck(int state) { SendMessage(BM_SETCHECK, static_cast<WPARAM>(state)); }
  UINT GetButtonStyle() const { return GetStyle() & 0xFFFF; }
};

class CStatic : public CWnd {};

// A progress bar (comctl32). Calls may come from any thread: they are sent
// messages, handled by the thread that owns the control.
class CProgressCtrl : public CWnd {
 public:
  void SetRange(int lower, int upper) {
    SendMessage(PBM_SETRANGE32, static_cast<WPARAM>(lower), static_cast<LPARAM>(upper));
  }
  // The 16-bit range message, as older callers send it.
  void SetRange16(unsigned short lower, unsigned short upper) { SendMessage(PBM_SETRANGE, 0, MAKELPARAM(lower, upper)); }
  int SetPos(int pos) { return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(pos))); }
  int GetPos() const { return static_cast<int>(SendMessage(PBM_GETPOS)); }
};
