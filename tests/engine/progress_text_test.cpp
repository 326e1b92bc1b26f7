// The dialog's texts and the per-read progress bookkeeping.
#include <gtest/gtest.h>

#include "engine/engine_strings.h"
#include "engine/progress_text.h"
#include "engine_resource.h"

TEST(EngineProgressText, AmountsRatesAndTimes) {
  struct AmountCase {
    std::uint64_t bytes;
    const wchar_t* text;
  };
  const AmountCase amounts[] = {
      {0, L"0 Bytes"},           {1023, L"1023 Bytes"},       {1024, L"1.0 KB"},
      {1536, L"1.5 KB"},         {1048575, L"1024.0 KB"},     {1048576, L"1.00 MB"},
      {1536000, L"1.46 MB"},     {3072000, L"2.93 MB"},       {5368709120ull, L"5120.00 MB"},
  };
  for (const auto& c : amounts) EXPECT_EQ(FormatByteAmount(c.bytes), c.text) << c.bytes;

  struct RateCase {
    double rate;
    const wchar_t* text;
  };
  const RateCase rates[] = {
      {0.0, L"0 Bytes/Sec"}, {0.5, L"512 Bytes/Sec"}, {0.999, L"1023 Bytes/Sec"}, {1.0, L"1.00 KB/Sec"},
      {5.25, L"5.25 KB/Sec"}, {9.999, L"10.00 KB/Sec"}, {10.0, L"10 KB/Sec"},      {42.6, L"43 KB/Sec"},
  };
  for (const auto& c : rates) EXPECT_EQ(FormatTransferRate(c.rate), c.text) << c.rate;

  struct TimeCase {
    std::uint32_t seconds;
    const wchar_t* text;
  };
  const TimeCase times[] = {
      {0, L"0 sec (1.46 MB of 2.93 MB copied)"},
      {10, L"10 sec (1.46 MB of 2.93 MB copied)"},
      {59, L"59 sec (1.46 MB of 2.93 MB copied)"},
      {60, L"1 min (1.46 MB of 2.93 MB copied)"},
      {61, L"1 min 1 sec (1.46 MB of 2.93 MB copied)"},
      {120, L"2 min (1.46 MB of 2.93 MB copied)"},
      {3725, L"62 min 5 sec (1.46 MB of 2.93 MB copied)"},
  };
  for (const auto& c : times) EXPECT_EQ(FormatTimeLeft(c.seconds, 1536000, 3072000), c.text) << c.seconds;

  EXPECT_EQ(FormatWindowTitle(42, L"core.dll"), L"Vireo PACS Updater - 42% of core.dll Completed");
  EXPECT_EQ(FormatWindowTitle(0, L""), L"Vireo PACS Updater - 0% of  Completed");
  EXPECT_EQ(FormatTotalLabel(2, 3), L"Total : 2/3");
}

TEST(EngineProgressText, PlaceholdersAndStringTable) {
  EXPECT_EQ(FillPlaceholders(L"%1 of %2", L"a", L"b"), L"a of b");
  EXPECT_EQ(FillPlaceholders(L"%2%1%%3%", L"x", L"y"), L"yx%%3%");
  EXPECT_EQ(FillPlaceholders(L"Error:%1", L"%2", L"no"), L"Error:%2");  // inserts are not scanned again
  EXPECT_EQ(FormatEngineString(IDS_HTTPDOWNLOAD_ERROR_READFILE, L"12002"),
            L"An error occurred while downloading the file, Error:12002");
  EXPECT_EQ(LoadEngineString(9999), L"");
  // The texts this build loads are the built-in ones, id by id (on Windows:
  // the resource compiler and the C++ compiler read engine_strings.inc alike,
  // escapes included).
  for (unsigned id = 100; id < 140; ++id) {
    const wchar_t* builtIn = BuiltInEngineString(id);
    EXPECT_EQ(LoadEngineString(id), builtIn ? builtIn : L"") << id;
  }
  EXPECT_EQ(LoadEngineString(IDS_HTTPDOWNLOAD_OK_TO_OVERWRITE),
            L"The file '%1' already exists.\nDo you want to replace it?");
}

TEST(EngineProgressText, StepProgressRedrawsOnlyWhatChanged) {
  ProgressCounters counters;
  counters.startTick = counters.lastTick = 1000;
  const std::uint64_t size = 3072000;

  // 1 % after the first reads, within the start tick: bar only.
  // Every tick may update the texts here; the updater's own interval is
  // checked at the end.
  ProgressChange change = StepProgress(counters, 1000, 30720, true, size, 0);
  EXPECT_TRUE(change.percentChanged);
  EXPECT_EQ(change.percent, 1u);
  EXPECT_EQ(change.barPosition, 30u);
  EXPECT_FALSE(change.rateChanged);
  EXPECT_FALSE(change.timeLeftChanged);

  // Same percentage, a new tick: rate and time left, not the bar.
  change = StepProgress(counters, 1010, 31744, true, size, 0);
  EXPECT_FALSE(change.percentChanged);
  EXPECT_TRUE(change.rateChanged);
  EXPECT_DOUBLE_EQ(change.rate, (31744.0 - 0.0) / 10.0);
  EXPECT_TRUE(change.timeLeftChanged);

  // Half way, 10 s after the start: 10 seconds left.
  change = StepProgress(counters, 11000, 1536000, true, size, 0);
  EXPECT_TRUE(change.percentChanged);
  EXPECT_EQ(change.percent, 50u);
  EXPECT_EQ(change.barPosition, 1500u);
  EXPECT_EQ(change.secondsLeft, 10u);
  EXPECT_EQ(counters.lastBytes, 1536000u);

  // Two reads in the same millisecond: the second changes nothing.
  change = StepProgress(counters, 11000, 1537000, true, size, 0);
  EXPECT_FALSE(change.percentChanged);
  EXPECT_FALSE(change.rateChanged);

  // Unknown size: rate only; the tick counter wrapping keeps the difference.
  ProgressCounters wrap;
  wrap.startTick = wrap.lastTick = 0xFFFFFFF0u;
  change = StepProgress(wrap, 0x10u, 64000, false, 0, 0);
  EXPECT_FALSE(change.percentChanged);
  EXPECT_TRUE(change.rateChanged);
  EXPECT_DOUBLE_EQ(change.rate, 64000.0 / 32.0);
  EXPECT_FALSE(change.timeLeftChanged);

  // More than 4 GiB: the percentage and the bar in KiB stay right.
  ProgressCounters big;
  const std::uint64_t huge = 6ull << 30;
  change = StepProgress(big, 5, 3ull << 30, true, huge);
  EXPECT_EQ(change.percent, 50u);
  EXPECT_EQ(change.barPosition, 3u << 20);

  // The updater's interval: texts wait until it has passed, and the rate is
  // the average since the last text update.
  ProgressCounters paced;
  paced.startTick = paced.lastTick = 0;
  EXPECT_FALSE(StepProgress(paced, 100, 1000, false, 0).rateChanged);
  EXPECT_FALSE(StepProgress(paced, kProgressTextIntervalMs - 1, 2000, false, 0).rateChanged);
  change = StepProgress(paced, kProgressTextIntervalMs, 2500, false, 0);
  EXPECT_TRUE(change.rateChanged);
  EXPECT_DOUBLE_EQ(change.rate, 2500.0 / kProgressTextIntervalMs);
  EXPECT_FALSE(StepProgress(paced, kProgressTextIntervalMs + 1, 2600, false, 0).rateChanged);
}

TEST(EngineProgressText, TimeLeftRoundsUpWhileBytesRemain) {
  struct Case {
    std::uint32_t elapsedMs;
    std::uint64_t bytesSoFar, size;
    std::uint32_t seconds;
  };
  const Case cases[] = {
      {10000, 1536000, 3072000, 10},  // half way after 10 s: exactly 10 more
      {10001, 1536000, 3072000, 11},  // a little over is the next second
      {420, 166912, 312627, 1},       // most of a second to go is not "0 sec"
      {3000, 1, 2, 3},
      {5000, 3072000, 3072000, 0},    // nothing left
      {1000, 1, 6ull << 30, 0xFFFFFFFFu},  // beyond the counter: held at its top
  };
  for (const auto& c : cases) {
    ProgressCounters counters;
    counters.startTick = counters.lastTick = 0xFFFFFF00u;  // across the tick counter's wrap
    const ProgressChange change = StepProgress(counters, 0xFFFFFF00u + c.elapsedMs, c.bytesSoFar, true, c.size, 0);
    ASSERT_TRUE(change.timeLeftChanged) << c.elapsedMs << " " << c.bytesSoFar;
    EXPECT_EQ(change.secondsLeft, c.seconds) << c.elapsedMs << " ms, " << c.bytesSoFar << " of " << c.size;
  }
}

TEST(EngineProgressText, TotalPercent) {
  struct Case {
    std::uint64_t fetched, total;
    std::size_t done, count;
    unsigned percent;
  };
  const Case cases[] = {
      {100, 400, 1, 3, 25},
      {200, 400, 2, 3, 50},
      {400, 400, 3, 3, 100},
      {3ull << 30, 6ull << 30, 1, 2, 50},   // past 2 GiB
      {0, 0, 1, 3, 33},                     // sizes unknown: by file count
      {0, 0, 3, 3, 100},
      {0, 0, 0, 0, 0},
      {500, 400, 3, 3, 100},                // more than the sizes promised
  };
  for (const auto& c : cases)
    EXPECT_EQ(TotalPercent(c.fetched, c.total, c.done, c.count), c.percent) << c.fetched << "/" << c.total;
}
