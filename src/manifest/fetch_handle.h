// Windows only: owner of a WinINet handle (root, connection or request).
#pragma once
#include "platform/windows_api.h"
// WinINet after windows.h.
#include <wininet.h>

class CInternetHandle {
 public:
  CInternetHandle() = default;
  explicit CInternetHandle(HINTERNET h) : h_(h) {}
  ~CInternetHandle() { Close(); }
  CInternetHandle(CInternetHandle&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
  CInternetHandle& operator=(CInternetHandle&& o) noexcept {
    if (this != &o) {
      Close();
      h_ = o.h_;
      o.h_ = nullptr;
    }
    return *this;
  }
  CInternetHandle(const CInternetHandle&) = delete;
  CInternetHandle& operator=(const CInternetHandle&) = delete;

  HINTERNET Get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }
  void Close() {
    if (h_) ::InternetCloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HINTERNET h_ = nullptr;
};
