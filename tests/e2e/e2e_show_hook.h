// What e2e_show_hook.dll and e2e_drive watch agree on: the watcher's
// message-only window class, and the message posted to it for each
// top-level window Updater.exe shows (wParam the window, lParam 1 for an
// update dialog, one with a progress bar).
#pragma once

#include <windows.h>

inline constexpr const wchar_t* kWatchWindowClass = L"VireoE2EWindowWatch";
inline constexpr UINT kWindowShownMessage = WM_APP + 1;
