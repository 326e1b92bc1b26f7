// A stand-in for a suite program in the engine's tests. When started it
// writes "<its path>.started" holding its process id and whether a
// session.xml lay beside it, then stays alive while "<its path>.hold" exists
// (at most a minute).
#include <windows.h>

#include <string>

int main() {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  const std::wstring self(buffer, n);
  const std::wstring folder = self.substr(0, self.rfind(L'\\'));
  const bool session = ::GetFileAttributesW((folder + L"\\session.xml").c_str()) != INVALID_FILE_ATTRIBUTES;
  const std::string text = "pid=" + std::to_string(::GetCurrentProcessId()) + " session=" + (session ? "1" : "0");
  HANDLE file = ::CreateFileW((self + L".started").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(file);
  }
  const std::wstring hold = self + L".hold";
  for (int i = 0; i < 1200 && ::GetFileAttributesW(hold.c_str()) != INVALID_FILE_ATTRIBUTES; ++i) ::Sleep(50);
  return 0;
}
