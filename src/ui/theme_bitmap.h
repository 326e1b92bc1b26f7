// Windows only: GDI+ images owned by the themed controls. CThemeGdiplusBitmap
// owns one image; CThemeGdiplusBitmapResource also owns the global memory
// block that holds the image's resource bytes.
#pragma once
#include "platform/windows_api.h"


class CThemeGdiplusBitmap {
 public:
  CThemeGdiplusBitmap() = default;
  virtual ~CThemeGdiplusBitmap();
  CThemeGdiplusBitmap(const CThemeGdiplusBitmap&) = delete;
  CThemeGdiplusBitmap& operator=(const CThemeGdiplusBitmap&) = delete;

  bool HasImage() const { return image_ != nullptr; }
  // Draws the image stretched over `rect`; false without an image or GDI+.
  bool Draw(HDC dc, const RECT& rect) const;
  // Releases the image.
  virtual void Release();

 protected:
  void* image_ = nullptr;  // the GDI+ image (GpImage)
};

class CThemeGdiplusBitmapResource : public CThemeGdiplusBitmap {
 public:
  ~CThemeGdiplusBitmapResource() override;
  // Loads an image (PNG, BMP, JPEG...) from resource `name` of `type` in
  // `module`. Releases any held image first; false when the resource is
  // missing, GDI+ is not started or the bytes are no image.
  bool Load(HMODULE module, const wchar_t* name, const wchar_t* type);
  // Releases the image, then unlocks and frees the memory block.
  void Release() override;

 private:
  HGLOBAL buffer_ = nullptr;
};
