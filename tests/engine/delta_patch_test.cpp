// Delta patches applied from memory and from files. The fixtures were made
// by the zstd command line: `zstd -19 --patch-from=base.bin new.bin -o new.zst`,
// so the applier reads the format that tool writes.
#include <gtest/gtest.h>

#include <atomic>

#include "common/test_files.h"
#include "common/test_program_image.h"
#include "engine/delta_patch.h"
#include "engine/pe_address_transform.h"
#include "platform/file.h"

namespace {

struct Fixtures {
  std::string base, target, patch;
  Platform::Sha256Digest targetSha256{};
};

const Fixtures& Load() {
  static const Fixtures fixtures = [] {
    Fixtures f;
    EXPECT_TRUE(TestFiles::ReadBytes(TestFiles::FixturePath("delta/base.bin"), &f.base));
    EXPECT_TRUE(TestFiles::ReadBytes(TestFiles::FixturePath("delta/new.bin"), &f.target));
    EXPECT_TRUE(TestFiles::ReadBytes(TestFiles::FixturePath("delta/new.zst"), &f.patch));
    EXPECT_TRUE(Platform::Sha256Of(f.target.data(), f.target.size(), &f.targetSha256));
    return f;
  }();
  return fixtures;
}

TEST(DeltaPatch, BytesTable) {
  const Fixtures& f = Load();
  ASSERT_GT(f.patch.size(), 8u);
  std::string otherBase = f.base;
  otherBase[2000] ^= 0x55;  // a locally changed base: the frame's checksum fails
  std::string flipped = f.patch;
  flipped[f.patch.size() / 2] ^= 0x01;
  // A skippable frame (magic 0x184D2A50, 4 bytes of payload) before the patch.
  const std::string skippable = std::string("\x50\x2A\x4D\x18\x04\x00\x00\x00" "abcd", 12) + f.patch;
  const std::uint64_t size = f.target.size();
  const auto mapHeader = [](std::uint64_t mapSize) {
    std::string header(kAddressPatchMagic);
    for (int k = 0; k < 4; ++k) header.push_back(static_cast<char>(mapSize >> (8 * k)));
    return header;
  };
  const std::uint64_t justEnough = f.base.size() + size + kDeltaPatchOverheadBytes;
  struct Case {
    const char* what;
    const std::string& base;
    std::string patch;
    std::uint64_t expected;
    std::uint64_t memory;
    bool cancel;
    DeltaPatchResult result;
  } cases[] = {
      {"applies", f.base, f.patch, size, kDeltaPatchDefaultMemoryLimit, false, DeltaPatchResult::kApplied},
      {"applies at the memory bound", f.base, f.patch, size, justEnough, false, DeltaPatchResult::kApplied},
      {"one byte under the bound", f.base, f.patch, size, justEnough - 1, false, DeltaPatchResult::kBaseTooLarge},
      {"another base", otherBase, f.patch, size, kDeltaPatchDefaultMemoryLimit, false, DeltaPatchResult::kBadPatch},
      {"truncated", f.base, f.patch.substr(0, f.patch.size() / 2), size, kDeltaPatchDefaultMemoryLimit, false,
       DeltaPatchResult::kBadPatch},
      {"a byte after the frame", f.base, f.patch + "x", size, kDeltaPatchDefaultMemoryLimit, false,
       DeltaPatchResult::kBadPatch},
      {"a second frame", f.base, f.patch + f.patch, size, kDeltaPatchDefaultMemoryLimit, false,
       DeltaPatchResult::kBadPatch},
      {"a flipped bit", f.base, flipped, size, kDeltaPatchDefaultMemoryLimit, false, DeltaPatchResult::kBadPatch},
      {"empty", f.base, "", size, kDeltaPatchDefaultMemoryLimit, false, DeltaPatchResult::kBadPatch},
      {"not zstd", f.base, "PK\x03\x04 and more bytes than a header", size, kDeltaPatchDefaultMemoryLimit, false,
       DeltaPatchResult::kBadPatch},
      {"skippable frame first", f.base, skippable, size, kDeltaPatchDefaultMemoryLimit, false,
       DeltaPatchResult::kBadPatch},
      {"entry one byte longer", f.base, f.patch, size + 1, kDeltaPatchDefaultMemoryLimit, false,
       DeltaPatchResult::kWrongOutputSize},
      {"entry one byte shorter", f.base, f.patch, size - 1, kDeltaPatchDefaultMemoryLimit, false,
       DeltaPatchResult::kWrongOutputSize},
      {"cancelled", f.base, f.patch, size, kDeltaPatchDefaultMemoryLimit, true, DeltaPatchResult::kCancelled},
      {"an address map larger than the result", f.base, mapHeader(size + 5000) + f.patch, size,
       kDeltaPatchDefaultMemoryLimit, false, DeltaPatchResult::kBadPatch},
      {"an address map's header alone", f.base, mapHeader(16), size, kDeltaPatchDefaultMemoryLimit, false,
       DeltaPatchResult::kBadPatch},
      {"an empty address map over what is no program", f.base, mapHeader(0) + f.patch, size,
       kDeltaPatchDefaultMemoryLimit, false, DeltaPatchResult::kBadPatch},
  };
  for (const Case& c : cases) {
    const std::atomic<bool> cancel{c.cancel};
    std::string output;
    DeltaPatchLimits limits;
    limits.memoryBytes = c.memory;
    const DeltaPatchOutcome outcome = ApplyDeltaPatchBytes(c.base, c.patch, c.expected, cancel, &output, limits);
    EXPECT_EQ(outcome.result, c.result) << c.what << ": " << outcome.decoderError;
    EXPECT_LE(outcome.outputSize, c.expected) << c.what;
    if (c.result == DeltaPatchResult::kApplied) {
      EXPECT_EQ(output, f.target) << c.what;
      EXPECT_EQ(outcome.sha256, f.targetSha256) << c.what;
    }
  }
}

// From files: the result is streamed to its file, and any failure leaves no
// output file behind and the base untouched. The rows share one kept memory,
// as a module's patches do: a failure, a shorter base or a cancel leaves
// nothing in it that spoils the next.
TEST(DeltaPatch, FilesTable) {
  const Fixtures& f = Load();
  TestFiles::CTempDir dir;
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"base", f.base));
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"patch", f.patch));
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"bad", f.patch.substr(0, f.patch.size() - 3)));
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"short", f.base.substr(0, f.base.size() / 2)));
  const std::atomic<bool> go{false};
  const std::atomic<bool> stop{true};
  DeltaPatchLimits tight;
  tight.memoryBytes = 64 * 1024;
  struct Case {
    const char* what;
    std::wstring base, patch, output;
    const std::atomic<bool>& cancel;
    DeltaPatchLimits limits;
    DeltaPatchResult result;
  } cases[] = {
      {"applies", dir / L"base", dir / L"patch", dir / L"out", go, {}, DeltaPatchResult::kApplied},
      {"replaces an older output", dir / L"base", dir / L"patch", dir / L"out", go, {}, DeltaPatchResult::kApplied},
      {"bad patch", dir / L"base", dir / L"bad", dir / L"out", go, {}, DeltaPatchResult::kBadPatch},
      {"no base", dir / L"missing", dir / L"patch", dir / L"out", go, {}, DeltaPatchResult::kReadFailed},
      {"no patch", dir / L"base", dir / L"missing", dir / L"out", go, {}, DeltaPatchResult::kReadFailed},
      {"output folder missing", dir / L"base", dir / L"patch", dir / L"no\\out", go, {},
       DeltaPatchResult::kWriteFailed},
      {"output over the patch", dir / L"base", dir / L"patch", dir / L"patch", go, {}, DeltaPatchResult::kWriteFailed},
      {"over the bound", dir / L"base", dir / L"patch", dir / L"out", go, tight, DeltaPatchResult::kBaseTooLarge},
      {"cancelled", dir / L"base", dir / L"patch", dir / L"out", stop, {}, DeltaPatchResult::kCancelled},
      {"a shorter base", dir / L"short", dir / L"patch", dir / L"out", go, {}, DeltaPatchResult::kBadPatch},
      {"applies after all that", dir / L"base", dir / L"patch", dir / L"out", go, {}, DeltaPatchResult::kApplied},
  };
  CDeltaPatchMemory memory;
  for (const Case& c : cases) {
    if (c.result == DeltaPatchResult::kApplied) {
      ASSERT_TRUE(TestFiles::WriteBytes(c.output, "stale output"));
    }
    const DeltaPatchOutcome outcome =
        ApplyDeltaPatchFile(c.base, c.patch, c.output, f.target.size(), c.cancel, memory, c.limits);
    EXPECT_EQ(outcome.result, c.result) << c.what;
    if (c.result == DeltaPatchResult::kApplied) {
      EXPECT_EQ(TestFiles::ReadOrMissing(c.output), f.target) << c.what;
      EXPECT_EQ(outcome.sha256, f.targetSha256) << c.what;
    } else if (c.output != dir / L"patch") {
      EXPECT_FALSE(Platform::PathExists(c.output)) << c.what;
    }
    if (c.result == DeltaPatchResult::kReadFailed || c.result == DeltaPatchResult::kWriteFailed) {
      EXPECT_NE(outcome.error, 0u) << c.what;
    }
    EXPECT_EQ(TestFiles::ReadOrMissing(dir / L"base"), f.base) << c.what;
    EXPECT_EQ(TestFiles::ReadOrMissing(dir / L"patch"), f.patch) << c.what;
  }
}

// The address map of a program's patch, both ways over a program that grew,
// in both forms. Whatever the map, rewriting and mapping back gives the
// exact image: a field the map cannot carry stays as it is. A map that fits
// rewrites the moved fields, and in the form with symbols the symbol
// records (values and the offsets of long names) read as the old build's;
// one that is cut, has bytes after it or meets another image is refused.
TEST(DeltaPatch, AddressMapTable) {
  using PeAddress::Form;
  using PeAddress::Segment;
  const std::string image = TestFiles::TestProgramImage(300, 100, true);
  const std::string oldImage = TestFiles::TestProgramImage(300, 0, true);
  const std::uint64_t kRoom = 1 << 20;
  const std::atomic<bool> never{false};
  PeAddress::Layout grown, old;
  ASSERT_TRUE(PeAddress::ReadLayout(image, &grown));
  ASSERT_TRUE(PeAddress::ReadLayout(oldImage, &old));
  ASSERT_EQ(grown.symbolCount, 302u);
  ASSERT_EQ(grown.sections.size(), old.sections.size());
  std::vector<Segment> moved;  // each section's content after the new bytes, onto the old build's
  for (std::size_t k = 0; k < grown.sections.size(); ++k)
    moved.push_back({grown.sections[k].rva + 100, grown.sections[k].virtualSize - 100, old.sections[k].rva});
  // and the names after the new one onto the old build's names
  moved.push_back({PeAddress::kStringSpace + 4 + static_cast<std::uint32_t>(TestFiles::kGrownName.size()),
                   old.stringSize - 4, PeAddress::kStringSpace + 4});
  const struct {
    const char* what;
    std::vector<Segment> map;
    bool rewrites;
  } cases[] = {
      {"no segments", {}, false},
      {"the whole image onto itself", {{0, 0x10000, 0}}, false},
      {"the moved content", moved, true},
      {"two onto overlapping old addresses", {{0x1000, 0x800, 0x1000}, {0x2000, 0x800, 0x1400}}, true},
      {"at the top of the address space", {{0x1000, 0x1000, 0xFFFFF000u}, {0xFFFFF000u, 0x1000, 0x1000}}, true},
  };
  for (const Form form : {Form::kPlain, Form::kWithSymbols}) {
    for (const auto& c : cases) {
      std::string rewritten = image;
      std::string side;
      ASSERT_TRUE(PeAddress::Encode(&rewritten, c.map, form, &side)) << c.what;
      EXPECT_EQ(rewritten != image, c.rewrites) << c.what;
      EXPECT_EQ(PeAddress::Decode(side, rewritten.data(), rewritten.size(), form, kRoom, never),
                PeAddress::DecodeResult::kDone)
          << c.what;
      EXPECT_EQ(rewritten, image) << c.what;
    }
    std::string rewritten = image;
    std::string side;
    ASSERT_TRUE(PeAddress::Encode(&rewritten, moved, form, &side));
    EXPECT_EQ(rewritten.substr(grown.symbolOffset, 18 * grown.symbolCount) ==
                  oldImage.substr(old.symbolOffset, 18 * old.symbolCount),
              form == Form::kWithSymbols);
  }

  std::string rewritten = image;
  std::string side;
  ASSERT_TRUE(PeAddress::Encode(&rewritten, moved, Form::kWithSymbols, &side));
  std::string notAProgram = rewritten;
  notAProgram[0] = 'X';
  const struct {
    const char* what;
    std::string side;
    std::string image;
    std::uint64_t room;
    PeAddress::DecodeResult result;
  } refused[] = {
      {"cut", side.substr(0, side.size() - 1), rewritten, kRoom, PeAddress::DecodeResult::kMalformed},
      {"a byte after it", side + '\0', rewritten, kRoom, PeAddress::DecodeResult::kMalformed},
      {"empty", "", rewritten, kRoom, PeAddress::DecodeResult::kMalformed},
      {"not a program", side, notAProgram, kRoom, PeAddress::DecodeResult::kMalformed},
      {"over what the bound leaves", side, rewritten, 4096, PeAddress::DecodeResult::kOverBudget},
  };
  for (auto c : refused)
    EXPECT_EQ(PeAddress::Decode(c.side, c.image.data(), c.image.size(), Form::kWithSymbols, c.room, never), c.result)
        << c.what;
  std::string copy = image;
  EXPECT_FALSE(PeAddress::Encode(&notAProgram, moved, Form::kPlain, &side)) << "a map for what is no program";
  EXPECT_FALSE(PeAddress::Encode(&copy, {{0x2000, 0x100, 0}, {0x1000, 0x2000, 0}}, Form::kPlain, &side))
      << "unsorted segments";
}

}  // namespace
