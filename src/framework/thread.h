// Windows only: a worker thread owned by the code that starts it. The thread
// is created suspended (so the owner can keep the object before it runs),
// never deletes its object, and can be waited for.
#pragma once
#include <memory>

#include "platform/windows_api.h"

class CWorkerThread {
 public:
  // The thread's function; its return value is the thread's exit code.
  using Proc = unsigned (*)(void* param);

  // Starts `proc(param)` on a new thread with the given priority and stack
  // size (0: the default), suspended when `suspended` is true, else running.
  // Null on failure, with the platform's last error set.
  static std::unique_ptr<CWorkerThread> Begin(Proc proc, void* param, int priority = THREAD_PRIORITY_NORMAL,
                                              unsigned stackSize = 0, bool suspended = true);

  // Does not wait. A thread that never ran is released without calling its
  // function; a running thread runs on (wait for it first).
  ~CWorkerThread();
  CWorkerThread(const CWorkerThread&) = delete;
  CWorkerThread& operator=(const CWorkerThread&) = delete;

  // Lets a suspended thread run. False when it could not be resumed.
  bool Resume();
  // Waits up to `milliseconds` for the thread to end; true when it has ended.
  bool Wait(DWORD milliseconds = INFINITE) const;
  // The thread's exit code once it has ended (STILL_ACTIVE before).
  DWORD ExitCode() const;
  HANDLE Handle() const { return handle_; }
  DWORD ThreadId() const { return id_; }

 private:
  struct StartBlock;
  CWorkerThread() = default;
  static unsigned __stdcall Trampoline(void* block);

  HANDLE handle_ = nullptr;
  DWORD id_ = 0;
  StartBlock* start_ = nullptr;  // owned by the thread once it has been resumed
  bool resumed_ = false;
};
