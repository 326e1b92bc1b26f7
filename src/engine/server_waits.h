// The update worker's waits on the server, which a Cancel need not sit out.
//
// While the worker waits for a response, or for the next bytes of a body, it
// holds nothing the rest of the program needs: no file of an install folder
// is half replaced (a module's swap never waits on the server), and what it
// has staged is kept as the bytes of a killed run are. A slow or silent
// server can hold such a wait for seconds (up to the receive timeout), so the
// window may give up on a worker that is in one: the run then ends as
// cancelled at once, and the worker, when its wait is over, stops there and
// never goes on; the process ends around it.
//
// Shared by the window and the worker (the worker may outlive the window).
#pragma once
#include <atomic>

class CServerWaits {
 public:
  // Worker: around each wait on the server. Leave does not return once the
  // worker was given up.
  void Enter() { state_.store(kWaiting); }
  void Leave() {
    int expected = kWaiting;
    if (state_.compare_exchange_strong(expected, kWorking)) return;
    for (;;) state_.wait(kGivenUp);
  }
  // Window: gives up on the worker when it is in a wait on the server (or
  // was given up before). False while it is doing anything else: it then
  // sees the abort flag at its next check and ends by itself.
  bool GiveUp() {
    int expected = kWaiting;
    return state_.compare_exchange_strong(expected, kGivenUp) || expected == kGivenUp;
  }
  bool GivenUp() const { return state_.load() == kGivenUp; }

 private:
  enum : int { kWorking, kWaiting, kGivenUp };
  std::atomic<int> state_{kWorking};
};

// The worker's side as a scope: Enter on construction, Leave at its end. A
// null `waits` gates nothing.
class CServerWait {
 public:
  explicit CServerWait(CServerWaits* waits) : waits_(waits) {
    if (waits_) waits_->Enter();
  }
  ~CServerWait() {
    if (waits_) waits_->Leave();
  }
  CServerWait(const CServerWait&) = delete;
  CServerWait& operator=(const CServerWait&) = delete;

 private:
  CServerWaits* waits_;
};
