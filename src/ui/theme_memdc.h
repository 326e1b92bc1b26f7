// Windows only: the off-screen surface all themed painting goes through. It
// draws into a bitmap the size of the target rectangle and copies it to the
// target in one operation when it goes away, so nothing flickers.
#pragma once
#include "framework/gdi.h"

class CThemeMemDC : public CDC {
 public:
  // A memory context compatible with `target` over `rect` (target
  // coordinates). Drawing uses the target's coordinates: the context's
  // origin is moved so that `rect`'s top-left lands on the bitmap's (0, 0).
  // With `copyBack`, destruction copies the bitmap to `rect` on the target.
  CThemeMemDC(HDC target, const RECT& rect, bool copyBack = true);
  ~CThemeMemDC() override;
  CThemeMemDC(const CThemeMemDC&) = delete;
  CThemeMemDC& operator=(const CThemeMemDC&) = delete;

  // Draw in bitmap coordinates instead (origin (0, 0)) and copy from there.
  void UseBitmapCoordinates();
  // True when the context and bitmap were made.
  bool IsValid() const { return m_hDC != nullptr && bitmap_; }
  const RECT& TargetRect() const { return rect_; }

 private:
  HDC target_;
  RECT rect_;
  bool copyBack_;
  POINT sourceOrigin_;
  CBitmap bitmap_;
  HGDIOBJ oldBitmap_ = nullptr;
};
