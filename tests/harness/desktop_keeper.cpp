// Holds a hidden window until it is ended, so that Wine's desktop process
// stays for a whole test run. Without it the desktop process ends a moment
// after the last program of the prefix has, and a program that starts just
// then may find no desktop to create its windows on (error 1400).
#include <windows.h>

int main() {
  const HWND keeper = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  if (!keeper) return 1;
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
  return 0;
}
