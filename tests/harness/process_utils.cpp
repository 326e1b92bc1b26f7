#include "harness/process_utils.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "common/test_files.h"
#include "platform/http.h"

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
  // GetWindowTextW would send WM_GETTEXT to windows of this process and wait
  // for their thread; the stored title needs no message.
  ::InternalGetWindowText(hwnd, title, 256);
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

constexpr UINT kSendTimeoutMs = 5000;

// Sets an edit's text and reads it back, never waiting longer than the timeout
// on the dialog's thread.
bool PutText(HWND edit, const std::wstring& text) {
  DWORD_PTR result = 0;
  if (!::SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_NORMAL,
                             kSendTimeoutMs, &result) ||
      result != TRUE) {
    return false;
  }
  std::wstring back(text.size() + 2, L'\0');
  if (!::SendMessageTimeoutW(edit, WM_GETTEXT, back.size(), reinterpret_cast<LPARAM>(back.data()), SMTO_NORMAL,
                             kSendTimeoutMs, &result)) {
    return false;
  }
  back.resize(result);
  return back == text;
}

bool IsVisibleDialog(const WindowInfo& w) { return w.visible && w.className == L"#32770"; }

std::wstring TitleOf(const WindowInfo& w) { return w.title.empty() ? L"(untitled)" : w.title; }

std::wstring Seconds(unsigned millis) { return std::to_wstring(millis / 1000) + L" s"; }
}  // namespace

std::vector<WindowInfo> ListOwnedDialogs(DWORD pid, HWND owner) {
  std::vector<WindowInfo> dialogs;
  if (owner == nullptr) return dialogs;
  for (const auto& w : ListTopLevelWindows(pid)) {
    if (IsVisibleDialog(w) && ::GetWindow(w.hwnd, GW_OWNER) == owner) dialogs.push_back(w);
  }
  return dialogs;
}

bool AnswerDialog(HWND dialog, bool confirm, const std::wstring& user, const std::wstring& password) {
  if (confirm) {
    std::vector<HWND> edits;
    ::EnumChildWindows(dialog, &CollectEdit, reinterpret_cast<LPARAM>(&edits));
    HWND userEdit = nullptr;
    HWND passwordEdit = nullptr;
    for (HWND edit : edits) {
      const bool secret = (::GetWindowLongW(edit, GWL_STYLE) & ES_PASSWORD) != 0;
      HWND& slot = secret ? passwordEdit : userEdit;
      if (slot == nullptr) slot = edit;
    }
    if (userEdit == nullptr || passwordEdit == nullptr) return false;
    if (!PutText(userEdit, user) || !PutText(passwordEdit, password)) return false;
  }
  return ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(confirm ? IDOK : IDCANCEL, BN_CLICKED), 0) != FALSE;
}

std::wstring AnswerCredentialsDialog(DWORD pid, bool confirm, const std::wstring& user,
                                     const std::wstring& password, unsigned timeoutMs) {
  const DWORD start = ::GetTickCount();
  while (::GetTickCount() - start < timeoutMs) {
    for (const auto& w : ListTopLevelWindows(pid)) {
      if (IsVisibleDialog(w) && AnswerDialog(w.hwnd, confirm, user, password)) return TitleOf(w);
    }
    ::Sleep(50);
  }
  return L"";
}

CCredentialsAnswerer::CCredentialsAnswerer(std::function<HWND()> owner, bool confirm, std::wstring user,
                                           std::wstring password, Waits waits)
    : owner_(std::move(owner)),
      confirm_(confirm),
      user_(std::move(user)),
      password_(std::move(password)),
      waits_(waits),
      thread_([this] { Run(); }) {}

CCredentialsAnswerer::~CCredentialsAnswerer() { Finish(); }

void CCredentialsAnswerer::Finish() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool CCredentialsAnswerer::Wait(unsigned millis) {
  std::unique_lock<std::mutex> hold(lock_);
  return wake_.wait_for(hold, std::chrono::milliseconds(millis), [this] { return stop_; });
}

void CCredentialsAnswerer::Run() {
  const DWORD pid = ::GetCurrentProcessId();
  const ULONGLONG start = ::GetTickCount64();
  struct Answered {
    HWND hwnd;
    ULONGLONG last;
  };
  std::vector<Answered> answered;
  ULONGLONG newestFirstAnswer = 0;  // 0: nothing answered yet
  do {
    const ULONGLONG now = ::GetTickCount64();
    for (const auto& w : ListOwnedDialogs(pid, owner_())) {
      auto it = std::find_if(answered.begin(), answered.end(), [&](const Answered& a) { return a.hwnd == w.hwnd; });
      if (it != answered.end() && now - it->last < waits_.retryMs) continue;
      // A dialog that did not take the answer is tried again next round.
      if (!AnswerDialog(w.hwnd, confirm_, user_, password_)) continue;
      if (it == answered.end()) {
        answered.push_back({w.hwnd, now});
        dialogs_.push_back(TitleOf(w));
        newestFirstAnswer = now;
      } else {
        it->last = now;
        ++retries_;
      }
    }
    if (newestFirstAnswer == 0 && now - start >= waits_.showMs) {
      return TakeOver(L"no credentials dialog showed within " + Seconds(waits_.showMs));
    }
    if (newestFirstAnswer != 0 && now - newestFirstAnswer >= waits_.endMs) {
      return TakeOver(L"the run went on " + Seconds(waits_.endMs) + L" after the credentials dialog was answered");
    }
  } while (!Wait(50));
}

void CCredentialsAnswerer::TakeOver(const std::wstring& reason) {
  const DWORD pid = ::GetCurrentProcessId();
  const ULONGLONG start = ::GetTickCount64();
  std::vector<HWND> closed;
  std::wstring closedTitles;
  watchdog_ = reason;
  do {
    const ULONGLONG elapsed = ::GetTickCount64() - start;
    const HWND owner = owner_();
    for (const auto& w : ListTopLevelWindows(pid)) {
      if (!IsVisibleDialog(w) || (w.hwnd == owner && elapsed < waits_.cancelOwnerMs)) continue;
      ::PostMessageW(w.hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      if (std::find(closed.begin(), closed.end(), w.hwnd) == closed.end()) {
        closed.push_back(w.hwnd);
        closedTitles += (closedTitles.empty() ? L"" : L", ") + std::wstring(L"\"") + TitleOf(w) + L"\"";
        watchdog_ = reason + L"; pressed Cancel on " + closedTitles;
      }
    }
    if (elapsed >= waits_.closeMs) {
      std::fwprintf(stderr, L"credentials dialog watchdog: %ls; the run still had not ended %ls later, "
                            L"ending the test process\n",
                    watchdog_.c_str(), Seconds(waits_.closeMs).c_str());
      std::fflush(stderr);
      ::TerminateProcess(::GetCurrentProcess(), 3);
    }
  } while (!Wait(500));
}

}  // namespace TestHarness

namespace TestHarness {

CScopedBasicOverHttpPolicy::CScopedBasicOverHttpPolicy() {
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, Platform::kPolicyKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  DWORD type = 0;
  DWORD size = sizeof oldValue_;
  hadValue_ = ::RegQueryValueExW(key, Platform::kAllowBasicOverHttpValue, nullptr, &type,
                                 reinterpret_cast<BYTE*>(&oldValue_), &size) == ERROR_SUCCESS &&
              type == REG_DWORD;
  const DWORD one = 1;
  set_ = ::RegSetValueExW(key, Platform::kAllowBasicOverHttpValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                          sizeof one) == ERROR_SUCCESS;
  ::RegCloseKey(key);
}

CScopedBasicOverHttpPolicy::~CScopedBasicOverHttpPolicy() {
  if (!set_) return;
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Platform::kPolicyKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
  if (hadValue_) {
    (void)::RegSetValueExW(key, Platform::kAllowBasicOverHttpValue, 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&oldValue_), sizeof oldValue_);
  } else {
    (void)::RegDeleteValueW(key, Platform::kAllowBasicOverHttpValue);
  }
  ::RegCloseKey(key);
}

}  // namespace TestHarness
