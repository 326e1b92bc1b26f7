#include "ui/theme_memdc.h"

CThemeMemDC::CThemeMemDC(HDC target, const RECT& rect, bool copyBack)
    : target_(target), rect_(rect), copyBack_(copyBack), sourceOrigin_{rect.left, rect.top} {
  m_hDC = ::CreateCompatibleDC(target);
  const int w = rect.right - rect.left, h = rect.bottom - rect.top;
  if (!m_hDC || w <= 0 || h <= 0) return;
  bitmap_.Reset(::CreateCompatibleBitmap(target, w, h));
  if (!bitmap_) return;
  oldBitmap_ = ::SelectObject(m_hDC, bitmap_);
  ::SetWindowOrgEx(m_hDC, rect.left, rect.top, nullptr);
}

void CThemeMemDC::UseBitmapCoordinates() {
  if (m_hDC) ::SetWindowOrgEx(m_hDC, 0, 0, nullptr);
  sourceOrigin_ = {0, 0};
}

CThemeMemDC::~CThemeMemDC() {
  if (!m_hDC) return;
  if (bitmap_ && copyBack_) {
    ::BitBlt(target_, rect_.left, rect_.top, rect_.right - rect_.left, rect_.bottom - rect_.top, m_hDC,
             sourceOrigin_.x, sourceOrigin_.y, SRCCOPY);
  }
  if (oldBitmap_) ::SelectObject(m_hDC, oldBitmap_);
  ::DeleteDC(m_hDC);
  m_hDC = nullptr;
  // The bitmap is deleted by its owner after it has left the context.
}
