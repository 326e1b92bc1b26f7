// Windows test helpers around processes and their traces: running a program
// with a deadline, top-level windows of a process, answering credentials
// dialogs, reading the update log.
#pragma once
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
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
// Sends no message: a thread of the process that is busy elsewhere (a worker
// in a transfer, with its hidden IME window) cannot hold the caller up.
std::vector<WindowInfo> ListTopLevelWindows(DWORD pid);

// A UTF-16LE file (the update log) as text, without its byte-order mark;
// "<missing>" when it cannot be read.
std::wstring ReadUtf16File(const std::wstring& path);

}  // namespace TestHarness

namespace TestHarness {

// Visible dialogs (class "#32770") of the process whose owner window is `owner`.
std::vector<WindowInfo> ListOwnedDialogs(DWORD pid, HWND owner);

// Answers one credentials dialog: when confirm, puts user into its user field
// and password into its password field (the edit with ES_PASSWORD) and
// presses OK; otherwise presses Cancel. False, with nothing pressed, when the
// fields are missing or did not take the text (a dialog that is going away or
// does not answer within 5 s). Call it on a thread other than the dialog's.
bool AnswerDialog(HWND dialog, bool confirm, const std::wstring& user, const std::wstring& password);

// Waits up to timeoutMs for a dialog (class "#32770") of the process to show,
// then answers it as AnswerDialog does. Returns the dialog's title, or empty
// when none showed. Call it on a thread other than the one that runs the
// dialog.
std::wstring AnswerCredentialsDialog(DWORD pid, bool confirm, const std::wstring& user,
                                     const std::wstring& password, unsigned timeoutMs);

// Sets the machine policy that allows Basic authentication over plain http
// (Platform::kPolicyKey, AllowBasicOverHttp = 1) for the object's life and
// then restores the value that was there (or its absence). The policy lives
// in the prefix's registry: tests that set it keep to their own span.
class CScopedBasicOverHttpPolicy {
 public:
  CScopedBasicOverHttpPolicy();
  ~CScopedBasicOverHttpPolicy();
  CScopedBasicOverHttpPolicy(const CScopedBasicOverHttpPolicy&) = delete;
  CScopedBasicOverHttpPolicy& operator=(const CScopedBasicOverHttpPolicy&) = delete;
  bool IsSet() const { return set_; }

 private:
  bool set_ = false;
  bool hadValue_ = false;
  DWORD oldValue_ = 0;
};

// Answers, from a thread of its own, every credentials dialog owned by the
// window `owner()` names (read again each round: the window may not exist
// yet), for as long as the object lives or until Finish(). A dialog still up
// retryMs after its answer is answered again. When no dialog has shown
// within showMs of the start, or the run has not ended (Finish not called)
// endMs after the newest dialog's first answer, a watchdog takes over so the
// run ends instead of hanging: it presses Cancel on every dialog of the
// process but the owner, from cancelOwnerMs on on the owner too, and if the
// run has still not ended closeMs after it took over, it writes why to
// stderr and ends the process with exit code 3.
class CCredentialsAnswerer {
 public:
  struct Waits {
    unsigned showMs = 60000;
    unsigned endMs = 45000;
    unsigned retryMs = 2000;
    unsigned cancelOwnerMs = 5000;
    unsigned closeMs = 30000;
  };
  CCredentialsAnswerer(std::function<HWND()> owner, bool confirm, std::wstring user, std::wstring password,
                       Waits waits);
  ~CCredentialsAnswerer();  // Finish()
  CCredentialsAnswerer(const CCredentialsAnswerer&) = delete;
  CCredentialsAnswerer& operator=(const CCredentialsAnswerer&) = delete;

  // Call once the run has ended: stops and joins the thread.
  void Finish();

  // Read after Finish. The titles of the dialogs answered, one per dialog.
  const std::vector<std::wstring>& Dialogs() const { return dialogs_; }
  // Answers repeated because a dialog was still up.
  int Retries() const { return retries_; }
  // Empty, or what made the watchdog take over and what it closed.
  const std::wstring& Watchdog() const { return watchdog_; }

 private:
  void Run();
  bool Wait(unsigned millis);  // true when stopped
  void TakeOver(const std::wstring& reason);

  std::function<HWND()> owner_;
  bool confirm_;
  std::wstring user_;
  std::wstring password_;
  Waits waits_;
  std::vector<std::wstring> dialogs_;
  int retries_ = 0;
  std::wstring watchdog_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace TestHarness
