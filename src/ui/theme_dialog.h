// Windows only: the themed dialog, base of every dialog of the updater. It
// keeps the platform's dialog behaviour (template, controls, modal run) and
// paints its own dark frame, caption, caption buttons and flat background.
#pragma once
#include "framework/dialog.h"
#include "ui/theme_geometry.h"
#include "ui/theme_store.h"

class CThemeDialog : public CDialog {
 public:
  // Builds the dialog for template `templateId` and loads the theme.
  explicit CThemeDialog(UINT templateId, CWnd* parent = nullptr);

  // Copies the dialog block from the theme store (creating the store on
  // first use), sets the client-border flag and all caption button states
  // to normal.
  void LoadTheme();

  // Tells the application's main window (message 0x118), then runs the
  // dialog modally like the base.
  INT_PTR DoModal() override;
  BOOL OnInitDialog() override;
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

  const DialogThemeBlock& ThemeBlock() const { return theme_; }
  // Frame geometry in window coordinates, as of the last size change.
  const Theme::FrameLayout& FrameGeometry() const { return layout_; }
  Theme::CaptionButtonStates CaptionStates() const { return states_; }

 protected:
  void PostNcDestroy() override;
  // WM_PAINT: the client paint. Derived dialogs that draw more call
  // PaintClient on the paint context first.
  virtual void OnPaint();
  // Fills the client area (children left out) and draws the client border.
  void PaintClient(HDC dc);
  // Paints the frame: outline, caption, icon, text and caption buttons.
  void PaintFrame();
  // Recomputes the frame geometry for a window of `width` × `height` (both 0:
  // from the current window) and sets the window's region.
  void RecalcLayout(int width, int height);

  DialogThemeBlock theme_;
  bool drawClientBorder_ = true;

 private:
  void DrawGlyph(HDC dc, Theme::GlyphKind kind, const Theme::Rect& rect, int state);
  // Paints one caption button alone and records its state.
  void PaintCaptionButton(int state, Theme::GlyphKind kind);
  void ApplyStates(const Theme::CaptionButtonStates& next);
  Theme::GlyphKind MaximizeKind() const;
  LRESULT OnNcHitTest(LPARAM lParam);

  Theme::FrameLayout layout_;
  Theme::CaptionButtonStates states_;
  bool trackingLeave_ = false;
};
