// Damaged and hostile archives: every case ends with a result code, never a
// crash, a hang, unchecked bytes reported as good, or a write outside the
// folder an extraction was meant for.
#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <random>
#include <string>

#include "common/test_files.h"
#include "platform/file.h"
#include "platform/text.h"
#include "zip/zip_reader.h"
#include "zip_test_support.h"

using namespace ZipTest;
using TestFiles::CTempDir;

namespace {

std::string Text(std::size_t size) {
  std::string text;
  while (text.size() < size) text += "line " + std::to_string(text.size()) + " of a text file\n";
  text.resize(size);
  return text;
}

// Sets a 32-bit field of item i's central entry and local header at once.
void PutBoth(std::string* bytes, const Layout& layout, std::size_t i, std::size_t centralAt, std::size_t localAt,
             std::uint32_t value) {
  Put32(bytes, layout.items[i].central + centralAt, value);
  Put32(bytes, layout.items[i].local + localAt, value);
}

}  // namespace

TEST(ZipHostile, DamagedItemsFailWithTheirCode) {
  const std::string plainA = Text(5000);
  const std::string noise = FixtureNoise().substr(0, 3000);
  const std::string base = BuildArchive({Deflated("a.txt", plainA), Stored("b.bin", noise), Deflated("c.txt", "c\n")});
  const Layout layout = ReadLayout(base);
  using Mutation = std::function<void(std::string*)>;
  struct Row {
    const char* what;
    Mutation mutate;
    int index;
    ZipResult get;
    ZipResult unzip;
  };
  const Row rows[] = {
      {"intact deflated", [](std::string*) {}, 0, kZipOk, kZipOk},
      {"intact stored", [](std::string*) {}, 1, kZipOk, kZipOk},
      {"corrupt deflate data", [&](std::string* b) { Put32(b, layout.items[0].data + 10, 0xFFFFFFFF); }, 0, kZipOk,
       kZipItemFailed},
      {"CRC-32 mismatch", [&](std::string* b) { PutBoth(b, layout, 0, 16, 14, Crc32(plainA) ^ 1); }, 0, kZipOk,
       kZipItemFailed},
      {"stored CRC-32 mismatch", [&](std::string* b) { PutBoth(b, layout, 1, 16, 14, 0); }, 1, kZipOk,
       kZipItemFailed},
      {"deflated data longer than declared", [&](std::string* b) { PutBoth(b, layout, 0, 24, 22, 100); }, 0, kZipOk,
       kZipItemFailed},
      {"declared size huge", [&](std::string* b) { PutBoth(b, layout, 0, 24, 22, 0xFFFFFFFF); }, 0, kZipOk,
       kZipItemFailed},
      {"compressed size past the end", [&](std::string* b) { PutBoth(b, layout, 2, 20, 18, 0x7FFFFFFF); }, 2, kZipOk,
       kZipItemFailed},
      {"compressed size short", [&](std::string* b) { PutBoth(b, layout, 0, 20, 18, 20); }, 0, kZipOk,
       kZipItemFailed},
      {"stored data shorter than declared", [&](std::string* b) { PutBoth(b, layout, 1, 20, 18, 1000); }, 1, kZipOk,
       kZipItemFailed},
      {"stored data longer than declared",
       [&](std::string* b) {
         PutBoth(b, layout, 1, 24, 22, 1000);
         PutBoth(b, layout, 1, 16, 14, Crc32(noise.substr(0, 1000)));
       },
       1, kZipOk, kZipItemFailed},
      {"local signature broken", [&](std::string* b) { (*b)[layout.items[0].local] = 'X'; }, 0, kZipHeaderMismatch,
       kZipHeaderMismatch},
      {"local name length differs", [&](std::string* b) { Put16(b, layout.items[0].local + 26, 4); }, 0,
       kZipHeaderMismatch, kZipHeaderMismatch},
      {"local sizes differ", [&](std::string* b) { Put32(b, layout.items[1].local + 22, 5); }, 1,
       kZipHeaderMismatch, kZipHeaderMismatch},
      {"unsupported method",
       [&](std::string* b) {
         Put16(b, layout.items[0].central + 10, 12);
         Put16(b, layout.items[0].local + 8, 12);
       },
       0, kZipHeaderMismatch, kZipHeaderMismatch},
      {"methods differ", [&](std::string* b) { Put16(b, layout.items[0].local + 8, 0); }, 0, kZipHeaderMismatch,
       kZipHeaderMismatch},
      {"local header offset past the end", [&](std::string* b) { Put32(b, layout.items[0].central + 42, 0x7FFFFFF0); },
       0, kZipHeaderMismatch, kZipHeaderMismatch},
      {"local extra field past the end", [&](std::string* b) { Put16(b, layout.items[2].local + 28, 0xFFFF); }, 2,
       kZipExtraUnreadable, kZipExtraUnreadable},
      {"data descriptor: local sizes zero",
       [&](std::string* b) {
         Put16(b, layout.items[0].local + 6, 8);
         for (std::size_t at : {14, 18, 22}) Put32(b, layout.items[0].local + at, 0);
       },
       0, kZipOk, kZipOk},
      {"central entry on the way unreadable", [&](std::string* b) { (*b)[layout.items[1].central] = 'X'; }, 2,
       kZipItemFailed, kZipItemFailed},
      {"more entries counted than present",
       [&](std::string* b) {
         Put16(b, layout.endRecord + 8, 5);
         Put16(b, layout.endRecord + 10, 5);
       },
       4, kZipItemFailed, kZipItemFailed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::string bytes = base;
    row.mutate(&bytes);
    CScopedZipHandle zip;
    ASSERT_EQ(kZipOk, OpenMemory(bytes, &zip));
    ZipItem item;
    EXPECT_EQ(row.get, GetZipItem(zip.get(), row.index, &item));
    CMemoryOutput out;
    EXPECT_EQ(row.unzip, UnzipItemTo(zip.get(), row.index, out));
    if (row.unzip == kZipOk) {
      EXPECT_EQ(row.index == 0 ? plainA : noise, out.bytes);
    }

    // To a file: only an item that checked out leaves one.
    CTempDir dir;
    EXPECT_EQ(row.unzip, UnzipItem(zip.get(), row.index, dir / L"out"));
    EXPECT_EQ(row.unzip == kZipOk, Platform::PathExists(dir / L"out"));
    // The walk recovers: the first item is still there afterwards.
    if (row.index != 0) {
      EXPECT_EQ(kZipOk, GetZipItem(zip.get(), 0, &item));
    }
  }
}

TEST(ZipHostile, OverlappingItemsAndInvalidDosDates) {
  std::vector<Entry> entries = {Stored("x1", "same"), Stored("x2", "same")};
  struct DateRow {
    std::uint32_t dos;
    bool valid;
  };
  const DateRow dates[] = {
      {(40u << 25) | (1u << 21) | (1u << 16), true},    // 2020-01-01 00:00:00
      {(40u << 25) | (0u << 21) | (1u << 16), false},   // month 0
      {(40u << 25) | (13u << 21) | (1u << 16), false},  // month 13
      {(40u << 25) | (2u << 21) | (0u << 16), false},   // day 0
      {(41u << 25) | (2u << 21) | (29u << 16), false},  // 2021-02-29
      {(40u << 25) | (1u << 21) | (1u << 16) | (24u << 11), false},  // hour 24
      {(40u << 25) | (1u << 21) | (1u << 16) | 30u, false},          // second 60
  };
  for (const DateRow& d : dates) {
    Entry e = Stored("d" + std::to_string(entries.size()), "d");
    e.dosDateTime = d.dos;
    entries.push_back(e);
  }
  std::string bytes = BuildArchive(entries);
  const Layout layout = ReadLayout(bytes);
  Put32(&bytes, layout.items[1].central + 42, static_cast<std::uint32_t>(layout.items[0].local));
  CScopedZipHandle zip;
  ASSERT_EQ(kZipOk, OpenMemory(bytes, &zip));
  // The second entry points at the first one's local header: only the first
  // gets the data.
  CMemoryOutput first;
  EXPECT_EQ(kZipOk, UnzipItemTo(zip.get(), 0, first));
  EXPECT_EQ("same", first.bytes);
  CMemoryOutput second;
  EXPECT_EQ(kZipOverlapping, UnzipItemTo(zip.get(), 1, second));
  EXPECT_EQ("", second.bytes);
  CTempDir dir;
  for (std::size_t i = 0; i < std::size(dates); ++i) {
    ZipItem item;
    const int index = static_cast<int>(i) + 2;
    ASSERT_EQ(kZipOk, GetZipItem(zip.get(), index, &item));
    EXPECT_EQ(dates[i].valid, item.modificationTime != 0) << i;
    EXPECT_EQ(item.modificationTime, item.creationTime);
    EXPECT_EQ(item.modificationTime, item.accessTime);
    EXPECT_EQ(kZipOk, UnzipItem(zip.get(), index, dir / Platform::FromUtf8(std::to_string(i))));
  }
}

TEST(ZipHostile, ZipBombsEndWithinTheirDeclaredSize) {
  // 1 GiB of zeros: one sync-flushed deflate block for 1 MiB repeated 1,024
  // times (each block only copies zeros), then an empty final block.
  const std::string zeros(1 << 20, '\0');
  z_stream s{};
  ASSERT_EQ(Z_OK, deflateInit2(&s, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY));
  std::string block(64 << 10, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
  s.avail_in = static_cast<uInt>(zeros.size());
  s.next_out = reinterpret_cast<Bytef*>(block.data());
  s.avail_out = static_cast<uInt>(block.size());
  ASSERT_EQ(Z_OK, deflate(&s, Z_SYNC_FLUSH));
  block.resize(block.size() - s.avail_out);
  deflateEnd(&s);
  std::string stream;
  for (int i = 0; i < 1024; ++i) stream += block;
  stream += std::string("\x03\x00", 2);
  std::uint32_t crcMiB = Crc32(zeros);
  std::uint32_t crcGiB = 0;
  for (int i = 0; i < 1024; ++i) crcGiB = static_cast<std::uint32_t>(crc32_combine(crcGiB, crcMiB, 1 << 20));

  auto open = [&](std::uint32_t declared, std::uint32_t crc, CScopedZipHandle* zip) {
    Entry bomb;
    bomb.name = "zeros.bin";
    bomb.data = stream;
    bomb.method = 8;
    bomb.crc = crc;
    bomb.compressedSize = static_cast<std::uint32_t>(stream.size());
    bomb.uncompressedSize = declared;
    return OpenMemory(BuildArchive({bomb}), zip);
  };

  // Honest headers: listed as they are; a caller's output can stop it.
  CScopedZipHandle honest;
  ASSERT_EQ(kZipOk, open(1u << 30, crcGiB, &honest));
  ZipItem item;
  ASSERT_EQ(kZipOk, GetZipItem(honest.get(), 0, &item));
  EXPECT_EQ(1u << 30, item.uncompressedSize);
  CMemoryOutput capped(8 << 20);
  EXPECT_EQ(kZipItemFailed, UnzipItemTo(honest.get(), 0, capped));
  EXPECT_EQ(8u << 20, capped.bytes.size());

  // Headers that claim 1 MiB: extraction stops there and fails, to memory
  // and to a file, without inflating the rest.
  CScopedZipHandle lying;
  ASSERT_EQ(kZipOk, open(1u << 20, crcMiB, &lying));
  CCountingOutput out;
  EXPECT_EQ(kZipItemFailed, UnzipItemTo(lying.get(), 0, out));
  EXPECT_EQ(1u << 20, out.count);
  CTempDir dir;
  EXPECT_EQ(kZipItemFailed, UnzipItem(lying.get(), 0, dir / L"zeros.bin"));
  EXPECT_FALSE(Platform::PathExists(dir / L"zeros.bin"));
}

TEST(ZipHostile, StoredNamesNeverLeadOutOfTheBase) {
  CTempDir dir;
  const std::wstring base = dir / L"base";
  ASSERT_TRUE(Platform::MakeDirectory(base));
  const char* hostile[] = {"../escape1/",   "..\\escape2\\", "a/../../escape3/", "/abs_escape4/",
                           "\\abs_escape5\\", "C:/escape6/",   "C:escape7/",       "..",
                           "../",           "ok/../../escape8/"};
  std::vector<Entry> entries;
  for (const char* name : hostile) entries.push_back(Folder(name));
  entries.push_back(Folder("inside/ok/"));
  entries.push_back(Stored("../file_escape.txt", "x"));
  const std::string archive = BuildArchive(entries);
  CScopedZipHandle zip;
  ASSERT_EQ(kZipOk, OpenMemory(archive, &zip, base));
  for (std::size_t i = 0; i < std::size(hostile); ++i) {
    EXPECT_EQ(kZipCannotOpen, UnzipItem(zip.get(), static_cast<int>(i), L"unused")) << hostile[i];
  }
  const int inside = static_cast<int>(std::size(hostile));
  EXPECT_EQ(kZipOk, UnzipItem(zip.get(), inside, L"unused"));
  EXPECT_TRUE(Platform::IsDirectory(base + L"\\inside\\ok"));
  // A relative target that climbs out gets no folders made for it.
  EXPECT_EQ(kZipCannotOpen, UnzipItem(zip.get(), inside + 1, L"..\\outside\\file_escape.txt"));
  EXPECT_EQ(kZipCannotOpen, UnzipItem(zip.get(), inside + 1, L"in\\..\\..\\outside2\\file_escape.txt"));

  std::vector<Platform::DirectoryEntry> top;
  ASSERT_TRUE(Platform::ListDirectory(dir.Path(), &top));
  ASSERT_EQ(1u, top.size());
  EXPECT_EQ(L"base", top[0].name);
  std::vector<Platform::DirectoryEntry> inBase;
  ASSERT_TRUE(Platform::ListDirectory(base, &inBase));
  ASSERT_EQ(1u, inBase.size());
  EXPECT_EQ(L"inside", inBase[0].name);
  EXPECT_FALSE(Platform::PathExists(L"\\abs_escape4"));
  EXPECT_FALSE(Platform::PathExists(L"\\abs_escape5"));
}

TEST(ZipHostile, LongStoredNamesAreCut) {
  const std::string name300(300, 'L');
  const std::string name255 = std::string(251, 'k') + ".txt";
  CScopedZipHandle zip;
  ASSERT_EQ(kZipOk, OpenMemory(BuildArchive({Stored(name300, "long"), Stored(name255, "fits"),
                                             Stored(std::string(65535 - 50, 'M'), "max")}),
                               &zip));
  ZipItem item;
  ASSERT_EQ(kZipOk, GetZipItem(zip.get(), 0, &item));
  EXPECT_EQ(std::wstring(259, L'L'), item.name);
  ASSERT_EQ(kZipOk, GetZipItem(zip.get(), 2, &item));
  EXPECT_EQ(259u, item.name.size());
  std::int32_t index = -1;
  EXPECT_EQ(kZipOk, LocateZipItem(zip.get(), Platform::FromUtf8(name255), &index, nullptr));
  EXPECT_EQ(1, index);
  // The lookup sees the first 255 bytes of a longer stored name.
  EXPECT_EQ(kZipOk, LocateZipItem(zip.get(), std::wstring(255, L'L'), &index, nullptr));
  EXPECT_EQ(0, index);
  EXPECT_EQ(kZipNotFound, LocateZipItem(zip.get(), std::wstring(254, L'L'), &index, nullptr));
}

TEST(ZipHostile, RandomDamageNeverCrashesOrOverruns) {
  // A deterministic sweep of byte damage over real and hand-built archives;
  // the fuzz target explores further.
  const std::string sources[] = {
      LoadFixture("python.zip"), LoadFixture("bsdtar.zip"),
      BuildArchive({Deflated("a.txt", Text(3000)), Stored("b", "bb"), Folder("d/")}, "comment")};
  std::mt19937 rng(20240611);
  int succeeded = 0;
  for (const std::string& source : sources) {
    const Layout layout = ReadLayout(source);
    for (int round = 0; round < 600; ++round) {
      std::string bytes = source;
      const int hits = 1 + static_cast<int>(rng() % 6);
      for (int h = 0; h < hits; ++h) {
        // Aim most hits at the structures rather than at the data.
        std::size_t at = rng() % bytes.size();
        if (rng() % 3 != 0) {
          const auto& item = layout.items[rng() % layout.items.size()];
          const std::size_t starts[] = {item.central, item.local, layout.endRecord};
          at = std::min(bytes.size() - 1, starts[rng() % 3] + rng() % 46);
        }
        bytes[at] = static_cast<char>(rng() % 3 == 0 ? 0xFF : rng());
      }
      CScopedZipHandle zip;
      if (OpenMemory(bytes, &zip) != kZipOk) continue;
      ZipItem count;
      ASSERT_EQ(kZipOk, GetZipItem(zip.get(), -1, &count));
      for (int i = 0; i < count.index; ++i) {
        ZipItem item;
        const ZipResult got = GetZipItem(zip.get(), i, &item);
        CMemoryOutput out(1 << 22);
        const ZipResult rc = UnzipItemTo(zip.get(), i, out);
        if (rc == kZipOk) {
          ++succeeded;
          EXPECT_EQ(kZipOk, got);
          EXPECT_EQ(item.uncompressedSize, out.bytes.size());
        }
      }
    }
  }
  EXPECT_GT(succeeded, 0);
}

TEST(ZipHostile, EntriesThatShareDataOrLieAboutTheirNames) {
  // Each row damages a three-item archive a.dll, b.dll, c.dll (1,000 stored
  // bytes each) and names the result of each item's extraction.
  struct Row {
    const char* what;
    std::function<void(std::string*, const Layout&)> damage;
    ZipResult results[3];
  };
  const Row rows[] = {
      {"untouched", [](std::string*, const Layout&) {}, {kZipOk, kZipOk, kZipOk}},
      {"b points at a's local header",
       [](std::string* b, const Layout& l) { Put32(b, l.items[1].central + 42, static_cast<std::uint32_t>(l.items[0].local)); },
       {kZipOk, kZipOverlapping, kZipOk}},
      {"all three point at c's local header",
       [](std::string* b, const Layout& l) {
         for (std::size_t i : {0, 1}) Put32(b, l.items[i].central + 42, static_cast<std::uint32_t>(l.items[2].local));
       },
       // a comes first in the directory, so it keeps the header, whose name
       // is not its own.
       {kZipHeaderMismatch, kZipOverlapping, kZipOverlapping}},
      {"c's header inside a's data (a claims more data)",
       [](std::string* b, const Layout& l) {
         Put32(b, l.items[2].central + 42, static_cast<std::uint32_t>(l.items[0].data + 500));
       },
       {kZipOk, kZipOk, kZipOverlapping}},
      {"b's local name differs from its central name",
       [](std::string* b, const Layout& l) { (*b)[l.items[1].local + 30] = 'x'; },
       {kZipOk, kZipHeaderMismatch, kZipOk}},
      {"c's central name differs from its local name",
       [](std::string* b, const Layout& l) { (*b)[l.items[2].central + 46] = 'C'; },
       {kZipOk, kZipOk, kZipHeaderMismatch}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::string bytes = BuildArchive({Stored("a.dll", std::string(1000, 'a')), Stored("b.dll", std::string(1000, 'b')),
                                      Stored("c.dll", std::string(1000, 'c'))});
    row.damage(&bytes, ReadLayout(bytes));
    CScopedZipHandle zip;
    ASSERT_EQ(kZipOk, OpenMemory(bytes, &zip));
    std::uint64_t total = 0;
    for (int i = 0; i < 3; ++i) {
      CCountingOutput out;
      EXPECT_EQ(row.results[i], UnzipItemTo(zip.get(), i, out)) << i;
      ZipItem item;
      EXPECT_EQ(row.results[i], GetZipItem(zip.get(), i, &item)) << i;
      if (row.results[i] != kZipOk) {
        EXPECT_EQ(0u, out.count) << i;
      }
      total += out.count;
    }
    // No byte of the archive's data comes out twice.
    EXPECT_LE(total, 3000u);
  }
}

TEST(ZipHostile, EightEntriesOnOneBombInstallItOnce) {
  // 8 MiB of zeros deflated to a few KiB, named by eight central entries.
  const std::string zeros(8 << 20, '\0');
  std::vector<Entry> entries;
  for (int i = 0; i < 8; ++i) entries.push_back(Deflated("bomb" + std::to_string(i), zeros));
  std::string bytes = BuildArchive(entries);
  const Layout layout = ReadLayout(bytes);
  for (std::size_t i = 1; i < 8; ++i) Put32(&bytes, layout.items[i].central + 42, static_cast<std::uint32_t>(layout.items[0].local));
  CScopedZipHandle zip;
  ASSERT_EQ(kZipOk, OpenMemory(bytes, &zip));
  std::uint64_t total = 0;
  for (int i = 0; i < 8; ++i) {
    CCountingOutput out;
    EXPECT_EQ(i == 0 ? kZipOk : kZipOverlapping, UnzipItemTo(zip.get(), i, out)) << i;
    total += out.count;
  }
  EXPECT_EQ(total, zeros.size());
}

TEST(ZipHostile, NamesFlaggedUtf8AreReadAsUtf8) {
  struct Row {
    std::string stored;
    std::uint16_t flags;
    std::wstring name;
    std::int32_t found;  // what a lookup of the name's last component finds
  };
  const Row rows[] = {
      {"caf\xC3\xA9.txt", 0x0800, L"caf\x00E9.txt", 0},
      {"\xE4\xB8\x96\xE7\x95\x8C.dll", 0x0800, L"\x4E16\x754C.dll", 1},
      {"dir/\xF0\x9F\x93\x84.txt", 0x0800, L"dir/\xD83D\xDCC4.txt", -1},  // a stored folder never matches
      {"plain.txt", 0x0800, L"plain.txt", 3},
      // Without the flag the ANSI code page (Windows-1252 here) applies.
      {"caf\xE9.txt", 0, L"caf\x00E9.txt", 0},
      {"caf\xC3\xA9.txt", 0, L"caf\x00C3\x00A9.txt", 5},
  };
  std::vector<Entry> entries;
  for (const Row& row : rows) {
    Entry e = Stored(row.stored, "data of " + row.stored);
    e.flags = row.flags;
    entries.push_back(e);
  }
  CTempDir dir;
  CScopedZipHandle zip;
  ASSERT_EQ(kZipOk, OpenMemory(BuildArchive(entries), &zip, dir.Path()));
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(i);
    ZipItem item;
    ASSERT_EQ(kZipOk, GetZipItem(zip.get(), static_cast<int>(i), &item));
    EXPECT_EQ(rows[i].name, item.name);
    // Found again by its own name (the last component, as lookups go).
    const std::wstring last = item.name.substr(item.name.find_last_of(L'/') + 1);
    std::int32_t found = -2;
    EXPECT_EQ(rows[i].found < 0 ? kZipNotFound : kZipOk, LocateZipItem(zip.get(), L"D:\\x\\" + last, &found, nullptr));
    EXPECT_EQ(rows[i].found, found);
    // And extracted under that name below the base folder.
    ASSERT_EQ(kZipOk, UnzipItem(zip.get(), static_cast<int>(i), last));
    EXPECT_EQ("data of " + rows[i].stored, TestFiles::ReadOrMissing(dir / last));
  }
}

TEST(ZipHostile, RelativeTargetsNeedABaseFolder) {
  // Without a base folder nothing relative is extracted, and the current
  // folder is never where anything goes.
  CTempDir dir;
  const std::wstring cwd = dir / L"cwd";
  const std::wstring base = dir / L"base";
  ASSERT_TRUE(Platform::MakeDirectory(cwd));
  ASSERT_TRUE(Platform::MakeDirectory(base));
  CCurrentFolder here(cwd);
  const std::string archive = BuildArchive({Stored("f.txt", "f"), Folder("tree/"), Folder("nul/"), Folder("a./")});
  struct Row {
    std::wstring base;
    int index;
    std::wstring target;
    ZipResult result;
  };
  const Row rows[] = {
      {L"", 0, L"f.txt", kZipCannotOpen},
      {L"", 0, L"sub\\f.txt", kZipCannotOpen},
      {L"", 1, L"unused", kZipCannotOpen},
      {base, 0, L"sub\\f.txt", kZipOk},
      {base, 0, L"sub\\nul.txt", kZipCannotOpen},
      {base, 0, L"sub\\f.txt.", kZipCannotOpen},
      {base, 0, L"sub\\f?.txt", kZipCannotOpen},
      {base, 1, L"unused", kZipOk},
      {base, 2, L"unused", kZipCannotOpen},
      {base, 3, L"unused", kZipCannotOpen},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.index << " " << Platform::ToUtf8(row.target));
    CScopedZipHandle zip;
    ASSERT_EQ(kZipOk, OpenMemory(archive, &zip, row.base));
    EXPECT_EQ(row.result, UnzipItem(zip.get(), row.index, row.target));
  }
  std::vector<Platform::DirectoryEntry> inCwd;
  ASSERT_TRUE(Platform::ListDirectory(cwd, &inCwd));
  EXPECT_TRUE(inCwd.empty());
  std::vector<Platform::DirectoryEntry> inBase;
  ASSERT_TRUE(Platform::ListDirectory(base, &inBase));
  ASSERT_EQ(2u, inBase.size());
  EXPECT_EQ(L"sub", inBase[0].name);
  EXPECT_EQ(L"tree", inBase[1].name);
  EXPECT_EQ("f", TestFiles::ReadOrMissing(base + L"\\sub\\f.txt"));
}
