#include "harness/process_utils.h"

#include "common/test_files.h"

namespace TestHarness {

CChildProcess::~CChildProcess() {
  Kill();
  if (process_) ::CloseHandle(process_);
}

bool CChildProcess::Start(const std::wstring& exe, const std::wstring& arguments, const std::wstring& folder) {
  std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
    error_ = ::GetLastError();
    return false;
  }
  ::CloseHandle(info.hThread);
  process_ = info.hProcess;
  pid_ = info.dwProcessId;
  return true;
}

bool CChildProcess::Wait(unsigned millis) {
  return !process_ || ::WaitForSingleObject(process_, millis) == WAIT_OBJECT_0;
}

bool CChildProcess::IsRunning() const { return process_ && ::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

void CChildProcess::Kill() {
  if (IsRunning()) {
    ::TerminateProcess(process_, 1);
    ::WaitForSingleObject(process_, 10000);
  }
}

namespace {
struct EnumState {
  DWORD pid;
  std::vector<WindowInfo>* out;
};

BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM param) {
  auto* state = reinterpret_cast<EnumState*>(param);
  DWORD owner = 0;
  ::GetWindowThreadProcessId(hwnd, &owner);
  if (owner != state->pid) return TRUE;
  wchar_t className[128] = {};
  wchar_t title[256] = {};
  ::GetClassNameW(hwnd, className, 128);
  ::GetWindowTextW(hwnd, title, 256);
  state->out->push_back({hwnd, className, title, ::IsWindowVisible(hwnd) != FALSE});
  return TRUE;
}
}  // namespace

std::vector<WindowInfo> ListTopLevelWindows(DWORD pid) {
  std::vector<WindowInfo> windows;
  EnumState state{pid, &windows};
  ::EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&state));
  return windows;
}

std::wstring ReadUtf16File(const std::wstring& path) {
  std::string bytes;
  if (!TestFiles::ReadBytes(path, &bytes)) return L"<missing>";
  std::wstring text;
  std::size_t i = (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') ? 2 : 0;
  for (; i + 1 < bytes.size(); i += 2) {
    text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return text;
}

}  // namespace TestHarness

namespace TestHarness {

namespace {
BOOL CALLBACK CollectEdit(HWND hwnd, LPARAM param) {
  wchar_t className[32] = {};
  ::GetClassNameW(hwnd, className, 32);
  if (lstrcmpiW(className, L"Edit") == 0) reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
  return TRUE;
}
}  // namespace

std::wstring AnswerCredentialsDialog(DWORD pid, bool confirm, const std::wstring& user,
                                     const std::wstring& password, unsigned timeoutMs) {
  const DWORD start = ::GetTickCount();
  while (::GetTickCount() - start < timeoutMs) {
    for (const auto& w : ListTopLevelWindows(pid)) {
      if (!w.visible || w.className != L"#32770") continue;
      if (confirm) {
        std::vector<HWND> edits;
        ::EnumChildWindows(w.hwnd, &CollectEdit, reinterpret_cast<LPARAM>(&edits));
        if (edits.size() >= 1) ::SendMessageW(edits[0], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(user.c_str()));
        if (edits.size() >= 2) ::SendMessageW(edits[1], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(password.c_str()));
      }
      ::PostMessageW(w.hwnd, WM_COMMAND, MAKEWPARAM(confirm ? IDOK : IDCANCEL, BN_CLICKED), 0);
      return w.title.empty() ? L"(untitled)" : w.title;
    }
    ::Sleep(50);
  }
  return L"";
}

}  // namespace TestHarness
