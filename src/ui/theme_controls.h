// Windows only: the themed push button, check box and radio button, and the
// themed static text. Both attach to ordinary dialog controls (subclassing),
// switch them to owner drawing and paint them in the theme's dark scheme.
#pragma once
#include <string>

#include "framework/controls.h"
#include "framework/gdi.h"
#include "ui/theme_bitmap.h"
#include "ui/theme_geometry.h"
#include "ui/theme_store.h"

class CThemeButton : public CButton {
 public:
  // Loads the theme; attach with DDX_Control or SubclassDlgItem.
  CThemeButton();
  ~CThemeButton() override;

  // Copies the button block from the theme store; hover, kind, check and
  // alignment back to their defaults; the font made anew.
  void LoadTheme();

  const ButtonThemeBlock& ThemeBlock() const { return theme_; }
  Theme::ButtonKind Kind() const { return kind_; }
  bool IsHovered() const { return hover_; }
  // The check state kept by the button (BM_GETCHECK answers it too).
  int StoredCheck() const { return check_; }
  // The tool tip showing the button's text, or null.
  HWND ToolTip() const { return toolTip_; }

  void PreSubclassWindow() override;
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  void DrawItem(DRAWITEMSTRUCT* item) override;

 protected:
  void PostNcDestroy() override;

 private:
  void RelayToToolTip(UINT message, WPARAM wParam, LPARAM lParam);
  void UpdateToolTip();
  void UncheckGroup();
  void RedrawNow();

  ButtonThemeBlock theme_;
  CFont font_;
  HWND toolTip_ = nullptr;
  Theme::ButtonKind kind_ = Theme::ButtonKind::Push;
  bool hover_ = false;
  int check_ = 0;
  int alignment_ = 0;
};

class CThemeStatic : public CStatic {
 public:
  CThemeStatic();

  // Copies the static block from the theme store; drawing flags 0; any
  // image released.
  void LoadTheme();

  const StaticThemeBlock& ThemeBlock() const { return theme_; }
  // The text-drawing flags derived from the style when attached.
  UINT DrawFlags() const { return flags_; }
  // An image drawn (stretched) instead of the text.
  CThemeGdiplusBitmapResource& Image() { return image_; }

  void PreSubclassWindow() override;
  void DrawItem(DRAWITEMSTRUCT* item) override;

 protected:
  void PostNcDestroy() override;

 private:
  StaticThemeBlock theme_;
  CFont font_;
  UINT flags_ = 0;
  CThemeGdiplusBitmapResource image_;
};
