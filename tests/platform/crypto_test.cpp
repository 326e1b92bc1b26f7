// SHA-256 through the platform's provider: published test vectors, and the
// incremental hasher against the one-shot digest at every way of cutting the
// input. Signature verification is tested with the DER parser in
// tests/manifest/trust_test.cpp.
#include <gtest/gtest.h>

#include <string>

#include "platform/crypto.h"

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

TEST(Sha256, KnownVectors) {
  const struct {
    std::string input;
    const char* digest;
  } rows[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& row : rows) {
    Platform::Sha256Digest digest{};
    ASSERT_TRUE(Platform::Sha256Of(row.input.data(), row.input.size(), &digest));
    EXPECT_EQ(Hex(digest), row.digest) << row.input.size() << " bytes";
  }
}

TEST(Sha256, PiecesGiveTheOneShotDigestAndFinishStartsOver) {
  std::string input(300, '\0');
  unsigned seed = 11;
  for (char& c : input) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
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

}  // namespace
