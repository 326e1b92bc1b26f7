// SHA-256 through the platform's provider: published test vectors, and the
// incremental hasher against the one-shot digest at every way of cutting the
// input. The in-process SHA-256 (the Windows provider) is held to the same
// vectors on both its paths, and to the platform's provider over random
// inputs around the block and padding edges. Signature verification is tested with the DER parser in
// tests/manifest/trust_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/crypto.h"
#include "platform/sha256_compute.h"

namespace {

std::string Hex(const Platform::Sha256Digest& d) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const auto b : d) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

struct KnownVector {
  std::string input;
  const char* digest;
};

const KnownVector kKnownVectors[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
};

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
  return out;
}

TEST(Sha256, KnownVectors) {
  for (const auto& row : kKnownVectors) {
    Platform::Sha256Digest digest{};
    ASSERT_TRUE(Platform::Sha256Of(row.input.data(), row.input.size(), &digest));
    EXPECT_EQ(Hex(digest), row.digest) << row.input.size() << " bytes";
  }
}

TEST(Sha256, PiecesGiveTheOneShotDigestAndFinishStartsOver) {
  const std::string input = RandomBytes(300, 11);
  Platform::Sha256Digest whole{};
  ASSERT_TRUE(Platform::Sha256Of(input.data(), input.size(), &whole));
  // One hasher for all cuts: each Finish must leave it fresh for the next.
  Platform::CSha256 hasher;
  for (std::size_t cut = 0; cut <= input.size(); cut += 7) {
    ASSERT_TRUE(hasher.Update(input.data(), cut));
    ASSERT_TRUE(hasher.Update(nullptr, 0));
    ASSERT_TRUE(hasher.Update(input.data() + cut, input.size() - cut));
    Platform::Sha256Digest pieces{};
    ASSERT_TRUE(hasher.Finish(&pieces));
    EXPECT_EQ(pieces, whole) << "cut at " << cut;
    EXPECT_EQ(hasher.Error(), 0u);
  }
  // Finish with nothing added is the digest of no bytes; a moved-from
  // hasher's successor carries on.
  Platform::Sha256Digest empty{};
  ASSERT_TRUE(hasher.Finish(&empty));
  EXPECT_EQ(Hex(empty), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  ASSERT_TRUE(hasher.Update("ab", 2));
  Platform::CSha256 moved(std::move(hasher));
  ASSERT_TRUE(moved.Update("c", 1));
  Platform::Sha256Digest abc{};
  ASSERT_TRUE(moved.Finish(&abc));
  EXPECT_EQ(Hex(abc), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// Both ways of compressing, where the processor has the extensions; the
// portable one alone elsewhere.
std::vector<Platform::Sha256Path> Paths() {
  std::vector<Platform::Sha256Path> paths{Platform::Sha256Path::kPortable};
  if (Platform::HasSha256Extensions()) paths.push_back(Platform::Sha256Path::kBest);
  return paths;
}

TEST(Sha256Compute, KnownVectorsOnEveryPath) {
  for (const auto path : Paths()) {
    Platform::CSha256Compute hasher(path);
    EXPECT_EQ(hasher.UsesExtensions(), path == Platform::Sha256Path::kBest);
    for (const auto& row : kKnownVectors) {
      hasher.Add(row.input.data(), row.input.size());
      EXPECT_EQ(Hex(hasher.Finish()), row.digest) << row.input.size() << " bytes, extensions "
                                                   << hasher.UsesExtensions();
    }
  }
}

// Every length up to a few blocks (each padding case: the length fits the
// last block or needs one more), cut into two pieces at several places, and
// one large input fed in uneven pieces: the same digest as the platform's
// provider (OpenSSL on posix) and on both paths.
TEST(Sha256Compute, MatchesTheProviderAtEveryLengthAndCut) {
  for (const auto path : Paths()) {
    Platform::CSha256Compute hasher(path);
    for (std::size_t size = 0; size <= 200; ++size) {
      const std::string input = RandomBytes(size, static_cast<unsigned>(size) + 5);
      Platform::Sha256Digest expected{};
      ASSERT_TRUE(Platform::Sha256Of(input.data(), input.size(), &expected));
      for (const std::size_t cut : {std::size_t{0}, size / 3, size / 2, size}) {
        hasher.Add(input.data(), cut);
        hasher.Add(input.data() + cut, size - cut);
        ASSERT_EQ(hasher.Finish(), expected) << size << " bytes cut at " << cut << ", extensions "
                                             << hasher.UsesExtensions();
      }
    }
    const std::string big = RandomBytes(3 * 1048576 + 77, 3);
    Platform::Sha256Digest expected{};
    ASSERT_TRUE(Platform::Sha256Of(big.data(), big.size(), &expected));
    std::size_t at = 0;
    for (std::size_t piece = 1; at < big.size(); piece = piece * 3 + 1) {
      const std::size_t take = std::min(piece % 100000 + 1, big.size() - at);
      hasher.Add(big.data() + at, take);
      at += take;
    }
    EXPECT_EQ(hasher.Finish(), expected) << "extensions " << hasher.UsesExtensions();
  }
}

}  // namespace
