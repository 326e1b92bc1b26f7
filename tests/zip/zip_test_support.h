// Helpers for the zip reader tests: archives built byte by byte (for cases no
// archiver writes), the layout of an existing archive (to damage it at a
// known place), and outputs that keep extracted bytes in memory.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "zip/zip_reader.h"

namespace ZipTest {

// One item of a hand-built archive. `data` goes into the archive as it is;
// the sizes and CRC default to those of `plain`.
struct Entry {
  std::string name;
  std::string data;
  std::uint16_t method = 0;
  std::uint16_t flags = 0;
  std::uint32_t crc = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint32_t externalAttributes = 0x81A40000;  // a regular file, rw-r--r--
  std::uint32_t dosDateTime = 0x50CF5229;         // 2020-06-15 10:17:18
  std::string localExtra;
};

Entry Stored(const std::string& name, const std::string& plain);
Entry Deflated(const std::string& name, const std::string& plain);
// A folder item ("name/").
Entry Folder(const std::string& name);
// Raw deflate of `plain`.
std::string Deflate(const std::string& plain);
std::uint32_t Crc32(const std::string& bytes);

// The archive's bytes: local headers and data, central directory, end
// record with `comment`. Offsets count from the start of the archive.
std::string BuildArchive(const std::vector<Entry>& entries, const std::string& comment = std::string());

// Where the structures of an archive lie (offsets into its bytes).
struct Layout {
  std::size_t endRecord = 0;
  struct Item {
    std::size_t central = 0;
    std::size_t local = 0;
    std::size_t data = 0;
    std::uint32_t compressedSize = 0;
  };
  std::vector<Item> items;
};
// The layout of a well-formed single-disk archive without prepended data.
Layout ReadLayout(const std::string& archive);

void Put16(std::string* bytes, std::size_t at, std::uint16_t value);
void Put32(std::string* bytes, std::size_t at, std::uint32_t value);

// Archive bytes of a fixture (tests/fixtures/zip/NAME).
std::string LoadFixture(const std::string& name);
// 20,000 bytes of the fixtures' random.bin.
std::string FixtureNoise();

// Opens bytes as an archive through the memory source, with relative
// targets and folder items going below `baseFolder` (none when empty).
ZipResult OpenMemory(const std::string& bytes, CScopedZipHandle* handle, const std::wstring& baseFolder = L"");

// Keeps what it is given, up to `limit` bytes (more fails the write).
class CMemoryOutput final : public IZipOutput {
 public:
  explicit CMemoryOutput(std::size_t limit = 64 << 20) : limit_(limit) {}
  bool Write(const void* data, std::size_t size) override;
  std::string bytes;

 private:
  std::size_t limit_;
};

// Counts bytes and sums their CRC-32 without keeping them.
class CCountingOutput final : public IZipOutput {
 public:
  bool Write(const void* data, std::size_t size) override;
  std::uint64_t count = 0;
  std::uint32_t crc = 0;
};

// Makes a folder the current one for the lifetime of the object.
class CCurrentFolder {
 public:
  explicit CCurrentFolder(const std::wstring& path);
  ~CCurrentFolder();
  CCurrentFolder(const CCurrentFolder&) = delete;
  CCurrentFolder& operator=(const CCurrentFolder&) = delete;

 private:
  std::wstring previous_;
};

}  // namespace ZipTest
