// What the update dialog shows while a file transfers: byte amounts, time
// left, transfer rate, the window title and the total label, and the
// bookkeeping that decides after each read what has to be redrawn.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// "n Bytes", "n.n KB" or "n.nn MB" (1,024 and 1,048,576 being the steps).
std::wstring FormatByteAmount(std::uint64_t bytes);
// "1 min 1 sec (1.46 MB of 2.93 MB copied)": the time-left text.
std::wstring FormatTimeLeft(std::uint32_t seconds, std::uint64_t bytesSoFar, std::uint64_t size);
// The rate text for kilobytes per second: below 1 in bytes per second.
std::wstring FormatTransferRate(double kilobytesPerSecond);
// "Vireo PACS Updater - 42% of NAME Completed".
std::wstring FormatWindowTitle(unsigned percent, const std::wstring& fileLabel);
// "Total : done/count".
std::wstring FormatTotalLabel(std::size_t done, std::size_t count);

// The counters one transfer keeps between reads. Ticks are the millisecond
// tick counter, which wraps at 2^32; differences are taken modulo 2^32.
struct ProgressCounters {
  std::uint32_t startTick = 0;
  std::uint32_t lastTick = 0;
  std::uint64_t lastBytes = 0;
  // Bytes already there when the transfer began (a resumed file): they
  // count for the bar, not for the pace.
  std::uint64_t startBytes = 0;
  unsigned lastPercent = 0;
};

// What changed after a read: the caller redraws only what is flagged.
struct ProgressChange {
  bool percentChanged = false;
  unsigned percent = 0;
  std::uint32_t barPosition = 0;  // KiB so far, for the file bar
  bool rateChanged = false;
  double rate = 0.0;  // kilobytes per second (bytes per millisecond)
  bool timeLeftChanged = false;
  std::uint32_t secondsLeft = 0;
};

// The shortest time between two updates of the rate and time-left texts.
// Each update is a synchronous call into the dialog's thread, which costs
// about as much as several reads; four a second are plenty to read.
inline constexpr std::uint32_t kProgressTextIntervalMs = 250;

// Advances the counters for a read that brought the transfer to bytesSoFar
// at tick now. The percentage (and the bar) change only when the whole
// percentage does; rate and time left when the tick has moved on by at least
// `textInterval` ms (and never twice in one tick), the rate being the average
// since the last such update.
ProgressChange StepProgress(ProgressCounters& counters, std::uint32_t now, std::uint64_t bytesSoFar, bool sizeKnown,
                            std::uint64_t size, std::uint32_t textInterval = kProgressTextIntervalMs);

// Position of a module's total bar (0..100) after `done` of `count` files
// with `fetched` of `total` bytes. With a total of 0 (sizes unknown) the bar
// follows the file count instead.
unsigned TotalPercent(std::uint64_t fetched, std::uint64_t total, std::size_t done, std::size_t count);
