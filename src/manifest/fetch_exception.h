// The updater's exception class. Thrown only inside the manifest retrieval,
// to leave its request sequence at the first failure; what failed is logged
// where it is thrown, so it carries only the string resource that names the
// failure (0: none), for a debugger.
#pragma once
#include <exception>

class CMyException : public std::exception {
 public:
  explicit CMyException(unsigned resourceId = 0) noexcept : resourceId_(resourceId) {}

  unsigned ResourceId() const noexcept { return resourceId_; }
  const char* what() const noexcept override { return "CMyException"; }

 private:
  unsigned resourceId_;
};
