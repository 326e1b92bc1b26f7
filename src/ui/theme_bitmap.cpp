#include "ui/theme_bitmap.h"

#include <cstring>

#include <objidl.h>
#include <gdiplus.h>

namespace Flat = Gdiplus::DllExports;

CThemeGdiplusBitmap::~CThemeGdiplusBitmap() { CThemeGdiplusBitmap::Release(); }

void CThemeGdiplusBitmap::Release() {
  if (image_) Flat::GdipDisposeImage(static_cast<Gdiplus::GpImage*>(image_));
  image_ = nullptr;
}

bool CThemeGdiplusBitmap::Draw(HDC dc, const RECT& rect) const {
  if (!image_) return false;
  Gdiplus::GpGraphics* graphics = nullptr;
  if (Flat::GdipCreateFromHDC(dc, &graphics) != Gdiplus::Ok) return false;
  const bool ok = Flat::GdipDrawImageRectI(graphics, static_cast<Gdiplus::GpImage*>(image_), rect.left, rect.top,
                                           rect.right - rect.left, rect.bottom - rect.top) == Gdiplus::Ok;
  Flat::GdipDeleteGraphics(graphics);
  return ok;
}

CThemeGdiplusBitmapResource::~CThemeGdiplusBitmapResource() { CThemeGdiplusBitmapResource::Release(); }

void CThemeGdiplusBitmapResource::Release() {
  CThemeGdiplusBitmap::Release();
  if (buffer_) {
    ::GlobalUnlock(buffer_);
    ::GlobalFree(buffer_);
    buffer_ = nullptr;
  }
}

bool CThemeGdiplusBitmapResource::Load(HMODULE module, const wchar_t* name, const wchar_t* type) {
  Release();
  HRSRC found = ::FindResourceW(module, name, type);
  if (!found) return false;
  const DWORD size = ::SizeofResource(module, found);
  HGLOBAL loaded = ::LoadResource(module, found);
  const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
  if (!bytes || size == 0) return false;

  buffer_ = ::GlobalAlloc(GMEM_MOVEABLE, size);
  if (!buffer_) return false;
  void* copy = ::GlobalLock(buffer_);
  if (!copy) {
    ::GlobalFree(buffer_);
    buffer_ = nullptr;
    return false;
  }
  std::memcpy(copy, bytes, size);

  IStream* stream = nullptr;
  if (::CreateStreamOnHGlobal(buffer_, FALSE, &stream) == S_OK) {
    Gdiplus::GpBitmap* bitmap = nullptr;
    if (Flat::GdipCreateBitmapFromStream(stream, &bitmap) == Gdiplus::Ok) image_ = bitmap;
    stream->Release();
  }
  if (!image_) {
    Release();
    return false;
  }
  return true;
}
