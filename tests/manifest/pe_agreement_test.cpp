// The portable PE reader must read the same fixed file information as the
// platform's version calls, for every file of Wine's own DLL folder; so must
// the installed-file check that reads versions through it.
#include <gtest/gtest.h>

#include <vector>

#include "manifest/local_file_info.h"
#include "manifest/pe_version.h"
#include "platform/file.h"
#include "platform/windows_api.h"

namespace {

constexpr wchar_t kWineDlls[] = L"Z:\\usr\\lib\\x86_64-linux-gnu\\wine\\x86_64-windows";

bool PlatformVersion(const std::wstring& path, VS_FIXEDFILEINFO* out) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  if (size == 0) return false;
  std::vector<unsigned char> buffer(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, buffer.data())) return false;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(buffer.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed) return false;
  *out = *fixed;
  return true;
}

TEST(PeAgreement, WineDllFolder) {
  std::vector<Platform::DirectoryEntry> entries;
  ASSERT_TRUE(Platform::ListDirectory(kWineDlls, &entries));
  int withVersion = 0, without = 0;
  for (const Platform::DirectoryEntry& e : entries) {
    if (e.isDirectory) continue;
    const std::wstring path = std::wstring(kWineDlls) + L"\\" + e.name;
    VS_FIXEDFILEINFO expected{};
    const bool has = PlatformVersion(path, &expected);
    PeVersion::FixedFileInfo info;
    const PeVersion::PeVersionResult result = PeVersion::ReadFixedFileInfoFromFile(path, &info);
    // The version the updater compares, as it reads an installed file's.
    EXPECT_EQ(CLocalFileInfo(path).FileVersion,
              has ? PeVersion::FormatVersion(expected.dwFileVersionMS, expected.dwFileVersionLS) : std::wstring())
        << testing::PrintToString(e.name);
    if (has) {
      ++withVersion;
      ASSERT_EQ(result, PeVersion::PeVersionResult::Found) << testing::PrintToString(e.name);
      EXPECT_EQ(info.fileVersionMS, expected.dwFileVersionMS) << testing::PrintToString(e.name);
      EXPECT_EQ(info.fileVersionLS, expected.dwFileVersionLS) << testing::PrintToString(e.name);
      EXPECT_EQ(info.productVersionMS, expected.dwProductVersionMS) << testing::PrintToString(e.name);
      EXPECT_EQ(info.productVersionLS, expected.dwProductVersionLS) << testing::PrintToString(e.name);
    } else {
      ++without;
      EXPECT_NE(result, PeVersion::PeVersionResult::Found) << testing::PrintToString(e.name);
    }
  }
  std::printf("files with a version resource: %d, without: %d\n", withVersion, without);
  EXPECT_GT(withVersion, 100);
}

}  // namespace
