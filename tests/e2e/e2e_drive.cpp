// e2e_drive.exe: what the end-to-end scenarios do inside Wine's window
// system, run by the Linux-side driver (e2e_run.py) in the same prefix.
//
//   e2e_drive windows             one line per top-level window, then one
//                                 line per child control (UTF-8, tab separated):
//                                   W <hwnd> <pid> <exe> <visible> <left> <top>
//                                     <right> <bottom> <class> <title>
//                                   C <hwnd> <id> <class> <visible> <text>
//   e2e_drive click HWND ID       presses the dialog's button ID (posted)
//   e2e_drive credentials HWND USER PASSWORD
//                                 fills the first two edit controls of the
//                                 dialog and presses OK
//   e2e_drive watch               runs until ended: prints "ready" once it
//                                 listens, then "shown <hwnd>" the first time
//                                 an update dialog (a window of Updater.exe
//                                 with a progress bar) is shown, and "window
//                                 <hwnd>" for any other top-level window of
//                                 Updater.exe. The updater's own thread tells
//                                 it, through the hook in e2e_show_hook.dll
//                                 beside it, so that a window shown only
//                                 briefly is not missed, however busy the
//                                 machine. Meanwhile it takes the
//                                 commands above from its standard input, one
//                                 per line with tab-separated arguments, and
//                                 answers each with its output and a line
//                                 "end <exit status>": a look at the windows
//                                 costs no Wine start-up then.
// Exit status 0 on success, 1 when the window or control is not there.
#include <windows.h>
#include <tlhelp32.h>

#include "e2e_show_hook.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                        nullptr);
  for (char& c : out) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

std::wstring Wide(const char* text) {
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring out(static_cast<size_t>(size > 0 ? size - 1 : 0), L'\0');
  if (size > 1) ::MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), size);
  return out;
}

std::wstring WindowText(HWND hwnd) {
  // WM_GETTEXT with a timeout: a hung window must not hang the driver.
  wchar_t buffer[1024] = {};
  DWORD_PTR result = 0;
  if (!::SendMessageTimeoutW(hwnd, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 2000,
                             &result)) {
    return L"";
  }
  return std::wstring(buffer, static_cast<size_t>(result));
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t buffer[256] = {};
  const int length = ::GetClassNameW(hwnd, buffer, 256);
  return std::wstring(buffer, static_cast<size_t>(length > 0 ? length : 0));
}

std::map<DWORD, std::wstring> ProcessNames() {
  std::map<DWORD, std::wstring> names;
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return names;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = ::Process32FirstW(snapshot, &entry); ok; ok = ::Process32NextW(snapshot, &entry)) {
    names[entry.th32ProcessID] = entry.szExeFile;
  }
  ::CloseHandle(snapshot);
  return names;
}

BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM param) {
  reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
  return TRUE;
}

std::string Format(const char* format, ...) {
  char buffer[4096];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return std::string(buffer, length < 0 ? 0 : std::min<size_t>(static_cast<size_t>(length), sizeof buffer - 1));
}

std::string ListWindows() {
  std::string out;
  const auto names = ProcessNames();
  std::vector<HWND> tops;
  ::EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&tops));
  for (HWND top : tops) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(top, &pid);
    const auto name = names.find(pid);
    const std::wstring exe = name == names.end() ? L"?" : name->second;
    // Wine's own helper windows are of no interest.
    if (exe == L"explorer.exe" || exe == L"services.exe" || exe == L"e2e_drive.exe") continue;
    RECT rect{};
    ::GetWindowRect(top, &rect);
    out += Format("W\t%llu\t%lu\t%s\t%d\t%ld\t%ld\t%ld\t%ld\t%s\t%s\n",
                static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(top)), pid, Utf8(exe).c_str(),
                ::IsWindowVisible(top) ? 1 : 0, rect.left, rect.top, rect.right, rect.bottom,
                Utf8(ClassOf(top)).c_str(), Utf8(WindowText(top)).c_str());
    std::vector<HWND> children;
    ::EnumChildWindows(top, CollectWindow, reinterpret_cast<LPARAM>(&children));
    for (HWND child : children) {
      out += Format("C\t%llu\t%d\t%s\t%d\t%s\n", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(child)),
                  ::GetDlgCtrlID(child), Utf8(ClassOf(child)).c_str(), ::IsWindowVisible(child) ? 1 : 0,
                  Utf8(WindowText(child)).c_str());
    }
  }
  return out;
}

HWND ParseWindow(const char* text) {
  return reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::strtoull(text, nullptr, 10)));
}

int Click(HWND dialog, int id) {
  if (!::IsWindow(dialog)) return 1;
  HWND button = ::GetDlgItem(dialog, id);
  return ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button)) ? 0 : 1;
}

int Credentials(HWND dialog, const std::wstring& user, const std::wstring& password) {
  if (!::IsWindow(dialog)) return 1;
  std::vector<HWND> children;
  ::EnumChildWindows(dialog, CollectWindow, reinterpret_cast<LPARAM>(&children));
  std::vector<HWND> edits;
  for (HWND child : children) {
    if (_wcsicmp(ClassOf(child).c_str(), L"Edit") == 0) edits.push_back(child);
  }
  if (edits.size() < 2) return 1;
  DWORD_PTR result = 0;
  ::SendMessageTimeoutW(edits[0], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(user.c_str()), SMTO_ABORTIFHUNG, 2000,
                        &result);
  ::SendMessageTimeoutW(edits[1], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(password.c_str()), SMTO_ABORTIFHUNG,
                        2000, &result);
  return Click(dialog, IDOK);
}

CRITICAL_SECTION g_output;

void Print(const std::string& text) {
  ::EnterCriticalSection(&g_output);
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
  ::LeaveCriticalSection(&g_output);
}

int Command(const std::vector<std::string>& args, std::string& out);

// The commands of the standard input, answered until it closes.
DWORD WINAPI Serve(void*) {
  char line[4096];
  while (std::fgets(line, sizeof line, stdin)) {
    line[std::strcspn(line, "\r\n")] = '\0';
    std::vector<std::string> args{""};
    for (const char* c = line; *c; ++c) {
      if (*c == '\t') {
        args.emplace_back();
      } else {
        args.back() += *c;
      }
    }
    std::string out;
    const int status = Command(args, out);
    Print(out + Format("end\t%d\n", status));
  }
  return 0;
}

// Wine 8 reports no EVENT_OBJECT_SHOW to a WinEvent hook (only creation and
// focus), and a look at the windows every few ms misses a dialog shown for
// 100 ms while the machine is busy: a window hook in the updater's thread
// posts each top-level window it shows to this message-only window instead.
LRESULT CALLBACK WatchWindow(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != kWindowShownMessage) return ::DefWindowProcW(hwnd, message, wParam, lParam);
  static std::vector<std::pair<WPARAM, bool>> reported;
  const std::pair<WPARAM, bool> window(wParam, lParam != 0);
  if (std::find(reported.begin(), reported.end(), window) == reported.end()) {
    reported.push_back(window);
    Print(Format("%s\t%llu\n", lParam ? "shown" : "window", static_cast<unsigned long long>(wParam)));
  }
  return 0;
}

int Watch() {
  ::InitializeCriticalSection(&g_output);
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = WatchWindow;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = kWatchWindowClass;
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring hookPath(path, length);
  hookPath.resize(hookPath.find_last_of(L"\\/") + 1);
  hookPath += L"e2e_show_hook.dll";
  HMODULE hook = ::LoadLibraryW(hookPath.c_str());
  FARPROC found = hook ? ::GetProcAddress(hook, "ShowHook") : nullptr;
  auto* proc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void (*)()>(found));
  if (!::RegisterClassW(&windowClass) ||
      !::CreateWindowW(windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, windowClass.hInstance,
                       nullptr) ||
      !proc || !::SetWindowsHookExW(WH_CALLWNDPROC, proc, hook, 0)) {
    std::fprintf(stderr, "e2e_drive watch: no hook (%s, error %lu)\n", Utf8(hookPath).c_str(), ::GetLastError());
    return 1;
  }
  Print("ready\n");
  HANDLE server = ::CreateThread(nullptr, 0, Serve, nullptr, 0, nullptr);
  if (server) ::CloseHandle(server);
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
  return 0;
}

// Holds the file at `path` open for reading, sharing only reading (so that
// it can be neither renamed nor deleted), and writes `marker` once it does;
// lets go when `marker` is removed, or after two minutes.
int Hold(const std::wstring& path, const std::wstring& marker) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  HANDLE note = ::CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (note == INVALID_HANDLE_VALUE) return 1;
  ::CloseHandle(note);
  for (int i = 0; i < 12000 && ::GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES; ++i) ::Sleep(10);
  ::CloseHandle(file);
  return 0;
}

// Runs one command (its name first); what it prints goes to `out`.
int Command(const std::vector<std::string>& args, std::string& out) {
  const std::string& name = args[0];
  if (name == "windows") {
    out = ListWindows();
    return 0;
  }
  if (name == "click" && args.size() == 3) return Click(ParseWindow(args[1].c_str()), std::atoi(args[2].c_str()));
  if (name == "credentials" && args.size() == 4) {
    return Credentials(ParseWindow(args[1].c_str()), Wide(args[2].c_str()), Wide(args[3].c_str()));
  }
  if (name == "hold" && args.size() == 3) return Hold(Wide(args[1].c_str()), Wide(args[2].c_str()));
  out = "usage: e2e_drive windows | click HWND ID | credentials HWND USER PASSWORD | watch | hold PATH MARKER\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "watch") return Watch();
  const std::vector<std::string> args(argv + (argc > 1 ? 1 : argc), argv + argc);
  std::string out;
  const int status = Command(args.empty() ? std::vector<std::string>{""} : args, out);
  std::fputs(out.c_str(), status == 2 ? stderr : stdout);
  return status;
}
