// e2e_show_hook.dll: loaded by Wine into every program of the prefix once
// e2e_drive watch sets its hook. When a top-level window of Updater.exe is
// shown, it posts that window, and whether it has a progress bar (the update
// dialog), to the watcher's message-only window: the watcher learns of it
// from the updater's own thread, however briefly the window shows and
// however late the watcher gets the processor.
#include "e2e_show_hook.h"

#include <cwchar>

namespace {

bool IsUpdater() {
  static const bool updater = [] {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    const wchar_t* name = path;
    for (DWORD i = 0; i < length; ++i) {
      if (path[i] == L'\\' || path[i] == L'/') name = path + i + 1;
    }
    return _wcsicmp(name, L"Updater.exe") == 0;
  }();
  return updater;
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK ShowHook(int code, WPARAM wParam, LPARAM lParam) {
  const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && call->message == WM_WINDOWPOSCHANGED &&
      (reinterpret_cast<const WINDOWPOS*>(call->lParam)->flags & SWP_SHOWWINDOW) &&
      ::GetAncestor(call->hwnd, GA_ROOT) == call->hwnd && IsUpdater()) {
    if (HWND watcher = ::FindWindowExW(HWND_MESSAGE, nullptr, kWatchWindowClass, nullptr)) {
      const bool dialog = ::FindWindowExW(call->hwnd, nullptr, L"msctls_progress32", nullptr) != nullptr;
      ::PostMessageW(watcher, kWindowShownMessage, reinterpret_cast<WPARAM>(call->hwnd), dialog ? 1 : 0);
    }
  }
  return ::CallNextHookEx(nullptr, code, wParam, lParam);
}
