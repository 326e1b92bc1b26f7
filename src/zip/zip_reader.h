// Reading zip archives: list the items of an archive, find one by name and
// extract it to a file with its attributes and time stamps. The handle
// operations at the bottom are what the rest of the updater calls; ZipReader
// is the object behind a handle. One reader is used by one thread at a time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "zip/zip_source.h"

class ZipDirectoryCursor;

// Result codes of the reader and the handle operations.
using ZipResult = std::int32_t;
inline constexpr ZipResult kZipOk = 0;
inline constexpr ZipResult kZipCannotOpen = 0x200;       // archive not opened, or target not created
inline constexpr ZipResult kZipItemFailed = 0x400;       // item not read/decompressed/checked, or write failed
inline constexpr ZipResult kZipNotFound = 0x500;         // no item with that name
inline constexpr ZipResult kZipHeaderMismatch = 0x700;   // local header disagrees with the central entry
inline constexpr ZipResult kZipExtraUnreadable = 0x800;  // local extra field unreadable, or not seekable
inline constexpr ZipResult kZipOverlapping = 0x900;      // the item's local header lies inside another item's data
inline constexpr ZipResult kZipBadArgument = 0x10000;    // no handle, or index out of range
inline constexpr ZipResult kZipWrongKind = 0x80000;      // handle not of the reading kind
inline constexpr ZipResult kZipAlreadyOpen = 0x1000000;  // Open on a reader that is already open
inline constexpr ZipResult kZipCancelled = 0x2000000;    // the extraction's cancel check answered true
// Open also passes on the cursor's -1 (read failed / no end record) and
// -103 (multi-disk archive, entry counts differ, bad directory placement).

// The record of one archive item.
struct ZipItem {
  // Position in the central directory (0-based); the item count for the
  // count query (index -1); -1 after a failed lookup.
  std::int32_t index = 0;
  // Stored name (at most 259 stored bytes) decoded as UTF-8 when the entry
  // says so (general-purpose flag bit 11), from the ANSI code page
  // otherwise; separators as stored ('/' as a rule).
  std::wstring name;
  // File attribute bits (Platform::kAttr*).
  std::uint32_t attributes = 0;
  // FILETIMEs (100 ns since 1601-01-01); 0 when unknown.
  std::uint64_t accessTime = 0;
  std::uint64_t creationTime = 0;
  std::uint64_t modificationTime = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
};

// Asked before each chunk (at most 16 KiB) an extraction writes; true stops
// it. Empty: never. Called on the extracting thread.
using ZipCancelCheck = std::function<bool()>;

// Where extracted bytes go when they do not go to a file (tests, fuzzing).
class IZipOutput {
 public:
  virtual ~IZipOutput() = default;
  // Takes `size` bytes; false stops the extraction with kZipItemFailed.
  [[nodiscard]] virtual bool Write(const void* data, std::size_t size) = 0;
};

// Index-based access to an archive: records, name lookup and extraction.
class ZipReader {
 public:
  ZipReader();
  ~ZipReader();
  ZipReader(const ZipReader&) = delete;
  ZipReader& operator=(const ZipReader&) = delete;

  // Opens the archive file at `path` (a Windows path). Returns kZipOk,
  // kZipAlreadyOpen, kZipCannotOpen or the cursor's -1/-103. `baseFolder`
  // (a Windows path without a trailing separator) is where relative targets
  // and folder items go; empty means none: they are then refused. The
  // process's current folder is never used.
  [[nodiscard]] ZipResult Open(const std::wstring& path, const std::wstring& baseFolder = std::wstring());
  // The same over any byte source (memory for tests and fuzzing).
  [[nodiscard]] ZipResult Open(std::unique_ptr<IZipByteSource> source, const std::wstring& baseFolder = std::wstring());
  // Fills *record for index 0..count-1, or the count record for -1.
  [[nodiscard]] ZipResult Get(std::int32_t index, ZipItem* record);
  // Finds a stored name equal (ASCII letters case-folded) to the last
  // component of `name`. *index (optional) gets the index or -1; *record
  // (optional) the record, or a cleared one with index -1 on kZipNotFound.
  [[nodiscard]] ZipResult Locate(const std::wstring& name, std::int32_t* index, ZipItem* record);
  // Extracts item `index` to a new file at `target` (an existing file is
  // replaced): an absolute target as it stands (its folder must exist), a
  // relative one below the base folder, whose folders are created first (it
  // must pass IsContainedRelativePath, and there must be a base folder, or
  // the result is kZipCannotOpen). A directory item creates its folder chain
  // below the base folder instead, under the same conditions on its stored
  // name. When the item fails after the file was created (kZipItemFailed)
  // the file is removed again. kZipHeaderMismatch for an item whose local
  // header (its name included) disagrees with its central entry,
  // kZipOverlapping for one whose local header lies inside another item's
  // data. When `cancelled` answers true the extraction stops with
  // kZipCancelled and the file is removed.
  [[nodiscard]] ZipResult Unzip(std::int32_t index, const std::wstring& target,
                                const ZipCancelCheck& cancelled = ZipCancelCheck());
  // Extracts a file item's bytes to `output`. kZipOk only when every byte
  // was delivered and the size and CRC-32 checked out.
  [[nodiscard]] ZipResult UnzipTo(std::int32_t index, IZipOutput& output);

  // The base folder ending in "\", or empty when there is none.
  const std::wstring& BaseDirectory() const { return baseDirectory_; }

 private:
  struct StoredRecord;
  void CloseOpenItem();
  ZipResult MoveTo(std::int32_t index);
  ZipResult FetchCurrent(StoredRecord* record);
  // Moves to index and gives its record, from the cache when it holds it.
  ZipResult LoadRecord(std::int32_t index, StoredRecord* record);
  ZipResult Extract(const StoredRecord& record, IZipOutput& output, const ZipCancelCheck& cancelled = ZipCancelCheck());
  ZipItem ToItem(const StoredRecord& record) const;
  static std::wstring DecodeName(const StoredRecord& record);

  std::unique_ptr<ZipDirectoryCursor> cursor_;
  std::int32_t openItemIndex_ = -1;
  std::unique_ptr<StoredRecord> cache_;
  std::int32_t cacheIndex_ = -1;
  std::wstring baseDirectory_;
};

// An archive opened for reading: kind 1 and the reader it owns.
struct ZipHandle {
  std::int32_t kind = 1;
  std::unique_ptr<ZipReader> reader;
};

// Opens the archive at `path`. On kZipOk *handle receives a new handle that
// the caller frees with ReleaseZip; on any other result *handle is null.
// Relative targets and folder items are extracted below `baseFolder`, and
// refused when it is empty (ZipReader::Unzip).
[[nodiscard]] ZipResult OpenZip(const std::wstring& path, ZipHandle** handle,
                                const std::wstring& baseFolder = std::wstring());
// The same over a byte source (memory archives in tests and fuzzing).
[[nodiscard]] ZipResult OpenZipSource(std::unique_ptr<IZipByteSource> source, ZipHandle** handle,
                                      const std::wstring& baseFolder = std::wstring());
// Index -1: record->index receives the item count, everything else zero.
// 0..count-1: the item's record. kZipBadArgument for a null handle or record.
[[nodiscard]] ZipResult GetZipItem(ZipHandle* handle, std::int32_t index, ZipItem* record);
// Finds an item by the last path component of `name`; index and record are
// optional outputs. kZipNotFound when nothing matches.
[[nodiscard]] ZipResult LocateZipItem(ZipHandle* handle, const std::wstring& name, std::int32_t* index,
                                      ZipItem* record);
// Extracts item `index` to the file `target` (ZipReader::Unzip), asking
// `cancelled` before each chunk.
[[nodiscard]] ZipResult UnzipItem(ZipHandle* handle, std::int32_t index, const std::wstring& target,
                                  const ZipCancelCheck& cancelled = ZipCancelCheck());
// Extracts item `index` to `output` instead of a file.
[[nodiscard]] ZipResult UnzipItemTo(ZipHandle* handle, std::int32_t index, IZipOutput& output);
// Ends any open item, closes the archive and frees the handle. kZipOk, or
// kZipBadArgument / kZipWrongKind for a bad handle (which is then not freed).
ZipResult ReleaseZip(ZipHandle* handle);

// Releases a handle when it goes out of scope.
struct ZipHandleCloser {
  void operator()(ZipHandle* handle) const { (void)ReleaseZip(handle); }
};
using CScopedZipHandle = std::unique_ptr<ZipHandle, ZipHandleCloser>;

// Creates base + dir and every parent level of dir below base, parents
// first; levels that exist already are fine. True when base + dir is a
// folder afterwards (and for an empty dir).
bool MakeDirectoryChain(const std::wstring& base, const std::wstring& dir);
