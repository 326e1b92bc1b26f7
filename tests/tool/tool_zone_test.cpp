// Run once per time zone (TZ set by ctest): the stamps publish writes for a
// release are the stamps the updater's analysis computes for the installed
// files, plain and unpacked from the published archives alike.
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/test_files.h"
#include "manifest/time_zone.h"
#include "manifest/update_list.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tool_analysis.h"
#include "tool_publish.h"
#include "tool_server_paths.h"
#include "zip/zip_reader.h"

namespace {

const char* Zone() {
  const char* tz = std::getenv("TZ");
  return tz ? tz : "(unset)";
}

TEST(PublishedStamps, EqualWhatTheUpdaterComputesInThisZone) {
  struct Case {
    const wchar_t* name;
    Platform::SystemTime utc;
    const wchar_t* stamp;
  } cases[] = {
      {L"winter.txt", {2024, 3, 0, 1, 0, 5, 0, 0}, L"202403010905"},
      {L"southern_summer.dll", {2024, 1, 0, 15, 3, 5, 30, 0}, L"202401151205"},
      {L"new_year.txt", {2024, 12, 0, 31, 20, 59, 59, 0}, L"202501010559"},
      {L"berlin_spring.txt", {2024, 3, 0, 31, 1, 30, 0, 0}, L"202403311030"},
      {L"lord_howe_fall.txt", {2024, 4, 0, 6, 16, 0, 0, 0}, L"202404070100"},
      {L"new_york_fall.exe", {2024, 11, 0, 3, 6, 15, 0, 0}, L"202411031515"},
      {L"new_york_repeat.exe", {2024, 11, 0, 3, 5, 15, 0, 0}, L"202411031415"},
  };
  TestFiles::CTempDir release;
  TestFiles::CTempDir out;
  TestFiles::CTempDir install;
  for (const Case& c : cases) {
    const std::wstring path = release / c.name;
    ASSERT_TRUE(TestFiles::WriteBytes(path, "content of " + std::to_string(c.utc.day)));
    Platform::FileTimes times;
    ASSERT_TRUE(Platform::FieldsToFileTime(c.utc, &times.lastWrite));
    times.lastAccess = times.lastWrite;
    ASSERT_TRUE(Platform::SetFileTimes(path, times));
  }
  VireoTool::PublishOptions options;
  options.releaseDir = release.Path();
  options.outDir = out.Path();
  options.module = L"viewer";
  options.zipGlobs = {L"*.exe", L"*.dll"};
  VireoTool::PublishReport report;
  std::string error;
  ASSERT_TRUE(VireoTool::PublishModule(options, &report, &error)) << error;
  ASSERT_EQ(report.entries.size(), std::size(cases));

  const std::wstring zoneKey = GetCurrentTimeZoneKey();
  for (const auto& entry : report.entries) {
    const std::wstring carried = VireoTool::CarriedFileName(entry.fileName);
    const Case* c = nullptr;
    for (const Case& each : cases) {
      if (carried == each.name) c = &each;
    }
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(entry.dateTime, c->stamp) << "TZ=" << Zone();

    // Install the file as the updater does: archives unpacked, plain files
    // given the published time.
    const std::wstring installed = install / carried;
    if (entry.fileName != carried) {
      ZipHandle* raw = nullptr;
      ASSERT_EQ(OpenZip(out / (L"update\\viewer\\" + entry.fileName), &raw), kZipOk);
      CScopedZipHandle handle(raw);
      std::int32_t index = -1;
      ASSERT_EQ(LocateZipItem(handle.get(), installed, &index, nullptr), kZipOk);
      ASSERT_EQ(UnzipItem(handle.get(), index, installed), kZipOk);
    } else {
      ASSERT_TRUE(Platform::CopyItem(release / carried, installed, true));
    }
    const CFileData listed(kUpdateListEntryModule, entry.fileName, entry.version, entry.dateTime, install.Path());
    const VireoTool::EntryDecision decision = VireoTool::AnalyzeEntry(listed, zoneKey);
    EXPECT_EQ(decision.verdict, VireoTool::EntryVerdict::Current)
        << Platform::ToUtf8(entry.fileName) << " TZ=" << Zone() << " " << Platform::ToUtf8(decision.logLine);
  }
}

}  // namespace
