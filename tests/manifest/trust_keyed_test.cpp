// Windows: an executable built with the key resource (the fixture's public
// key, through the same CMake function as Updater.exe) loads that key and
// verifies what the matching private key signed.
#include <gtest/gtest.h>

#include "common/test_files.h"
#include "manifest/update_trust.h"

namespace {

std::string Fixture(const std::string& name) {
  std::string bytes;
  EXPECT_TRUE(TestFiles::ReadBytes(TestFiles::FixturePath("trust/" + name), &bytes)) << name;
  return bytes;
}

TEST(UpdateKeyResource, LoadsTheCompiledKey) {
  const CUpdateKey key = LoadUpdateKey();
  ASSERT_EQ(key.state, UpdateKeyState::Keyed);
  EXPECT_EQ(VerifyDocumentSignature(key, Fixture("update.xml"), Fixture("update.xml.sig")), DocumentTrust::Trusted);
  EXPECT_EQ(VerifyDocumentSignature(key, Fixture("update.xml") + " ", Fixture("update.xml.sig")),
            DocumentTrust::SignatureMismatch);
}

}  // namespace
