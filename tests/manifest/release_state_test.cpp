// What a keyed updater keeps across runs (update_state.txt) and how it
// judges a manifest against it; the pin of an update list.
#include <gtest/gtest.h>

#include "common/test_files.h"
#include "manifest/release_state.h"
#include "manifest/trust_formats.h"
#include "manifest/update_trust.h"
#include "platform/fault.h"
#include "platform/file.h"

namespace {

using TestFiles::CTempDir;

Platform::Sha256Digest Digest(std::uint8_t first) {
  Platform::Sha256Digest d{};
  d[0] = first;
  return d;
}

TEST(ReleaseState, FileWriteReadAndCorruptCases) {
  const std::string hex = "ab" + std::string(62, '0');
  const struct {
    const char* what;
    const char* bytes;  // null: no file
    ReleaseStateRead read;
    std::uint64_t serial;
  } rows[] = {
      {"missing", nullptr, ReleaseStateRead::Missing, 0},
      {"as written", "serial=42\nsha256=ab00000000000000000000000000000000000000000000000000000000000000\n",
       ReleaseStateRead::Read, 42},
      {"CR LF", "serial=42\r\nsha256=ab00000000000000000000000000000000000000000000000000000000000000\r\n",
       ReleaseStateRead::Read, 42},
      {"empty (a crash before the first write)", "", ReleaseStateRead::Unreadable, 0},
      {"cut in the hash", "serial=42\nsha256=ab0000", ReleaseStateRead::Unreadable, 0},
      {"no final line end", "serial=42\nsha256=ab00000000000000000000000000000000000000000000000000000000000000",
       ReleaseStateRead::Unreadable, 0},
      {"serial 0", "serial=0\nsha256=ab00000000000000000000000000000000000000000000000000000000000000\n",
       ReleaseStateRead::Unreadable, 0},
      {"lines swapped", "sha256=ab00000000000000000000000000000000000000000000000000000000000000\nserial=42\n",
       ReleaseStateRead::Unreadable, 0},
      {"a line more", "serial=42\nsha256=ab00000000000000000000000000000000000000000000000000000000000000\nx=1\n",
       ReleaseStateRead::Unreadable, 0},
      {"garbage", "\x01\x02\xff", ReleaseStateRead::Unreadable, 0},
  };
  CTempDir dir;
  const std::wstring path = dir / L"update_state.txt";
  for (const auto& row : rows) {
    (void)Platform::RemoveFile(path);
    if (row.bytes) ASSERT_TRUE(TestFiles::WriteBytes(path, row.bytes));
    CReleaseState state;
    EXPECT_EQ(ReadReleaseState(path, &state), row.read) << row.what;
    if (row.read == ReleaseStateRead::Read) {
      EXPECT_EQ(state.serial, row.serial) << row.what;
      EXPECT_EQ(state.manifestSha256, Digest(0xab)) << row.what;
    }
  }
  ASSERT_TRUE(TestFiles::WriteBytes(path, std::string(kMaxReleaseStateBytes + 1, 'x')));
  CReleaseState state;
  EXPECT_EQ(ReadReleaseState(path, &state), ReleaseStateRead::Unreadable);

  // Written by replacement: a write that fails at any step leaves the old
  // state whole and no ".new" behind.
  const CReleaseState kept{5, Digest(1)}, next{6, Digest(2)};
  ASSERT_TRUE(WriteReleaseState(path, kept));
  EXPECT_EQ(TestFiles::ReadOrMissing(path), FormatReleaseState(kept));
  for (const char* step : {"Create", "Write", "Flush", "ReplaceWithFile"}) {
    Platform::FailNthCall(step, 1, 5);
    EXPECT_FALSE(WriteReleaseState(path, next)) << step;
    Platform::ClearFaults();
    ASSERT_EQ(ReadReleaseState(path, &state), ReleaseStateRead::Read) << step;
    EXPECT_EQ(state.serial, 5u) << step;
    EXPECT_FALSE(Platform::PathExists(path + L".new")) << step;
  }
  ASSERT_TRUE(WriteReleaseState(path, next));
  ASSERT_EQ(ReadReleaseState(path, &state), ReleaseStateRead::Read);
  EXPECT_EQ(state.serial, 6u);
}

TEST(ReleaseState, JudgeManifest) {
  using State = ManifestAttributes::State;
  std::uint64_t june = 0, july = 0;
  ASSERT_TRUE(ParseUtcTime(L"2026-06-01T00:00:00Z", &june));
  ASSERT_TRUE(ParseUtcTime(L"2026-07-01T00:00:00Z", &july));
  const CReleaseState five{5, Digest(5)};
  const struct {
    const char* what;
    State serialState;
    std::uint64_t serial;
    State expiresState;
    std::uint64_t expires;
    const CReleaseState* kept;
    std::uint8_t hash;
    bool pinned;
    ManifestRelease verdict;
    const wchar_t* log;  // a piece of the log line
    bool keep;
  } rows[] = {
      {"first serial", State::Present, 5, State::Absent, 0, nullptr, 5, true, ManifestRelease::Accepted, L"", true},
      {"same manifest again", State::Present, 5, State::Absent, 0, &five, 5, true, ManifestRelease::Accepted, L"", false},
      {"higher serial", State::Present, 6, State::Absent, 0, &five, 6, true, ManifestRelease::Accepted, L"", true},
      {"lower serial", State::Present, 4, State::Absent, 0, &five, 4, true, ManifestRelease::SerialLower,
       L"The manifest is refused: its serial 4 is lower than the serial 5 this updater has accepted", false},
      {"equal serial, other bytes", State::Present, 5, State::Absent, 0, &five, 9, true, ManifestRelease::SerialReplayed,
       L"its serial 5 equals the serial 5 this updater has accepted, but its content differs", false},
      {"no serial, none kept", State::Absent, 0, State::Absent, 0, nullptr, 1, false,
       ManifestRelease::AcceptedUnserialed, L"carries no serial (published before serials): accepted", false},
      {"no serial, one kept", State::Absent, 0, State::Absent, 0, &five, 1, false, ManifestRelease::SerialMissing,
       L"it carries no serial, and this updater has accepted serial 5", false},
      {"serial malformed", State::Malformed, 0, State::Absent, 0, &five, 1, true, ManifestRelease::SerialMalformed,
       L"is not a decimal number of 1 or more (kept serial 5)", false},
      {"expiry malformed", State::Present, 6, State::Malformed, 0, &five, 6, true, ManifestRelease::ExpiresMalformed,
       L"is not a UTC time YYYY-MM-DDTHH:MM:SSZ (now 2026-06-01T00:00:00Z)", false},
      {"expires at this instant", State::Present, 6, State::Present, june, &five, 6, true, ManifestRelease::Expired,
       L"it expired at 2026-06-01T00:00:00Z, and the updater's clock says 2026-06-01T00:00:00Z (serial 6, kept serial 5)",
       false},
      {"expires later", State::Present, 6, State::Present, july, &five, 6, true, ManifestRelease::Accepted, L"", true},
      {"a lower serial is named before the expiry", State::Present, 4, State::Present, june, &five, 4, true,
       ManifestRelease::SerialLower, L"lower", false},
      {"serial without pins", State::Present, 6, State::Absent, 0, &five, 6, false, ManifestRelease::ListUnpinned,
       L"the update list of module m has no size and sha256 in it (serial 6)", false},
  };
  for (const auto& row : rows) {
    ManifestAttributes attributes;
    attributes.serialState = row.serialState;
    attributes.serial = row.serial;
    attributes.serialText = row.serialState == State::Malformed ? L"07" : L"";
    attributes.expiresState = row.expiresState;
    attributes.expires = row.expires;
    attributes.expiresText = row.expiresState == State::Malformed ? L"tomorrow" : L"";
    UpdateModuleList modules;
    modules.push_back(std::make_unique<CUpdateModule>());
    modules[0]->Name = L"m";
    modules[0]->ListSizeDeclared = modules[0]->ListSha256Declared = row.pinned;
    const ManifestReleaseVerdict v = JudgeManifestRelease(attributes, modules, Digest(row.hash), row.kept, june);
    EXPECT_EQ(v.verdict, row.verdict) << row.what;
    EXPECT_NE(v.logLine.find(row.log), std::wstring::npos) << row.what << ": " << testing::PrintToString(v.logLine);
    if (*row.log == 0) EXPECT_TRUE(v.logLine.empty()) << row.what;
    EXPECT_EQ(v.keep, row.keep) << row.what;
    if (v.keep) EXPECT_EQ(v.newState.serial, row.serial) << row.what;
  }
}

// Start-up's step on disk: a missing or corrupt state file never blocks,
// a refusal leaves the kept state as it was.
TEST(ReleaseState, AcceptManifestKeepsTheHighestSerial) {
  CTempDir dir;
  const std::wstring state = dir / L"update_state.txt";
  UpdateModuleList modules;
  modules.push_back(std::make_unique<CUpdateModule>());
  modules[0]->ListSizeDeclared = modules[0]->ListSha256Declared = true;
  ManifestAttributes attributes;
  attributes.serialState = ManifestAttributes::State::Present;
  const auto accept = [&](std::uint64_t serial, const char* bytes) {
    attributes.serial = serial;
    return AcceptManifestRelease(dir.Path(), bytes, attributes, modules, 0);
  };
  CReleaseState kept;
  EXPECT_TRUE(accept(3, "three"));  // no state file yet
  ASSERT_EQ(ReadReleaseState(state, &kept), ReleaseStateRead::Read);
  EXPECT_EQ(kept.serial, 3u);
  EXPECT_FALSE(accept(2, "two"));
  EXPECT_FALSE(accept(3, "three, changed"));
  EXPECT_TRUE(accept(3, "three"));
  ASSERT_EQ(ReadReleaseState(state, &kept), ReleaseStateRead::Read);
  EXPECT_EQ(kept.serial, 3u);
  ASSERT_TRUE(TestFiles::WriteBytes(state, "serial=3\nsha256="));  // corrupt: started afresh
  EXPECT_TRUE(accept(2, "two"));
  ASSERT_EQ(ReadReleaseState(state, &kept), ReleaseStateRead::Read);
  EXPECT_EQ(kept.serial, 2u);
}

TEST(ListPin, Table) {
  const std::string list = "<update/>";
  Platform::Sha256Digest right{};
  ASSERT_TRUE(Platform::Sha256Of(list.data(), list.size(), &right));
  const struct {
    const char* what;
    bool sizeDeclared;
    std::uint64_t size;
    bool hashDeclared;
    bool rightHash;
    bool malformed;
    ListPinCheck check;
    const wchar_t* log;
  } rows[] = {
      {"no pin", false, 0, false, false, false, ListPinCheck::NoPin, L""},
      {"both match", true, 9, true, true, false, ListPinCheck::Matches, L""},
      {"size alone matches", true, 9, false, false, false, ListPinCheck::Matches, L""},
      {"hash alone matches", false, 0, true, true, false, ListPinCheck::Matches, L""},
      {"size differs", true, 10, true, true, false, ListPinCheck::SizeMismatch,
       L"does not match the manifest's pin: expected size 10 sha256 "},
      {"hash differs", true, 9, true, false, false, ListPinCheck::HashMismatch, L", received size 9 sha256 "},
      {"malformed", false, 0, false, false, true, ListPinCheck::Malformed, L"is not in its form"},
  };
  for (const auto& row : rows) {
    CUpdateModule module;
    module.ListSizeDeclared = row.sizeDeclared;
    module.ListSize = row.size;
    module.ListSha256Declared = row.hashDeclared;
    module.ListSha256 = row.rightHash ? right : Digest(7);
    module.ListPinMalformed = row.malformed;
    std::wstring log = L"stale";
    EXPECT_EQ(CheckListPin(module, list, &log), row.check) << row.what;
    EXPECT_NE(log.find(row.log), std::wstring::npos) << row.what << ": " << testing::PrintToString(log);
    if (*row.log == 0) EXPECT_TRUE(log.empty()) << row.what;
  }
}

}  // namespace
