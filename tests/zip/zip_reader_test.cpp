// The reader on archives written by real archivers, and its contract:
// records, lookup, extraction targets, argument checks and file faults.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/test_files.h"
#include "platform/clock.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/text.h"
#include "zip/zip_reader.h"
#include "zip_test_support.h"

using namespace ZipTest;
using TestFiles::CTempDir;

namespace {

std::string Show(std::uint64_t fileTime) {
  Platform::SystemTime t;
  if (fileTime == 0) return "0";
  if (!Platform::FileTimeToFields(fileTime, &t)) return "bad";
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

CScopedZipHandle OpenFixture(const std::string& name) {
  ZipHandle* raw = nullptr;
  EXPECT_EQ(kZipOk, OpenZip(TestFiles::FixturePath("zip/" + name), &raw)) << name;
  return CScopedZipHandle(raw);
}

std::string Hello() {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "Hello, Vireo!\n";
  return text;
}

std::string Note() {
  std::string text;
  for (int i = 0; i < 50; ++i) text += "note\n";
  return text;
}

// What each file of the fixture tree holds, by stored name.
std::string ExpectedContent(const std::wstring& name) {
  if (name == L"hello.txt") return Hello();
  if (name == L"random.bin") return FixtureNoise();
  if (name == L"empty.txt") return "";
  if (name == L"readonly.txt") return "read only\n";
  if (name == L"sub/deep/note.txt") return Note();
  if (name == L"dos_archive.txt") return "archive bit only\n";
  if (name == L"dos_plain.txt") return "no bits\n";
  if (name == L"dos_hidden.sys") return "hidden system\n";
  if (name == L"ut_mtime.txt") return "ut\n";
  if (name == L"ut_short.txt") return "short\n";
  if (name == L"ut_all.txt") return "all\n";
  return "<unknown>";
}

}  // namespace

TEST(ZipFixtures, RecordsMatchWhatEachArchiverStored) {
  // Times in UTC (the fixtures were made with TZ=UTC). Without an extended
  // time stamp all three times are the DOS time; nullptr: not checked (the
  // archiver stored the time it ran).
  struct Row {
    const char* archive;
    int index;
    const wchar_t* name;
    std::uint32_t attributes;
    std::uint32_t size;
    const char* modified;
    const char* accessed;
    const char* created;
  };
  const char* dos = "2020-06-15 10:20:30";
  const Row rows[] = {
      {"infozip.zip", 0, L"hello.txt", 0x80, 2800, "2021-03-04 05:06:09", "2021-03-05 01:02:03", "2021-03-04 05:06:10"},
      {"infozip.zip", 1, L"random.bin", 0x80, 20000, "2019-12-31 23:59:58", "2019-12-31 23:59:58", "2019-12-31 23:59:58"},
      {"infozip.zip", 2, L"empty.txt", 0x80, 0, "2020-02-29 12:00:00", "2020-02-29 12:00:00", "2020-02-29 12:00:00"},
      {"infozip.zip", 3, L"readonly.txt", 0x81, 10, "2022-07-01 08:30:00", "2022-07-01 08:30:00", "2022-07-01 08:30:00"},
      {"infozip.zip", 4, L"sub/", 0x90, 0, "2020-01-01 00:00:00", nullptr, "2020-01-01 00:00:00"},
      {"infozip.zip", 6, L"sub/deep/note.txt", 0x80, 250, "2023-05-06 07:08:10", nullptr, "2023-05-06 07:08:10"},
      {"python.zip", 0, L"hello.txt", 0x80, 2800, "2021-03-04 05:06:08", "2021-03-04 05:06:08", "2021-03-04 05:06:08"},
      {"python.zip", 1, L"random.bin", 0x80, 20000, "2019-12-31 23:59:58", nullptr, nullptr},
      {"python.zip", 2, L"dos_archive.txt", 0xA1, 17, dos, dos, dos},
      {"python.zip", 3, L"dos_plain.txt", 0x80, 8, dos, dos, dos},
      {"python.zip", 4, L"dos_hidden.sys", 0xA7, 14, dos, dos, dos},
      {"python.zip", 5, L"folder/", 0x91, 0, dos, dos, dos},
      {"python.zip", 6, L"ut_mtime.txt", 0xA1, 3, "2001-09-09 01:46:40", dos, dos},
      {"python.zip", 7, L"ut_short.txt", 0xA1, 6, dos, dos, dos},
      {"python.zip", 8, L"ut_all.txt", 0xA1, 4, "2017-07-14 02:40:00", "2020-09-13 12:26:40", "1969-12-31 00:00:00"},
      {"7z.zip", 0, L"empty.txt", 0xA0, 0, "2020-02-29 12:00:00", "2020-02-29 12:00:00", "2020-02-29 12:00:00"},
      {"7z.zip", 1, L"hello.txt", 0xA0, 2800, "2021-03-04 05:06:10", "2021-03-04 05:06:10", "2021-03-04 05:06:10"},
      {"7z.zip", 3, L"readonly.txt", 0xA1, 10, "2022-07-01 08:30:00", nullptr, nullptr},
      {"7z.zip", 5, L"sub/deep/", 0x90, 0, "2020-01-01 00:00:00", nullptr, nullptr},
      {"7z.zip", 6, L"sub/deep/note.txt", 0xA0, 250, "2023-05-06 07:08:10", nullptr, nullptr},
      {"bsdtar.zip", 0, L"hello.txt", 0x80, 2800, "2021-03-04 05:06:09", nullptr, nullptr},
      {"bsdtar.zip", 1, L"random.bin", 0x80, 20000, "2019-12-31 23:59:58", nullptr, nullptr},
      {"bsdtar.zip", 3, L"readonly.txt", 0x81, 10, "2022-07-01 08:30:00", nullptr, nullptr},
      {"bsdtar.zip", 4, L"sub/", 0x90, 0, "2020-01-01 00:00:00", nullptr, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.archive) + " #" + std::to_string(row.index));
    CScopedZipHandle zip = OpenFixture(row.archive);
    ASSERT_TRUE(zip);
    ZipItem item;
    ASSERT_EQ(kZipOk, GetZipItem(zip.get(), row.index, &item));
    EXPECT_EQ(row.index, item.index);
    EXPECT_EQ(std::wstring(row.name), item.name);
    EXPECT_EQ(row.attributes, item.attributes);
    EXPECT_EQ(row.size, item.uncompressedSize);
    EXPECT_EQ(row.modified, Show(item.modificationTime));
    if (row.accessed) {
      EXPECT_EQ(row.accessed, Show(item.accessTime));
    }
    if (row.created) {
      EXPECT_EQ(row.created, Show(item.creationTime));
    }
  }
}

TEST(ZipFixtures, EveryFileExtractsByteForByteWithTimesAndReadOnly) {
  for (const char* archive : {"infozip.zip", "python.zip", "7z.zip", "bsdtar.zip"}) {
    SCOPED_TRACE(archive);
    CTempDir dir;
    CScopedZipHandle zip = OpenFixture(archive);
    ASSERT_TRUE(zip);
    ZipItem count;
    ASSERT_EQ(kZipOk, GetZipItem(zip.get(), -1, &count));
    int files = 0;
    for (int i = 0; i < count.index; ++i) {
      ZipItem item;
      ASSERT_EQ(kZipOk, GetZipItem(zip.get(), i, &item));
      if ((item.attributes & Platform::kAttrDirectory) || ExpectedContent(item.name) == "<unknown>") continue;
      ++files;
      const std::wstring target = dir / (L"out" + std::to_wstring(i));
      ASSERT_EQ(kZipOk, UnzipItem(zip.get(), i, target)) << Platform::ToUtf8(item.name);
      EXPECT_EQ(ExpectedContent(item.name), TestFiles::ReadOrMissing(target)) << Platform::ToUtf8(item.name);
      Platform::FileTimes times;
      ASSERT_TRUE(Platform::GetFileTimes(target, &times));
      EXPECT_EQ(item.modificationTime, times.lastWrite);
      std::uint32_t attributes = 0;
      ASSERT_TRUE(Platform::GetAttributes(target, &attributes));
      EXPECT_EQ(item.attributes & Platform::kAttrReadOnly, attributes & Platform::kAttrReadOnly);
    }
    EXPECT_EQ(std::string(archive) == "python.zip" ? 8 : 5, files);
  }
}

TEST(ZipFixtures, ComparedWithItsOwnRecordsAfterRandomOrderAccess) {
  // Records fetched walking forward, backward and again (cache) agree.
  CScopedZipHandle zip = OpenFixture("infozip.zip");
  ASSERT_TRUE(zip);
  std::vector<std::wstring> forward;
  for (int i = 0; i < 7; ++i) {
    ZipItem item;
    ASSERT_EQ(kZipOk, GetZipItem(zip.get(), i, &item));
    forward.push_back(item.name);
  }
  for (int i : {6, 6, 2, 5, 0, 3, 3, 1}) {
    ZipItem item;
    ASSERT_EQ(kZipOk, GetZipItem(zip.get(), i, &item));
    EXPECT_EQ(forward[i], item.name) << i;
    EXPECT_EQ(i, item.index);
  }
  CMemoryOutput out;
  ASSERT_EQ(kZipOk, UnzipItemTo(zip.get(), 0, out));
  EXPECT_EQ(Hello(), out.bytes);
}

TEST(ZipOpen, ResultsForArchiveShapes) {
  const std::string base = LoadFixture("infozip.zip");
  const std::size_t end = ReadLayout(base).endRecord;
  const std::uint32_t directorySize = static_cast<std::uint32_t>(end - ReadLayout(base).items[0].central);
  auto withComment = [&](std::size_t length) {
    std::string bytes = base;
    Put16(&bytes, bytes.size() - 2, static_cast<std::uint16_t>(length));
    return bytes + std::string(length, 'c');
  };
  auto patched16 = [&](std::size_t offsetInEnd, std::uint16_t value) {
    std::string bytes = base;
    Put16(&bytes, ReadLayout(base).endRecord + offsetInEnd, value);
    return bytes;
  };
  auto patched32 = [&](std::size_t offsetInEnd, std::uint32_t value) {
    std::string bytes = base;
    Put32(&bytes, ReadLayout(base).endRecord + offsetInEnd, value);
    return bytes;
  };
  struct Row {
    const char* what;
    std::string bytes;
    ZipResult result;
    int count;
  };
  const Row rows[] = {
      {"as written", base, kZipOk, 7},
      {"65,000-byte comment", withComment(65000), kZipOk, 7},
      {"end record beyond 65,535 bytes from the end", withComment(65535), -1, 0},
      {"data prepended", std::string(4321, 'x') + base, kZipOk, 7},
      {"empty file", "", -1, 0},
      {"not an archive", std::string(5000, 'a'), -1, 0},
      {"end record alone at offset 0", BuildArchive({}), -1, 0},
      {"empty archive after a stub", "stub" + BuildArchive({}), kZipOk, 0},
      {"entry counts differ", patched16(10, 6), -103, 0},
      {"second disk", patched16(4, 1), -103, 0},
      {"directory on another disk", patched16(6, 1), -103, 0},
      {"directory ends after the end record", patched32(12, 0xFFFFFF00), -103, 0},
      {"directory size off by ten", patched32(12, directorySize + 10), -103, 0},
      {"truncated to its first half", base.substr(0, base.size() / 2), -1, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string& bytes = row.bytes;
    CScopedZipHandle zip;
    ASSERT_EQ(row.result, OpenMemory(bytes, &zip));
    EXPECT_EQ(row.result == kZipOk, zip != nullptr);
    if (!zip) continue;
    ZipItem count;
    ASSERT_EQ(kZipOk, GetZipItem(zip.get(), -1, &count));
    EXPECT_EQ(row.count, count.index);
    if (row.count > 0) {
      CMemoryOutput out;
      EXPECT_EQ(kZipOk, UnzipItemTo(zip.get(), 0, out));
      EXPECT_EQ(Hello(), out.bytes);
    }
  }
}

TEST(ZipOpen, PrependedArchiveExtractsFromAFile) {
  CTempDir dir;
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"stub.exe", std::string(70000, '\x90') + LoadFixture("python.zip")));
  ZipHandle* raw = nullptr;
  ASSERT_EQ(kZipOk, OpenZip(dir / L"stub.exe", &raw));
  CScopedZipHandle zip(raw);
  ASSERT_EQ(kZipOk, UnzipItem(zip.get(), 1, dir / L"random.bin"));
  EXPECT_EQ(FixtureNoise(), TestFiles::ReadOrMissing(dir / L"random.bin"));
  // Missing and non-archive files.
  EXPECT_EQ(kZipCannotOpen, OpenZip(dir / L"missing.zip", &raw));
  EXPECT_EQ(nullptr, raw);
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"text.zip", "just text"));
  EXPECT_EQ(-1, OpenZip(dir / L"text.zip", &raw));
  EXPECT_EQ(nullptr, raw);
}

TEST(ZipReaderContract, ArgumentsIndicesAndHandles) {
  CTempDir dir;
  CScopedZipHandle zip = OpenFixture("python.zip");
  ASSERT_TRUE(zip);
  ZipItem item;
  item.name = L"stale";
  item.attributes = 7;
  ASSERT_EQ(kZipOk, GetZipItem(zip.get(), -1, &item));
  EXPECT_EQ(9, item.index);
  EXPECT_EQ(L"", item.name);
  EXPECT_EQ(0u, item.attributes | item.compressedSize | item.uncompressedSize);
  EXPECT_EQ(0u, item.accessTime | item.creationTime | item.modificationTime);

  EXPECT_EQ(kZipBadArgument, GetZipItem(zip.get(), 9, &item));
  EXPECT_EQ(kZipBadArgument, GetZipItem(zip.get(), -2, &item));
  EXPECT_EQ(kZipBadArgument, GetZipItem(zip.get(), 0, nullptr));
  EXPECT_EQ(kZipBadArgument, UnzipItem(zip.get(), -1, dir / L"minus.txt"));
  EXPECT_EQ(kZipBadArgument, UnzipItem(zip.get(), 9, dir / L"nine.txt"));
  EXPECT_FALSE(Platform::PathExists(dir / L"minus.txt"));
  EXPECT_FALSE(Platform::PathExists(dir / L"nine.txt"));

  EXPECT_EQ(kZipAlreadyOpen, zip->reader->Open(TestFiles::FixturePath("zip/7z.zip")));
  ASSERT_EQ(kZipOk, GetZipItem(zip.get(), 0, &item));  // still the first archive
  EXPECT_EQ(L"hello.txt", item.name);

  EXPECT_EQ(kZipBadArgument, GetZipItem(nullptr, 0, &item));
  EXPECT_EQ(kZipBadArgument, UnzipItem(nullptr, 0, dir / L"x"));
  EXPECT_EQ(kZipBadArgument, ReleaseZip(nullptr));
  zip->kind = 2;
  EXPECT_EQ(kZipWrongKind, GetZipItem(zip.get(), 0, &item));
  EXPECT_EQ(kZipWrongKind, LocateZipItem(zip.get(), L"hello.txt", nullptr, nullptr));
  EXPECT_EQ(kZipWrongKind, ReleaseZip(zip.get()));
  zip->kind = 1;
}

TEST(ZipReaderContract, LookupByLastPathComponent) {
  const std::string archive = BuildArchive({
      Stored("setup.dll", "top"),
      Stored("sub/setup2.dll", "nested"),
      Stored(std::string(240, 'n') + ".txt", "long"),
      Stored("Mixed.Case", "mixed"),
  });
  CScopedZipHandle zip;
  ASSERT_EQ(kZipOk, OpenMemory(archive, &zip));
  const std::wstring longName = std::wstring(240, L'n') + L".txt";
  struct Row {
    std::wstring name;
    std::int32_t index;
  };
  const Row rows[] = {
      {L"D:\\dir\\SETUP.DLL", 0},
      {L"setup.dll", 0},
      {L"a/b\\c/Setup.Dll", 0},
      {L"sub/setup2.dll", -1},  // stored with a folder: never matched
      {L"setup2.dll", -1},
      {L"MIXED.CASE", 3},
      {L"mixed.case", 3},
      {L"C:\\" + longName, 2},                                        // 247 characters
      {L"C:\\" + std::wstring(7, L'x') + L"\\" + longName, 2},        // 255 characters
      {L"C:\\" + std::wstring(8, L'x') + L"\\" + longName, -1},       // 256 characters
      {L"", -1},
      {L"dir\\", -1},
      {L"setup.dl\u00e9", -1},
      {L"setup.dll\u4e00", -1},  // not encodable
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Platform::ToUtf8(row.name));
    std::int32_t index = 99;
    ZipItem record;
    record.name = L"stale";
    record.attributes = 5;
    const ZipResult rc = LocateZipItem(zip.get(), row.name, &index, &record);
    EXPECT_EQ(row.index < 0 ? kZipNotFound : kZipOk, rc);
    EXPECT_EQ(row.index, index);
    EXPECT_EQ(row.index, record.index);
    if (row.index < 0) {
      EXPECT_EQ(L"", record.name);
      EXPECT_EQ(0u, record.attributes);
    } else {
      ZipItem direct;
      ASSERT_EQ(kZipOk, GetZipItem(zip.get(), row.index, &direct));
      EXPECT_EQ(direct.name, record.name);
    }
  }
  // Either output may be left out; a failed lookup leaves the walk usable.
  EXPECT_EQ(kZipOk, LocateZipItem(zip.get(), L"mixed.case", nullptr, nullptr));
  ZipItem item;
  ASSERT_EQ(kZipOk, GetZipItem(zip.get(), 1, &item));
  EXPECT_EQ(kZipNotFound, LocateZipItem(zip.get(), L"nothing", nullptr, nullptr));
  ASSERT_EQ(kZipOk, GetZipItem(zip.get(), 2, &item));
  EXPECT_EQ(longName, item.name);
}

TEST(ZipReaderContract, TargetsFoldersAndFolderItems) {
  CTempDir dir;
  const std::string archive =
      BuildArchive({Deflated("f.txt", "content of f\n"), Folder("tree/"), Folder("tree/a/b/"), Stored("g.txt", "g")});
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"a.zip", archive));
  ZipHandle* raw = nullptr;
  ASSERT_EQ(kZipOk, OpenZip(dir / L"a.zip", &raw, dir.Path()));
  CScopedZipHandle zip(raw);
  EXPECT_EQ(dir.Path() + L"\\", zip->reader->BaseDirectory());

  // A relative target: its folders are made under the base directory.
  ASSERT_EQ(kZipOk, UnzipItem(zip.get(), 0, L"sub\\dir\\f.txt"));
  EXPECT_TRUE(Platform::IsDirectory(dir / L"sub\\dir"));
  EXPECT_EQ("content of f\n", TestFiles::ReadOrMissing(dir / L"sub\\dir\\f.txt"));
  ASSERT_EQ(kZipOk, UnzipItem(zip.get(), 3, L"x/y\\g.txt"));
  EXPECT_EQ("g", TestFiles::ReadOrMissing(dir / L"x\\y\\g.txt"));
  // An existing file is replaced.
  ASSERT_EQ(kZipOk, UnzipItem(zip.get(), 3, L"sub\\dir\\f.txt"));
  EXPECT_EQ("g", TestFiles::ReadOrMissing(dir / L"sub\\dir\\f.txt"));

  // An absolute target: its folder must exist; nothing is created.
  EXPECT_EQ(kZipCannotOpen, UnzipItem(zip.get(), 0, dir / L"absent\\f.txt"));
  EXPECT_FALSE(Platform::PathExists(dir / L"absent"));
  ASSERT_EQ(kZipOk, UnzipItem(zip.get(), 0, dir / L"sub\\abs.txt"));
  EXPECT_EQ("content of f\n", TestFiles::ReadOrMissing(dir / L"sub\\abs.txt"));

  // Folder items are made under the base directory whatever the target.
  ASSERT_EQ(kZipOk, UnzipItem(zip.get(), 2, L"ignored"));
  EXPECT_TRUE(Platform::IsDirectory(dir / L"tree\\a\\b"));
  EXPECT_FALSE(Platform::PathExists(dir / L"ignored"));
  ASSERT_EQ(kZipOk, UnzipItem(zip.get(), 1, L"ignored"));
}

TEST(ZipReaderContract, MakeDirectoryChainLevels) {
  CTempDir dir;
  const std::wstring base = dir.Path() + L"\\";
  struct Row {
    const wchar_t* chain;
    const wchar_t* check;
  };
  const Row rows[] = {
      {L"", L""},
      {L"one", L"one"},
      {L"a\\b\\c", L"a\\b\\c"},
      {L"a/b/d/", L"a\\b\\d"},
      {L"m//n", L"m\\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Platform::ToUtf8(row.chain));
    EXPECT_TRUE(MakeDirectoryChain(base, row.chain));
    EXPECT_TRUE(Platform::IsDirectory(base + row.check));
  }
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"file", "x"));
  EXPECT_FALSE(MakeDirectoryChain(base, L"file\\below"));
}

TEST(ZipReaderContract, FailuresAtTheFileServiceAreReported) {
  CTempDir dir;
  CScopedZipHandle zip = OpenFixture("python.zip");
  ASSERT_TRUE(zip);
  struct Row {
    const char* operation;
    ZipResult result;
  };
  const Row rows[] = {
      {"Create", kZipCannotOpen},
      {"Write", kZipItemFailed},
      {"SetTimes", kZipItemFailed},
      {"SetAttributes", kZipItemFailed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.operation);
    const std::wstring target = dir / Platform::FromUtf8(row.operation);
    Platform::FailNthCall(row.operation, 1, Platform::kErrorDiskFull);
    const ZipResult rc = UnzipItem(zip.get(), 2, target);  // read-only item: attributes are set too
    Platform::ClearFaults();
    EXPECT_EQ(row.result, rc);
    EXPECT_FALSE(Platform::PathExists(target));
  }
  // Reading the archive itself fails.
  ZipHandle* raw = nullptr;
  ASSERT_EQ(kZipOk, OpenZip(TestFiles::FixturePath("zip/infozip.zip"), &raw));
  CScopedZipHandle second(raw);
  Platform::FailNthCall("Read", 1, Platform::kErrorReadFault);
  ZipItem item;
  const ZipResult rc = GetZipItem(second.get(), 6, &item);
  Platform::ClearFaults();
  EXPECT_NE(kZipOk, rc);
  // A failed read of the archive is not retried: later reads fail too.
  EXPECT_NE(kZipOk, UnzipItem(second.get(), 0, dir / L"after-read-failure"));
}
