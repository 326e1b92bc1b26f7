// The platform seam behaves alike on both builds: Windows error numbers,
// Windows' rules for read-only files and moves, the fault seam, time fields.
#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <functional>
#include <thread>
#include <vector>

#include "common/test_files.h"
#include "platform/case_fold.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/http.h"
#include "platform/text.h"

using namespace Platform;
using TestFiles::CTempDir;

namespace {

// Sets a sentinel last error, runs the call and returns its result and error.
template <typename F>
std::pair<bool, ErrorCode> Call(F&& f) {
  SetLastErrorCode(0xDEADBEEF);
  const bool ok = f();
  return {ok, ok ? 0u : LastError()};
}

}  // namespace

TEST(PlatformFile, WriteSeekReadRoundTrip) {
  CTempDir dir;
  CFile out;
  ASSERT_TRUE(out.Create(dir / L"a.bin"));
  ASSERT_TRUE(out.Write("hello world", 11));
  std::uint64_t pos = 0;
  ASSERT_TRUE(out.Seek(6, SeekFrom::Begin, &pos));
  EXPECT_EQ(pos, 6u);
  ASSERT_TRUE(out.Write("WORLD", 5));
  out.Close();

  CFile in;
  ASSERT_TRUE(in.OpenRead(dir / L"a.bin"));
  std::uint64_t size = 0;
  ASSERT_TRUE(in.GetSize(&size));
  EXPECT_EQ(size, 11u);
  char buf[32];
  std::size_t got = 0;
  ASSERT_TRUE(in.Read(buf, sizeof buf, &got));
  EXPECT_EQ(std::string(buf, got), "hello WORLD");
  ASSERT_TRUE(in.Read(buf, sizeof buf, &got));
  EXPECT_EQ(got, 0u);
}

TEST(PlatformFile, FailuresCarryWindowsErrorNumbers) {
  CTempDir dir;
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"file.txt", "x"));
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"other.txt", "y"));
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"ro.txt", "r"));
  ASSERT_TRUE(SetAttributes(dir / L"ro.txt", kAttrReadOnly));

  struct Case {
    const char* what;
    std::function<bool()> call;
    ErrorCode expected;
  } cases[] = {
      {"open missing file", [&] { CFile f; return f.OpenRead(dir / L"nope.txt"); }, kErrorFileNotFound},
      {"open in missing folder", [&] { CFile f; return f.OpenRead(dir / L"no\\such.txt"); }, kErrorPathNotFound},
      {"create in missing folder", [&] { CFile f; return f.Create(dir / L"no\\such.txt"); }, kErrorPathNotFound},
      {"create new over existing", [&] { CFile f; return f.Create(dir / L"file.txt", kShareRead, CreateMode::CreateNew); }, kErrorFileExists},
      {"write-open read-only file", [&] { CFile f; return f.Create(dir / L"ro.txt"); }, kErrorAccessDenied},
      {"delete read-only file", [&] { return RemoveFile(dir / L"ro.txt"); }, kErrorAccessDenied},
      {"delete missing file", [&] { return RemoveFile(dir / L"nope.txt"); }, kErrorFileNotFound},
      {"move onto existing", [&] { return MoveItem(dir / L"file.txt", dir / L"other.txt"); }, kErrorAlreadyExists},
      {"copy onto existing without replace", [&] { return CopyItem(dir / L"file.txt", dir / L"other.txt", false); }, kErrorFileExists},
      {"copy over read-only", [&] { return CopyItem(dir / L"file.txt", dir / L"ro.txt", true); }, kErrorAccessDenied},
      {"make existing folder", [&] { return MakeDirectory(dir.Path()); }, kErrorAlreadyExists},
      {"make folder in missing parent", [&] { return MakeDirectory(dir / L"a\\b"); }, kErrorPathNotFound},
  };
  for (const auto& c : cases) {
    const auto [ok, error] = Call(c.call);
    EXPECT_FALSE(ok) << c.what;
    EXPECT_EQ(error, c.expected) << c.what;
  }
  // Nothing above changed the files.
  EXPECT_EQ(TestFiles::ReadOrMissing(dir / L"ro.txt"), "r");
  EXPECT_EQ(TestFiles::ReadOrMissing(dir / L"other.txt"), "y");
  ASSERT_TRUE(SetAttributes(dir / L"ro.txt", kAttrNormal));
}

TEST(PlatformFile, AttributesTimesCopyMoveAndListing) {
  CTempDir dir;
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"a.txt", "abc"));
  std::uint32_t attrs = 0;
  ASSERT_TRUE(GetAttributes(dir / L"a.txt", &attrs));
  EXPECT_EQ(attrs & (kAttrReadOnly | kAttrDirectory), 0u);
  ASSERT_TRUE(GetAttributes(dir.Path(), &attrs));
  EXPECT_NE(attrs & kAttrDirectory, 0u);

  // 2024-03-01 00:05:00 UTC, with a 100 ns remainder that must survive.
  const std::uint64_t when = 133537251000000000ULL + 1234567;
  ASSERT_TRUE(SetFileTimes(dir / L"a.txt", FileTimes{0, when, when}));
  FileTimes times;
  ASSERT_TRUE(GetFileTimes(dir / L"a.txt", &times));
  EXPECT_EQ(times.lastWrite, when);

  ASSERT_TRUE(CopyItem(dir / L"a.txt", dir / L"b.txt", false));
  ASSERT_TRUE(GetFileTimes(dir / L"b.txt", &times));
  EXPECT_EQ(times.lastWrite, when);
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"c.txt", "old"));
  ASSERT_TRUE(CopyItem(dir / L"a.txt", dir / L"c.txt", true));
  EXPECT_EQ(TestFiles::ReadOrMissing(dir / L"c.txt"), "abc");

  ASSERT_TRUE(MakeDirectory(dir / L"sub"));
  ASSERT_TRUE(MoveItem(dir / L"b.txt", dir / L"sub\\moved.txt"));
  EXPECT_FALSE(PathExists(dir / L"b.txt"));
  EXPECT_TRUE(IsDirectory(dir / L"sub"));
  EXPECT_FALSE(IsDirectory(dir / L"sub\\moved.txt"));

  std::vector<DirectoryEntry> entries;
  ASSERT_TRUE(ListDirectory(dir.Path(), &entries));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, L"a.txt");
  EXPECT_EQ(entries[1].name, L"c.txt");
  EXPECT_EQ(entries[2].name, L"sub");
  EXPECT_TRUE(entries[2].isDirectory);
}

TEST(PlatformFault, NthCallFailsOnceWithTheGivenError) {
  CTempDir dir;
  FailNthCall("Write", 2, kErrorDiskFull);
  CFile f;
  ASSERT_TRUE(f.Create(dir / L"x"));
  EXPECT_TRUE(f.Write("a", 1));
  SetLastErrorCode(0);
  EXPECT_FALSE(f.Write("b", 1));
  EXPECT_EQ(LastError(), kErrorDiskFull);
  EXPECT_TRUE(f.Write("c", 1));
  EXPECT_EQ(CallCount("Write"), 3);
  f.Close();
  EXPECT_EQ(TestFiles::ReadOrMissing(dir / L"x"), "ac");
  ClearFaults();
}

TEST(PlatformFault, ThreadsRacingForTheNthCallSeeOneFailure) {
  CTempDir dir;
  constexpr int kThreads = 4;
  constexpr int kWrites = 200;
  FailNthCall("Write", kThreads * kWrites / 2, kErrorDiskFull);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      CFile f;
      if (!f.Create(dir / (L"t" + std::to_wstring(t)))) return;
      for (int i = 0; i < kWrites; ++i) {
        if (!f.Write("x", 1)) failures.fetch_add(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 1);
  EXPECT_EQ(CallCount("Write"), kThreads * kWrites);
  ClearFaults();
}

TEST(PlatformClock, FileTimeFieldsBothWays) {
  struct Case {
    std::uint64_t fileTime;
    SystemTime fields;
  } cases[] = {
      {0, {1601, 1, 1, 1, 0, 0, 0, 0}},
      {116444736000000000ULL, {1970, 1, 4, 1, 0, 0, 0, 0}},
      {133537251000000000ULL + 1230000, {2024, 3, 5, 1, 0, 5, 0, 123}},
      {125911584000000000ULL, {2000, 1, 6, 1, 0, 0, 0, 0}},
      {125962560000000000ULL, {2000, 2, 2, 29, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SystemTime f;
    ASSERT_TRUE(FileTimeToFields(c.fileTime, &f)) << c.fileTime;
    EXPECT_EQ(f.year, c.fields.year);
    EXPECT_EQ(f.month, c.fields.month);
    EXPECT_EQ(f.day, c.fields.day);
    EXPECT_EQ(f.dayOfWeek, c.fields.dayOfWeek) << c.fileTime;
    EXPECT_EQ(f.hour, c.fields.hour);
    EXPECT_EQ(f.minute, c.fields.minute);
    EXPECT_EQ(f.milliseconds, c.fields.milliseconds);
    std::uint64_t back = 0;
    ASSERT_TRUE(FieldsToFileTime(c.fields, &back));
    EXPECT_EQ(back, c.fileTime - c.fileTime % 10000);
  }
  std::uint64_t out;
  EXPECT_FALSE(FieldsToFileTime(SystemTime{2023, 2, 0, 29, 0, 0, 0, 0}, &out));
  EXPECT_FALSE(FieldsToFileTime(SystemTime{2024, 13, 0, 1, 0, 0, 0, 0}, &out));
}

TEST(PlatformText, CodePagesAndUtf8) {
  const char bytes[] = "A\x80\xE9\x9F\x81";
  EXPECT_EQ(AnsiToWide(bytes, 5), std::wstring(L"A\u20AC\u00E9\u0178\u0081"));
  std::string encoded;
  ASSERT_TRUE(WideToCodePage(L"A\u20AC\u00E9", 1252, &encoded));
  EXPECT_EQ(encoded, "A\x80\xE9");
  EXPECT_FALSE(WideToCodePage(L"\u4E2D", 1252, &encoded));
  const std::wstring pair = {0xD83D, 0xDE00};
  EXPECT_EQ(ToUtf8(pair), "\xF0\x9F\x98\x80");
  EXPECT_EQ(FromUtf8("\xF0\x9F\x98\x80"), pair);
  EXPECT_EQ(FromUtf8("a\xC3"), std::wstring(L"a\uFFFD"));
}

TEST(PlatformText, CaseFoldCoversNonAsciiLetters) {
  struct Case {
    std::wstring a, b;
    bool equal;
  };
  const Case cases[] = {
      {L"setup.DLL", L"SETUP.dll", true},
      {L"\u00E9.dll", L"\u00C9.DLL", true},            // é, É
      {L"\u00FF", L"\u0178", true},                    // ÿ, Ÿ
      {L"\u0161\u017E", L"\u0160\u017D", true},       // š ž, Latin Extended-A
      {L"\u0436\u0451", L"\u0416\u0401", true},       // жё, ЖЁ
      {L"\u03C3\u03AC", L"\u03A3\u0386", true},       // σά, ΣΆ
      {L"stra\u00DFe", L"STRASSE", false},              // ß has no one-unit upper case
      {L"\u00E9", L"E", false},
      {L"a", L"ab", false},
      {L"\u00D7", L"\u00F7", false},                    // × and ÷ are no pair
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.a) + " / " + ToUtf8(c.b));
    EXPECT_EQ(EqualsIgnoringCase(c.a, c.b), c.equal);
    EXPECT_EQ(FoldCase(c.a) == FoldCase(c.b), c.equal);
    EXPECT_EQ(FoldCase(c.a).size(), c.a.size());
  }
  EXPECT_EQ(FoldCase(L"\u00E9t\u00E9 \u00DF \u0436 z1"), std::wstring(L"\u00C9T\u00C9 \u00DF \u0416 Z1"));
}

TEST(PlatformHttp, ValidatorsAreKeptOnlyInTheirStandardForm) {
  const struct {
    std::wstring text;
    bool ok;
  } cases[] = {
      {L"\"5f1a-3c9\"", true},
      {L"\"\"", true},                                  // an empty tag is still a tag
      {L"Sun, 06 Nov 1994 08:49:37 GMT", true},
      {std::wstring(kMaxValidatorLength, L'a'), true},
      {std::wstring(kMaxValidatorLength + 1, L'a'), false},
      {L"\"a\rb\"", false},
      {L"\"a\nb\"", false},
      {L"\"a\tb\"", false},
      {L"\"a b\"", false},                              // no space in a tag
      {L"\"a\"b\"", false},
      {L"\"open", false},
      {L"\"", false},
      {L"\"caf\u00E9\"", false},
      {L"Sun,  06 Nov", false},                         // double space
      {L" Sun", false},
      {L"Sun ", false},
      {L"a\x7F", false},
      {L"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsStandardValidator(c.text), c.ok) << ToUtf8(c.text);
  }
}

TEST(PlatformHttp, CredentialsOverPlainHttpOnlyForSchemesThatHideThePassword) {
  const struct {
    std::vector<std::wstring> challenges;
    bool allowed;
  } cases[] = {
      {{L"Basic realm=\"updates\""}, false},
      {{L"basic realm=\"a\""}, false},
      {{L"NTLM"}, true},
      {{L"Negotiate", L"NTLM"}, true},
      {{L"Negotiate YIIBhwYGKwYBBQUCoIIBezCCAXeg=="}, true},
      {{L"Digest realm=\"x, Basic y\", nonce=\"abc\", qop=\"auth\""}, true},  // Basic inside a quote
      {{L"Digest realm=\"x\", Basic realm=\"x\""}, false},                  // both: Basic may be picked
      {{L"NTLM", L"Basic realm=\"x\""}, false},
      {{L"Bearer realm=\"x\""}, false},
      {{L"basic=1, ntlm=2"}, false},                                         // parameters, no schemes
      {{}, false},
  };
  for (const auto& c : cases) {
    std::string label;
    for (const auto& v : c.challenges) label += ToUtf8(v) + " | ";
    EXPECT_EQ(AllowsCredentialsOverHttp(c.challenges), c.allowed) << label;
  }
}

TEST(PlatformHttp, RefusalsNameTheirAddresses) {
  HttpFailure leaves{HttpStep::kSend, kErrorRedirectLeavesHttps, HttpCause::kRedirectLeavesHttps,
                     L"https://localhost:8443/update.xml", L"http://127.0.0.1:8080/update.xml"};
  EXPECT_EQ(DescribeHttpFailure(leaves),
            L"Redirect refused: https://localhost:8443/update.xml redirects to http://127.0.0.1:8080/update.xml, "
            L"which leaves https");
  HttpFailure password{HttpStep::kSend, kErrorAccessDenied, HttpCause::kPasswordInClear, L"http://h/update.xml", L""};
  EXPECT_NE(DescribeHttpFailure(password).find(L"http://h/update.xml"), std::wstring::npos);
  EXPECT_NE(DescribeHttpFailure(password).find(L"https address"), std::wstring::npos);
  HttpFailure platform;
  platform.step = HttpStep::kSend;
  platform.code = 12029;
  EXPECT_EQ(DescribeHttpFailure(platform), L"");
}

TEST(PlatformHttp, TransferPaceFailsOnlyAWholeSlowWindow) {
  // Reads as (tick, total bytes); the pace starts at tick `start`.
  struct Case {
    const char* label;
    std::uint32_t start;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> reads;
    bool ok;  // after the last read
  };
  const Case cases[] = {
      {"a byte every 3 s", 0, {{3000, 1}, {6000, 2}, {27000, 9}, {30000, 10}}, false},
      {"fast, then one slow window", 0, {{1000, 5000}, {30000, 6100}, {59999, 7000}, {60000, 7000}}, false},
      {"1 KiB per window keeps going", 0, {{30000, 1024}, {60000, 2048}, {90000, 3072}}, true},
      {"under a window is never judged", 0, {{29999, 0}}, true},
      {"ticks that wrap", 0xFFFFF000u, {{0x00001000u, 10}, {0x00006000u, 20}, {0x00007000u, 2000}}, true},
      {"ticks that wrap, then a slow window", 0xFFFFF000u, {{0x00007000u, 5000}, {0x0000F000u, 5100}}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CTransferPace pace(c.start);
    bool ok = true;
    for (const auto& [tick, bytes] : c.reads) ok = pace.Advance(bytes, tick);
    EXPECT_EQ(ok, c.ok);
  }
  // The total bound beside it, across a wrap of the tick.
  const CTransferDeadline deadline(0xFFFFF000u, 60000);
  EXPECT_FALSE(deadline.Expired(0xFFFFF000u + 59999u));
  EXPECT_TRUE(deadline.Expired(0xFFFFF000u + 60000u));
}

TEST(PlatformHttp, ContentRangeForms) {
  struct Case {
    const wchar_t* text;
    bool ok;
    bool unsatisfied;
    std::uint64_t first, last;
    bool totalKnown;
    std::uint64_t total;
  };
  const Case cases[] = {
      {L"bytes 100-199/200", true, false, 100, 199, true, 200},
      {L"bytes 0-0/1", true, false, 0, 0, true, 1},
      {L"bytes 5-9/*", true, false, 5, 9, false, 0},
      {L"bytes */4096", true, true, 0, 0, true, 4096},
      {L"bytes */*", false},
      {L"bytes 9-5/100", false},          // last before first
      {L"bytes 0-100/100", false},        // last past the end
      {L"bytes 0-1/2 ", false},           // trailing text
      {L"bytes -1-5/10", false},
      {L"items 0-1/2", false},
      {L"bytes 0-1", false},
      {L"bytes 0-18446744073709551616/1", false},  // overflows 64 bits
      {L"", false},
  };
  for (const Case& c : cases) {
    Platform::HttpContentRange range;
    const bool ok = Platform::ParseContentRange(c.text, &range);
    EXPECT_EQ(ok, c.ok) << std::string(c.text, c.text + std::wcslen(c.text));
    if (!ok || !c.ok) continue;
    EXPECT_EQ(range.unsatisfied, c.unsatisfied);
    EXPECT_EQ(range.first, c.first);
    EXPECT_EQ(range.last, c.last);
    EXPECT_EQ(range.totalKnown, c.totalKnown);
    EXPECT_EQ(range.total, c.total);
  }
}
