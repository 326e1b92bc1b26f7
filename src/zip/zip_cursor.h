// Walks the central directory of an archive one entry at a time and reads
// the data of the entry it stands on. The layer under ZipReader; results are
// the cursor codes below, never the reader's.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "zip/zip_source.h"

class ZipDirectoryCursor {
 public:
  static constexpr int kOk = 0;
  static constexpr int kReadError = -1;      // a read failed or met the end of the data
  static constexpr int kEndOfList = -100;    // no further entry (or no current one)
  static constexpr int kBadParameter = -102;
  static constexpr int kBadArchive = -103;   // structure or data that does not check out
  static constexpr int kNoMemory = -104;
  static constexpr int kCrcMismatch = -105;
  static constexpr int kOverlapping = -106;  // the local header lies inside another entry's data

  // General-purpose flag bit 11: the stored name is UTF-8.
  static constexpr std::uint16_t kFlagUtf8 = 0x0800;

  // Fixed fields of a central directory entry.
  struct EntryInfo {
    std::uint16_t versionMadeBy = 0;
    std::uint16_t versionNeeded = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t dosDateTime = 0;  // time in the low half, date in the high half
    std::uint32_t crc = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t uncompressedSize = 0;
    std::uint16_t nameLength = 0;
    std::uint16_t extraLength = 0;
    std::uint16_t commentLength = 0;
    std::uint16_t diskStart = 0;
    std::uint16_t internalAttributes = 0;
    std::uint32_t externalAttributes = 0;
    std::uint32_t localHeaderOffset = 0;
  };

  // Where the local extra field and the data of the current entry lie
  // (absolute source offsets, prepended bytes included).
  struct LocalInfo {
    std::uint64_t extraOffset = 0;
    std::uint16_t extraLength = 0;
    std::uint64_t dataOffset = 0;
  };

  ~ZipDirectoryCursor();
  ZipDirectoryCursor(const ZipDirectoryCursor&) = delete;
  ZipDirectoryCursor& operator=(const ZipDirectoryCursor&) = delete;

  // Finds and checks the end record and stands on the first entry. kOk with
  // *cursor set; -1 when no end record is found or a read fails, -103 for a
  // multi-disk archive, differing entry counts or a central directory that
  // does not end before the end record. On failure the source is released.
  // Open also walks the directory once and reads every local header, to
  // tell which entries' local headers lie inside the data of an entry
  // before them (in archive order); those entries are refused later
  // (kOverlapping), so that no stretch of data belongs to two entries. A
  // directory walk that meets an unreadable entry stops there; the entries
  // after it cannot be reached anyway.
  [[nodiscard]] static int Open(std::unique_ptr<IZipByteSource> source, std::unique_ptr<ZipDirectoryCursor>* cursor);

  std::uint32_t EntryCount() const { return entryCount_; }
  std::uint16_t CommentLength() const { return commentLength_; }
  std::uint64_t BytesBeforeArchive() const { return bytesBefore_; }
  // 0-based number of the entry the cursor stands on (or tried to reach).
  std::uint32_t EntryNumber() const { return entryNumber_; }
  bool HasCurrentEntry() const { return entryValid_; }
  bool IsSeekable() const { return source_->IsSeekable(); }

  [[nodiscard]] int GoToFirstItem();
  // -100 (nothing changes) when there is no current entry or it is the last.
  [[nodiscard]] int GoToNextItem();
  // The current entry's fields and its stored name cut to at most
  // `maxNameBytes` bytes. -100 without a current entry, -1 on a read failure.
  [[nodiscard]] int GetCurrentItemInfo(EntryInfo* info, std::string* name, std::size_t maxNameBytes);
  // Stands on the first entry whose stored name (first 255 bytes) equals the
  // last '/'- or '\'-separated component of the requested name, ASCII
  // letters compared without case: `utf8Name` for entries whose names are
  // flagged UTF-8, `ansiName` for the others (null when the requested name
  // has no form in that code page). When none does, the previous position is
  // restored and -100 (or the read failure) is returned.
  [[nodiscard]] int LocateItem(const std::string* ansiName, std::string_view utf8Name);
  // Reads the current entry's local header and checks it against the central
  // entry: -1 on a read failure, -103 on a mismatch (the name bytes
  // included) or an unsupported method, -106 when the entry overlaps one
  // before it.
  [[nodiscard]] int CheckLocalHeader(LocalInfo* local);
  // Reads `size` bytes at an absolute offset; -1 unless all of them came.
  [[nodiscard]] int ReadExact(std::uint64_t offset, void* buffer, std::size_t size);

  // Prepares the current entry's data for reading (closing any open item).
  [[nodiscard]] int OpenCurrentItem();
  // Places up to `length` decompressed bytes; 0 at the end of the item,
  // negative on a failure (-1 read, -103 bad or truncated data).
  [[nodiscard]] int ReadCurrentItem(void* buffer, unsigned length);
  // After every declared byte has been read: kOk when the compressed data
  // ends there too, -103 when it is longer or shorter.
  [[nodiscard]] int FinishCurrentItem();
  // Uncompressed bytes of the open item not read yet.
  std::uint32_t RemainingUncompressed() const;
  bool IsItemOpen() const { return item_ != nullptr; }
  // Releases the open item; -105 when all of it was read and the CRC-32
  // differs from the stored one, else kOk.
  int CloseCurrentItem();

 private:
  struct OpenItem;
  explicit ZipDirectoryCursor(std::unique_ptr<IZipByteSource> source);
  bool FindEndRecord(std::uint64_t* position);
  void FindOverlaps();
  int ReadEntry();
  int ReadCached(std::uint64_t offset, void* buffer, std::size_t size);
  int FillInput();

  std::unique_ptr<IZipByteSource> source_;
  std::uint32_t entryCount_ = 0;
  std::uint16_t commentLength_ = 0;
  std::uint32_t directoryOffset_ = 0;
  std::uint64_t bytesBefore_ = 0;
  std::uint32_t entryNumber_ = 0;
  std::uint64_t entryPosition_ = 0;  // offset of the entry within the archive
  bool entryValid_ = false;
  EntryInfo entry_;
  std::unique_ptr<OpenItem> item_;
  // Entries whose local header lies inside an earlier entry's data, by index.
  std::vector<bool> overlapping_;
  // Read-ahead for the small header reads of a directory walk.
  std::vector<unsigned char> window_;
  std::uint64_t windowOffset_ = 0;
};
