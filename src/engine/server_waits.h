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
    // A new wait gets a new number: the window's look at an earlier one
    // cannot give up this one.
    state_.store(Make(Wait(state_.load()) + 1, kWaiting));
  }
  void Leave() {
    std::uint32_t expected = state_.load();
    if (Phase(expected) == kWaiting && state_.compare_exchange_strong(expected, Make(Wait(expected), kWorking)))
      return;
    for (;;) state_.wait(expected);  // given up: that state is final
  }

  // Window: gives up on the worker when it is in a wait on the server (or
  // was given up before). False while it is doing anything else: it then
  // sees the abort flag at its next check and ends by itself.
  bool GiveUp() {
    std::uint32_t seen = state_.load();
    for (;;) {
      if (Phase(seen) == kGivenUp) return true;
      if (Phase(seen) != kWaiting) return false;
      if (state_.compare_exchange_strong(seen, Make(Wait(seen), kGivenUp))) return true;
    }
  }
  // Window: gives up on the worker when it has waited at least `limitMs`
  // for one read of a body, or (with `responses`) for a response (ticks
  // wrap at 2^32); *kind (may be null) is the kind given up. The kind and
  // start read here belong to the wait seen first: the worker writes them
  // before it enters the next wait, and entering it changes the state, so
  // giving up fails when the wait looked at is over.
  bool GiveUpWaitLongerThan(std::uint32_t now, std::uint32_t limitMs, bool responses, Kind* kind = nullptr) {
    std::uint32_t seen = state_.load();
    const Kind waiting = kind_.load();
    if (Phase(seen) != kWaiting || (waiting != Kind::kBody && !responses)) return false;
    if (static_cast<std::uint32_t>(now - since_.load()) < limitMs) return false;
    if (!state_.compare_exchange_strong(seen, Make(Wait(seen), kGivenUp))) return false;
    if (kind) *kind = waiting;
    return true;
  }

 private:
  // The state: the number of the worker's latest wait, and its phase in the
  // low two bits.
  enum : std::uint32_t { kWorking, kWaiting, kGivenUp };
  static std::uint32_t Phase(std::uint32_t state) { return state & 3u; }
  static std::uint32_t Wait(std::uint32_t state) { return state >> 2; }
  static std::uint32_t Make(std::uint32_t wait, std::uint32_t phase) { return (wait << 2) | phase; }

  std::atomic<std::uint32_t> state_{kWorking};
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
