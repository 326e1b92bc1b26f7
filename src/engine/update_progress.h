// What an update run shows while it works, as one small interface: the
// run (worker thread) calls it; the update dialog implements it by handing
// each change to its own thread, and tests implement it by recording.
// Implementations must not block the caller on a window.
#pragma once
#include <cstdint>
#include <string>

class IUpdateProgress {
 public:
  virtual ~IUpdateProgress() = default;
  // The status line.
  virtual void SetStatus(const std::wstring& text) = 0;
  // The file label ("NAME from SERVER") and the file's name, which the
  // window title carries with the percentage.
  virtual void SetFileLabel(const std::wstring& label, const std::wstring& fileName) = 0;
  // The file bar's range, in KiB, for a transfer of known size.
  virtual void SetFileRange(std::uint64_t upperKiB) = 0;
  // The file bar at `barPosition` KiB, the title at `percent`: called only
  // when the whole percentage changed.
  virtual void SetPercentage(unsigned percent, std::uint32_t barPosition) = 0;
  // Kilobytes per second.
  virtual void SetTransferRate(double rate) = 0;
  virtual void SetTimeLeft(std::uint32_t seconds, std::uint64_t bytesSoFar, std::uint64_t size) = 0;
  virtual void SetTotalLabel(const std::wstring& text) = 0;
  virtual void SetTotalRange(int lower, int upper) = 0;
  virtual void SetTotalPosition(int position) = 0;
  // The window that owns the platform's credentials dialog on a 401/407;
  // null for none (the desktop). Any thread.
  virtual void* AuthOwner() const = 0;
};
