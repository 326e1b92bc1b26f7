#include "framework/thread.h"

#include <process.h>

struct CWorkerThread::StartBlock {
  Proc proc;
  void* param;
  bool skip;  // set when the object goes away before the thread ever ran
};

unsigned __stdcall CWorkerThread::Trampoline(void* p) {
  std::unique_ptr<StartBlock> block(static_cast<StartBlock*>(p));
  if (block->skip) return 0;
  return block->proc(block->param);
}

std::unique_ptr<CWorkerThread> CWorkerThread::Begin(Proc proc, void* param, int priority, unsigned stackSize,
                                                    bool suspended) {
  if (!proc) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::unique_ptr<CWorkerThread> thread(new CWorkerThread());
  auto block = std::make_unique<StartBlock>(StartBlock{proc, param, false});
  unsigned id = 0;
  const uintptr_t h = ::_beginthreadex(nullptr, stackSize, &CWorkerThread::Trampoline, block.get(),
                                       CREATE_SUSPENDED, &id);
  if (h == 0) {
    if (::GetLastError() == 0) ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  thread->handle_ = reinterpret_cast<HANDLE>(h);
  thread->id_ = id;
  thread->start_ = block.release();
  ::SetThreadPriority(thread->handle_, priority);
  if (!suspended && !thread->Resume()) return nullptr;
  return thread;
}

CWorkerThread::~CWorkerThread() {
  if (!handle_) return;
  if (!resumed_) {
    // Let the thread end at once without running the function.
    start_->skip = true;
    if (::ResumeThread(handle_) != static_cast<DWORD>(-1)) ::WaitForSingleObject(handle_, INFINITE);
  }
  ::CloseHandle(handle_);
}

bool CWorkerThread::Resume() {
  if (!handle_) return false;
  if (resumed_) return true;
  if (::ResumeThread(handle_) == static_cast<DWORD>(-1)) return false;
  resumed_ = true;
  return true;
}

bool CWorkerThread::Wait(DWORD milliseconds) const {
  return handle_ && ::WaitForSingleObject(handle_, milliseconds) == WAIT_OBJECT_0;
}

DWORD CWorkerThread::ExitCode() const {
  DWORD code = STILL_ACTIVE;
  if (handle_) ::GetExitCodeThread(handle_, &code);
  return code;
}
