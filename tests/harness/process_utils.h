// Windows test helpers around processes and their traces: running a program
// with a deadline, top-level windows of a process, reading the update log.
#pragma once
#include <string>
#include <vector>

#include "platform/windows_api.h"

namespace TestHarness {

// A started process; the destructor ends it (by its handle) if it still runs.
class CChildProcess {
 public:
  CChildProcess() = default;
  ~CChildProcess();
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  // Starts `exe` with the raw command line `"exe" arguments` in `folder`
  // (empty: the caller's). False with the error in Error() on failure.
  bool Start(const std::wstring& exe, const std::wstring& arguments, const std::wstring& folder = L"");
  // Waits up to millis; true when the process has ended.
  bool Wait(unsigned millis);
  // Ends the process if it still runs, and waits for it.
  void Kill();
  bool IsRunning() const;
  DWORD Pid() const { return pid_; }
  DWORD Error() const { return error_; }

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
  DWORD error_ = 0;
};

// Visible or hidden top-level windows owned by the process, with their titles.
struct WindowInfo {
  HWND hwnd;
  std::wstring className;
  std::wstring title;
  bool visible;
};
std::vector<WindowInfo> ListTopLevelWindows(DWORD pid);

// A UTF-16LE file (the update log) as text, without its byte-order mark;
// "<missing>" when it cannot be read.
std::wstring ReadUtf16File(const std::wstring& path);

}  // namespace TestHarness

namespace TestHarness {

// Waits up to timeoutMs for a dialog (class "#32770") of the process to show,
// then answers it: when confirm, puts user and password into its first two
// edit controls and presses OK; otherwise presses Cancel. Returns the
// dialog's title, or empty when none showed. Call it on a thread other than
// the one that runs the dialog.
std::wstring AnswerCredentialsDialog(DWORD pid, bool confirm, const std::wstring& user,
                                     const std::wstring& password, unsigned timeoutMs);

}  // namespace TestHarness
