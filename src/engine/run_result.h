// What the steps of an update run return: a byte count or the failure that
// ends the run (with the error box's text), how a run ended, and the
// cancellation signal that a step raises when it finds the abort flag set.
#pragma once
#include <atomic>
#include <cstdint>
#include <exception>
#include <string>

// The cancellation signal: raised on the run's thread when the abort flag is
// found set, caught only where the run ends (RunUpdate, or a test).
class CAbortSignal : public std::exception {
 public:
  const char* what() const noexcept override { return "abort"; }
};

// Raises the cancellation signal when `abort` is set.
inline void CheckAbort(const std::atomic<bool>& abort) {
  if (abort.load()) throw CAbortSignal();
}

// The result of a step that moves a file: its byte count, or the failure
// that ends the run, with the text the error box shows.
struct FetchResult {
  std::int64_t bytes = 0;  // -1 when failed
  std::wstring error;
  bool Failed() const { return bytes < 0; }
  static FetchResult Bytes(std::uint64_t count) { return FetchResult{static_cast<std::int64_t>(count), {}}; }
  static FetchResult Failure(std::wstring text) { return FetchResult{-1, std::move(text)}; }
};

// The failure for string resource `id` with %1 = code (0: the thread's last
// platform error).
FetchResult ReportError(unsigned id, std::uint32_t code);

// How a run ended.
enum class RunEnd { kDone, kCancelled, kFailed };
struct RunOutcome {
  RunEnd end = RunEnd::kDone;
  std::wstring error;  // the error box's text when kFailed
};
