// Windows only: device contexts and owners of GDI objects (pens, brushes,
// fonts, bitmaps, regions), so that no drawing path leaks a handle.
#pragma once
#include <string>
#include <utility>

#include "platform/windows_api.h"

// Owns one GDI object and deletes it (DeleteObject) on destruction.
template <typename H>
class CGdiHandle {
 public:
  CGdiHandle() = default;
  explicit CGdiHandle(H h) : h_(h) {}
  ~CGdiHandle() { Reset(); }
  CGdiHandle(CGdiHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  CGdiHandle& operator=(CGdiHandle&& o) noexcept {
    if (this != &o) Reset(std::exchange(o.h_, nullptr));
    return *this;
  }
  CGdiHandle(const CGdiHandle&) = delete;
  CGdiHandle& operator=(const CGdiHandle&) = delete;

  H Get() const { return h_; }
  operator H() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }
  void Reset(H h = nullptr) {
    if (h_) ::DeleteObject(h_);
    h_ = h;
  }

 private:
  H h_ = nullptr;
};

using CPen = CGdiHandle<HPEN>;
using CBrush = CGdiHandle<HBRUSH>;
using CFont = CGdiHandle<HFONT>;
using CBitmap = CGdiHandle<HBITMAP>;
using CRgn = CGdiHandle<HRGN>;

// Selects an object into a device context for the scope, then puts the
// previous one back.
class CSelectObject {
 public:
  CSelectObject(HDC dc, HGDIOBJ object) : dc_(dc), old_(object ? ::SelectObject(dc, object) : nullptr) {}
  ~CSelectObject() {
    if (old_) ::SelectObject(dc_, old_);
  }
  CSelectObject(const CSelectObject&) = delete;
  CSelectObject& operator=(const CSelectObject&) = delete;

 private:
  HDC dc_;
  HGDIOBJ old_;
};

// A device context. The base only wraps a handle it does not own; the
// derived classes acquire and release theirs.
class CDC {
 public:
  CDC() = default;
  explicit CDC(HDC dc) : m_hDC(dc) {}
  virtual ~CDC() = default;
  CDC(const CDC&) = delete;
  CDC& operator=(const CDC&) = delete;

  HDC GetSafeHdc() const { return m_hDC; }
  operator HDC() const { return m_hDC; }

  void FillSolidRect(const RECT& r, COLORREF colour) {
    const COLORREF old = ::SetBkColor(m_hDC, colour);
    ::ExtTextOutW(m_hDC, 0, 0, ETO_OPAQUE, &r, nullptr, 0, nullptr);
    ::SetBkColor(m_hDC, old);
  }
  int DrawText(const std::wstring& text, RECT* r, UINT format) {
    return ::DrawTextW(m_hDC, text.c_str(), static_cast<int>(text.size()), r, format);
  }

 protected:
  HDC m_hDC = nullptr;
};

// BeginPaint/EndPaint for WM_PAINT.
class CPaintDC : public CDC {
 public:
  explicit CPaintDC(HWND wnd) : wnd_(wnd) { m_hDC = ::BeginPaint(wnd, &ps_); }
  ~CPaintDC() override { ::EndPaint(wnd_, &ps_); }
  const PAINTSTRUCT& Paint() const { return ps_; }

 private:
  HWND wnd_;
  PAINTSTRUCT ps_{};
};

// GetDC (client area) or GetWindowDC (whole window), released on destruction.
class CClientDC : public CDC {
 public:
  explicit CClientDC(HWND wnd) : wnd_(wnd) { m_hDC = ::GetDC(wnd); }
  ~CClientDC() override {
    if (m_hDC) ::ReleaseDC(wnd_, m_hDC);
  }

 private:
  HWND wnd_;
};

class CWindowDC : public CDC {
 public:
  explicit CWindowDC(HWND wnd) : wnd_(wnd) { m_hDC = ::GetWindowDC(wnd); }
  ~CWindowDC() override {
    if (m_hDC) ::ReleaseDC(wnd_, m_hDC);
  }

 private:
  HWND wnd_;
};
