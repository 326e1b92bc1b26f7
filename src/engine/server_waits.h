// The update worker's waits on the server, which the window need not sit out.
//
// While the worker waits for a response, or for the next bytes of a body, it
// holds nothing the rest of the program needs: no file of an install folder
// is half replaced (a module's swap never waits on the server), and what it
// has staged is kept as the bytes of a killed run are. A slow or silent
// server can hold such a wait for seconds, so the window may give up on a
// worker that is in one: after a Cancel, or when one read of a body has
// waited too long. The run then ends at once, and the worker, when its wait
// is over, stops there and never goes on; the process ends around it.
//
// Shared by the window and the worker (the worker may outlive the window).
#pragma once
#include <atomic>
#include <cstdint>

class CServerWaits {
 public:
  enum class Kind { kResponse, kBody };

  // Worker: around each wait on the server, `tick` the millisecond tick at
  // its start. Leave does not return once the worker was given up.
  void Enter(Kind kind, std::uint32_t tick) {
    kind_.store(kind);
    since_.store(tick);
    state_.store(kWaiting);
  }
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
  // Window: gives up on the worker when it has waited at least `limitMs`
  // for one read of a body (ticks wrap at 2^32).
  bool GiveUpBodyWaitLongerThan(std::uint32_t now, std::uint32_t limitMs) {
    if (state_.load() != kWaiting || kind_.load() != Kind::kBody) return false;
    if (static_cast<std::uint32_t>(now - since_.load()) < limitMs) return false;
    int expected = kWaiting;
    return state_.compare_exchange_strong(expected, kGivenUp);
  }

 private:
  enum : int { kWorking, kWaiting, kGivenUp };
  std::atomic<int> state_{kWorking};
  std::atomic<Kind> kind_{Kind::kResponse};
  std::atomic<std::uint32_t> since_{0};
};

// The worker's side as a scope: Enter on construction, Leave at its end. A
// null `waits` gates nothing.
class CServerWait {
 public:
  CServerWait(CServerWaits* waits, CServerWaits::Kind kind, std::uint32_t tick) : waits_(waits) {
    if (waits_) waits_->Enter(kind, tick);
  }
  ~CServerWait() {
    if (waits_) waits_->Leave();
  }
  CServerWait(const CServerWait&) = delete;
  CServerWait& operator=(const CServerWait&) = delete;

 private:
  CServerWaits* waits_;
};
