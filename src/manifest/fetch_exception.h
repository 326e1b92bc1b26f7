// The updater's exception class: one message text. Thrown only inside the
// manifest retrieval, to leave its request sequence at the first failure.
#pragma once
#include <exception>
#include <string>

class CMyException : public std::exception {
 public:
  // The text of the string resource as stored (placeholders left as they
  // are); empty when the program has no such string.
  explicit CMyException(unsigned resourceId);
  // printf-style: the format text with its arguments, as std::swprintf
  // reads them (write %ls for a wide string).
  CMyException(const wchar_t* format, ...);

  const std::wstring& GetMessageText() const noexcept { return message_; }
  const char* what() const noexcept override { return "CMyException"; }

 private:
  std::wstring message_;
};
