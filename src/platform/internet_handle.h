// Windows only: the owner of a WinINet handle (root, connection or request)
// and the one question about a root handle that callers share.
#pragma once
#include "platform/windows_api.h"
// WinINet after windows.h.
#include <wininet.h>

#include <vector>

namespace Platform {

class CInternetHandle {
 public:
  CInternetHandle() = default;
  explicit CInternetHandle(HINTERNET handle) : handle_(handle) {}
  ~CInternetHandle() { Close(); }
  CInternetHandle(CInternetHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  CInternetHandle& operator=(CInternetHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  CInternetHandle(const CInternetHandle&) = delete;
  CInternetHandle& operator=(const CInternetHandle&) = delete;

  HINTERNET Get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  // Closes the handle held (if any) and takes `handle`.
  void Reset(HINTERNET handle = nullptr) {
    if (handle_) ::InternetCloseHandle(handle_);
    handle_ = handle;
  }
  void Close() { Reset(); }
  HINTERNET Release() {
    HINTERNET handle = handle_;
    handle_ = nullptr;
    return handle;
  }

 private:
  HINTERNET handle_ = nullptr;
};

// Whether requests of the root handle go through a proxy. A 407 from a server
// reached directly leaves no proxy to log on to (and Wine's credentials
// dialog fails on it), so callers treat it as a refusal.
inline bool InternetUsesProxy(HINTERNET root) {
  DWORD size = 0;
  (void)::InternetQueryOptionW(root, INTERNET_OPTION_PROXY, nullptr, &size);
  if (size < sizeof(INTERNET_PROXY_INFO)) return false;
  std::vector<unsigned char> buffer(size);
  if (!::InternetQueryOptionW(root, INTERNET_OPTION_PROXY, buffer.data(), &size)) return false;
  const auto* info = reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer.data());
  return info->dwAccessType == INTERNET_OPEN_TYPE_PROXY;
}

}  // namespace Platform
