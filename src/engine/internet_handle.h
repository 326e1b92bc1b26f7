// Windows only: owner of a WinINet handle (root, connection or request).
#pragma once
#include "platform/windows_api.h"

#include <wininet.h>

class CInternetHandle {
 public:
  CInternetHandle() = default;
  explicit CInternetHandle(HINTERNET handle) : handle_(handle) {}
  ~CInternetHandle() { Reset(); }
  CInternetHandle(const CInternetHandle&) = delete;
  CInternetHandle& operator=(const CInternetHandle&) = delete;

  HINTERNET Get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  // Closes the handle held (if any) and takes `handle`.
  void Reset(HINTERNET handle = nullptr) {
    if (handle_) ::InternetCloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HINTERNET handle_ = nullptr;
};
