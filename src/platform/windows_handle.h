// Windows only: owners of kernel handles.
#pragma once
#include "platform/windows_api.h"

namespace Platform {

// Owns a kernel handle (null and INVALID_HANDLE_VALUE both mean none).
class CScopedHandle {
 public:
  CScopedHandle() = default;
  explicit CScopedHandle(HANDLE h) : h_(h) {}
  ~CScopedHandle() { Reset(); }
  CScopedHandle(CScopedHandle&& o) noexcept : h_(o.Release()) {}
  CScopedHandle& operator=(CScopedHandle&& o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
  }
  CScopedHandle(const CScopedHandle&) = delete;
  CScopedHandle& operator=(const CScopedHandle&) = delete;

  HANDLE Get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  HANDLE Release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  void Reset(HANDLE h = nullptr) {
    if (*this) ::CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

}  // namespace Platform
