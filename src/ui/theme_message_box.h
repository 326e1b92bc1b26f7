// Windows only: the themed replacement for the platform's message box. It
// shows a caption, a text and the button row of a message-box type, sizes
// itself to the text, and its modal run returns the identifier of the
// button pressed (2 for the close box and the Escape key).
#pragma once
#include <string>

#include "framework/gdi.h"
#include "ui/theme_controls.h"
#include "ui/theme_dialog.h"

class CThemeMessageBox : public CThemeDialog {
 public:
  // `type`: a plain number 0-6 (any other value shows only OK); `parent`:
  // owner window or null.
  CThemeMessageBox(const std::wstring& caption, const std::wstring& text, unsigned type, CWnd* parent = nullptr);

  // The message's rectangle in client coordinates, set at initialisation.
  const Theme::Rect& TextRect() const { return textRect_; }

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  BOOL OnInitDialog() override;
  bool OnCommand(WPARAM wParam, LPARAM lParam) override;
  void OnPaint() override;

 private:
  static constexpr int kButtonIds[9] = {1, 2, 3, 4, 5, 6, 7, 10, 11};

  std::wstring caption_;
  std::wstring text_;
  unsigned type_;
  CThemeButton buttons_[9];
  Theme::Rect textRect_;
  CFont font_;
};
