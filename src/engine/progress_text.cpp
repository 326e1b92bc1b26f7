#include "engine/progress_text.h"

#include <cstdio>

#include "engine/engine_strings.h"
#include "engine_resource.h"

namespace {

std::wstring Printf(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return std::wstring(buffer, buffer + std::char_traits<char>::length(buffer));
}

std::wstring Decimal(std::uint64_t value) { return std::to_wstring(value); }

}  // namespace

std::wstring FormatByteAmount(std::uint64_t bytes) {
  if (bytes >= 1048576)
    return FormatEngineString(IDS_HTTPDOWNLOAD_MEGABYTES, Printf("%0.2f", static_cast<double>(bytes) / 1048576.0));
  if (bytes >= 1024)
    return FormatEngineString(IDS_HTTPDOWNLOAD_KILOBYTES, Printf("%0.1f", static_cast<double>(bytes) / 1024.0));
  return FormatEngineString(IDS_HTTPDOWNLOAD_BYTES, Decimal(bytes));
}

std::wstring FormatTimeLeft(std::uint32_t seconds, std::uint64_t bytesSoFar, std::uint64_t size) {
  const std::wstring amount =
      FormatEngineString(IDS_HTTPDOWNLOAD_OF, FormatByteAmount(bytesSoFar), FormatByteAmount(size));
  std::wstring time;
  if (seconds > 59) {
    const std::uint32_t minutes = seconds / 60;
    const std::uint32_t rest = seconds % 60;
    time = rest != 0 ? FormatEngineString(IDS_HTTPDOWNLOAD_MINUTES_AND_SECONDS, Decimal(minutes), Decimal(rest))
                     : FormatEngineString(IDS_HTTPDOWNLOAD_MINUTES, Decimal(minutes));
  } else {
    time = FormatEngineString(IDS_HTTPDOWNLOAD_SECONDS, Decimal(seconds));
  }
  return FormatEngineString(IDS_HTTPDOWNLOAD_TIMELEFT, time, amount);
}

std::wstring FormatTransferRate(double kilobytesPerSecond) {
  if (kilobytesPerSecond < 1.0)
    return FormatEngineString(IDS_HTTPDOWNLOAD_BYTESPERSECOND, Printf("%0.0f", kilobytesPerSecond * 1024.0));
  if (kilobytesPerSecond < 10.0)
    return FormatEngineString(IDS_HTTPDOWNLOAD_KILOBYTESPERSECOND, Printf("%0.2f", kilobytesPerSecond));
  return FormatEngineString(IDS_HTTPDOWNLOAD_KILOBYTESPERSECOND, Printf("%0.0f", kilobytesPerSecond));
}

std::wstring FormatWindowTitle(unsigned percent, const std::wstring& fileLabel) {
  return L"Vireo PACS Updater - " + FormatEngineString(IDS_HTTPDOWNLOAD_PERCENTAGE, Decimal(percent), fileLabel);
}

std::wstring FormatTotalLabel(std::size_t done, std::size_t count) {
  return L"Total : " + Decimal(done) + L"/" + Decimal(count);
}

ProgressChange StepProgress(ProgressCounters& counters, std::uint32_t now, std::uint64_t bytesSoFar, bool sizeKnown,
                            std::uint64_t size, std::uint32_t textInterval) {
  ProgressChange change;
  if (sizeKnown && size != 0) {
    const unsigned percent = static_cast<unsigned>(static_cast<double>(bytesSoFar) * 100.0 / static_cast<double>(size));
    if (percent != counters.lastPercent) {
      change.percentChanged = true;
      change.percent = percent;
      change.barPosition = static_cast<std::uint32_t>(bytesSoFar / 1024);
      counters.lastPercent = percent;
    }
  }
  const std::uint32_t elapsed = now - counters.lastTick;
  if (elapsed == 0 || elapsed < textInterval) return change;

  change.rateChanged = true;
  change.rate = static_cast<double>(bytesSoFar - counters.lastBytes) / static_cast<double>(elapsed);
  counters.lastTick = now;
  counters.lastBytes = bytesSoFar;

  if (sizeKnown && bytesSoFar > counters.startBytes && size >= bytesSoFar) {
    // The average pace since the start, applied to what is still to come,
    // in whole seconds rounded up: "0 sec" only once nothing remains. (Cut
    // down instead, a transfer with most of a second to go read "0 sec".)
    // Exact integers, so that a pace landing on whole seconds stays there.
    const std::uint64_t sinceStart = static_cast<std::uint32_t>(now - counters.startTick);
    const unsigned __int128 numerator = static_cast<unsigned __int128>(sinceStart) * (size - bytesSoFar);
    const unsigned __int128 denominator = static_cast<unsigned __int128>(bytesSoFar - counters.startBytes) * 1000u;
    const unsigned __int128 seconds = (numerator + denominator - 1) / denominator;
    change.timeLeftChanged = true;
    change.secondsLeft = seconds >= 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(seconds);
  }
  return change;
}

unsigned TotalPercent(std::uint64_t fetched, std::uint64_t total, std::size_t done, std::size_t count) {
  double percent = 0.0;
  if (total != 0) {
    percent = static_cast<double>(fetched) * 100.0 / static_cast<double>(total);
  } else if (count != 0) {
    percent = static_cast<double>(done) * 100.0 / static_cast<double>(count);
  }
  if (percent > 100.0) percent = 100.0;
  return static_cast<unsigned>(percent);
}
