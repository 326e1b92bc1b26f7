#include "zip/zip_cursor.h"

#include "platform/byte_order.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr std::uint32_t kCentralSignature = 0x02014B50;
constexpr std::uint32_t kLocalSignature = 0x04034B50;
constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;
constexpr std::uint64_t kSearchLimit = 65535;
constexpr std::size_t kSearchBlock = 1028;
constexpr std::size_t kInputSize = 16384;
constexpr std::size_t kWindowSize = 65536;
constexpr std::size_t kLookupNameBytes = 255;

std::uint16_t Get16(const unsigned char* p) { return Platform::ReadLittle16(p); }
std::uint32_t Get32(const unsigned char* p) { return Platform::ReadLittle32(p); }

unsigned char FoldAscii(unsigned char c) { return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 32) : c; }

}  // namespace

struct ZipDirectoryCursor::OpenItem {
  std::vector<unsigned char> input;
  std::size_t inputStart = 0;  // unconsumed input is input[inputStart, inputStart + inputAvailable)
  std::size_t inputAvailable = 0;
  std::uint64_t nextOffset = 0;  // source offset of the next compressed block
  std::uint32_t remainingCompressed = 0;
  std::uint32_t remainingUncompressed = 0;
  std::uint32_t crc = 0;
  std::uint32_t expectedCrc = 0;
  std::uint16_t method = 0;
  bool streamReady = false;
  bool streamEnded = false;
  z_stream stream{};

  ~OpenItem() {
    if (streamReady) inflateEnd(&stream);
  }
};

ZipDirectoryCursor::ZipDirectoryCursor(std::unique_ptr<IZipByteSource> source) : source_(std::move(source)) {}

ZipDirectoryCursor::~ZipDirectoryCursor() = default;

bool ZipDirectoryCursor::FindEndRecord(std::uint64_t* position) {
  std::uint64_t size = 0;
  if (!source_->IsSeekable() || !source_->GetSize(&size)) return false;
  const std::uint64_t limit = std::min(size, kSearchLimit);
  unsigned char block[kSearchBlock];
  // Blocks step back 1,024 bytes and overlap by 4, so a signature that
  // straddles two blocks is still seen.
  std::uint64_t back = 4;
  while (back < limit) {
    back = std::min<std::uint64_t>(back + kSearchBlock - 4, limit);
    const std::uint64_t readAt = size - back;
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kSearchBlock, size - readAt));
    std::size_t done = 0;
    if (!source_->ReadAt(readAt, block, length, &done) || done != length) return false;
    for (std::size_t i = length - 4 + 1; i-- > 0;) {
      if (block[i] == 'P' && block[i + 1] == 'K' && block[i + 2] == 5 && block[i + 3] == 6) {
        const std::uint64_t found = readAt + i;
        if (found != 0) {
          *position = found;
          return true;
        }
      }
    }
  }
  return false;
}

int ZipDirectoryCursor::Open(std::unique_ptr<IZipByteSource> source, std::unique_ptr<ZipDirectoryCursor>* cursor) {
  cursor->reset();
  if (!source) return kBadParameter;
  std::unique_ptr<ZipDirectoryCursor> self(new (std::nothrow) ZipDirectoryCursor(std::move(source)));
  if (!self) return kNoMemory;
  std::uint64_t endPosition = 0;
  if (!self->FindEndRecord(&endPosition)) return kReadError;
  unsigned char end[kEndRecordSize];
  if (self->ReadExact(endPosition, end, sizeof end) != kOk) return kReadError;
  const std::uint16_t disk = Get16(end + 4);
  const std::uint16_t directoryDisk = Get16(end + 6);
  const std::uint16_t entriesHere = Get16(end + 8);
  const std::uint16_t entriesTotal = Get16(end + 10);
  const std::uint32_t directorySize = Get32(end + 12);
  const std::uint32_t directoryOffset = Get32(end + 16);
  if (disk != 0 || directoryDisk != 0 || entriesHere != entriesTotal) return kBadArchive;
  const std::uint64_t directoryEnd = static_cast<std::uint64_t>(directoryOffset) + directorySize;
  if (endPosition < directoryEnd) return kBadArchive;
  self->entryCount_ = entriesTotal;
  self->commentLength_ = Get16(end + 20);
  self->directoryOffset_ = directoryOffset;
  self->bytesBefore_ = endPosition - directoryEnd;
  if (self->entryCount_ > 0) {
    int rc = self->GoToFirstItem();
    if (rc != kOk) return rc;
    self->FindOverlaps();
    rc = self->GoToFirstItem();
    if (rc != kOk) return rc;
  }
  *cursor = std::move(self);
  return kOk;
}

void ZipDirectoryCursor::FindOverlaps() {
  struct Placed {
    std::uint64_t header;  // absolute offset of the local header
    std::uint32_t index;
    std::uint32_t compressedSize;
    std::uint16_t nameLength;
  };
  std::vector<Placed> placed;
  placed.reserve(entryCount_);
  for (int rc = kOk; rc == kOk; rc = GoToNextItem()) {
    placed.push_back(
        {bytesBefore_ + entry_.localHeaderOffset, entryNumber_, entry_.compressedSize, entry_.nameLength});
  }
  overlapping_.assign(entryCount_, false);
  std::stable_sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) { return a.header < b.header; });
  // Only entries that are kept claim their data, so of several entries at
  // one header the first in the directory is the one kept.
  std::uint64_t claimedUpTo = 0;
  for (const Placed& p : placed) {
    if (p.header < claimedUpTo) {
      overlapping_[p.index] = true;
      continue;
    }
    std::uint64_t nameAndExtra = p.nameLength;
    unsigned char fixed[kLocalSize];
    if (ReadExact(p.header, fixed, sizeof fixed) == kOk && Get32(fixed) == kLocalSignature) {
      nameAndExtra = static_cast<std::uint64_t>(Get16(fixed + 26)) + Get16(fixed + 28);
    }
    claimedUpTo = p.header + kLocalSize + nameAndExtra + p.compressedSize;
  }
}

int ZipDirectoryCursor::ReadExact(std::uint64_t offset, void* buffer, std::size_t size) {
  return source_->ReadExact(offset, buffer, size) ? kOk : kReadError;
}

int ZipDirectoryCursor::ReadCached(std::uint64_t offset, void* buffer, std::size_t size) {
  if (size > kWindowSize / 2) return ReadExact(offset, buffer, size);
  if (offset < windowOffset_ || offset - windowOffset_ + size > window_.size()) {
    window_.resize(kWindowSize);
    std::size_t done = 0;
    if (!source_->ReadAt(offset, window_.data(), window_.size(), &done)) {
      window_.clear();
      return kReadError;
    }
    window_.resize(done);
    windowOffset_ = offset;
    if (done < size) return kReadError;
  }
  std::memcpy(buffer, window_.data() + (offset - windowOffset_), size);
  return kOk;
}

int ZipDirectoryCursor::ReadEntry() {
  unsigned char fixed[kCentralSize];
  int rc = ReadCached(bytesBefore_ + entryPosition_, fixed, sizeof fixed);
  if (rc != kOk) return rc;
  if (Get32(fixed) != kCentralSignature) return kBadArchive;
  EntryInfo& e = entry_;
  e.versionMadeBy = Get16(fixed + 4);
  e.versionNeeded = Get16(fixed + 6);
  e.flags = Get16(fixed + 8);
  e.method = Get16(fixed + 10);
  e.dosDateTime = Get32(fixed + 12);
  e.crc = Get32(fixed + 16);
  e.compressedSize = Get32(fixed + 20);
  e.uncompressedSize = Get32(fixed + 24);
  e.nameLength = Get16(fixed + 28);
  e.extraLength = Get16(fixed + 30);
  e.commentLength = Get16(fixed + 32);
  e.diskStart = Get16(fixed + 34);
  e.internalAttributes = Get16(fixed + 36);
  e.externalAttributes = Get32(fixed + 38);
  e.localHeaderOffset = Get32(fixed + 42);
  return kOk;
}

int ZipDirectoryCursor::GoToFirstItem() {
  entryPosition_ = directoryOffset_;
  entryNumber_ = 0;
  entryValid_ = false;
  if (entryCount_ == 0) return kEndOfList;
  const int rc = ReadEntry();
  entryValid_ = rc == kOk;
  return rc;
}

int ZipDirectoryCursor::GoToNextItem() {
  if (!entryValid_ || entryNumber_ + 1 >= entryCount_) return kEndOfList;
  entryPosition_ += kCentralSize + entry_.nameLength + entry_.extraLength + entry_.commentLength;
  ++entryNumber_;
  const int rc = ReadEntry();
  entryValid_ = rc == kOk;
  return rc;
}

int ZipDirectoryCursor::GetCurrentItemInfo(EntryInfo* info, std::string* name, std::size_t maxNameBytes) {
  if (!entryValid_) return kEndOfList;
  if (info) *info = entry_;
  if (name) {
    name->assign(std::min<std::size_t>(entry_.nameLength, maxNameBytes), '\0');
    if (!name->empty()) {
      const int rc = ReadCached(bytesBefore_ + entryPosition_ + kCentralSize, name->data(), name->size());
      if (rc != kOk) return rc;
    }
  }
  return kOk;
}

int ZipDirectoryCursor::LocateItem(const std::string* ansiName, std::string_view utf8Name) {
  auto lastComponent = [](std::string_view name) {
    const std::size_t cut = name.find_last_of("/\\");
    return cut == std::string_view::npos ? name : name.substr(cut + 1);
  };
  const std::string_view ansi = ansiName != nullptr ? lastComponent(*ansiName) : std::string_view();
  const std::string_view utf8 = lastComponent(utf8Name);
  const std::uint32_t savedNumber = entryNumber_;
  const std::uint64_t savedPosition = entryPosition_;
  const bool savedValid = entryValid_;
  const EntryInfo savedEntry = entry_;
  int rc = GoToFirstItem();
  std::string stored;
  while (rc == kOk) {
    rc = GetCurrentItemInfo(nullptr, &stored, kLookupNameBytes);
    if (rc != kOk) break;
    const bool isUtf8 = (entry_.flags & kFlagUtf8) != 0;
    if (isUtf8 || ansiName != nullptr) {
      const std::string_view name = isUtf8 ? utf8 : ansi;
      if (stored.size() == name.size() &&
          std::equal(stored.begin(), stored.end(), name.begin(), [](char a, char b) {
            return FoldAscii(static_cast<unsigned char>(a)) == FoldAscii(static_cast<unsigned char>(b));
          })) {
        return kOk;
      }
    }
    rc = GoToNextItem();
  }
  entryNumber_ = savedNumber;
  entryPosition_ = savedPosition;
  entryValid_ = savedValid;
  entry_ = savedEntry;
  return rc == kOk ? kEndOfList : rc;
}

int ZipDirectoryCursor::CheckLocalHeader(LocalInfo* local) {
  if (!entryValid_) return kEndOfList;
  if (entryNumber_ < overlapping_.size() && overlapping_[entryNumber_]) return kOverlapping;
  unsigned char fixed[kLocalSize];
  const std::uint64_t headerOffset = bytesBefore_ + entry_.localHeaderOffset;
  if (ReadExact(headerOffset, fixed, sizeof fixed) != kOk) return kReadError;
  if (Get32(fixed) != kLocalSignature) return kBadArchive;
  const std::uint16_t flags = Get16(fixed + 6);
  const std::uint16_t method = Get16(fixed + 8);
  if (method != entry_.method || (entry_.method != 0 && entry_.method != 8)) return kBadArchive;
  // With a data descriptor (flag bit 3) the local CRC and sizes may be zero.
  if ((flags & 0x0008) == 0 && (Get32(fixed + 14) != entry_.crc || Get32(fixed + 18) != entry_.compressedSize ||
                                Get32(fixed + 22) != entry_.uncompressedSize)) {
    return kBadArchive;
  }
  const std::uint16_t nameLength = Get16(fixed + 26);
  if (nameLength != entry_.nameLength) return kBadArchive;
  // The local name must be the central one byte for byte: the name that was
  // checked is the name whose data is extracted.
  std::string localName(nameLength, '\0');
  std::string centralName(nameLength, '\0');
  if (nameLength != 0 &&
      (ReadExact(headerOffset + kLocalSize, localName.data(), nameLength) != kOk ||
       ReadCached(bytesBefore_ + entryPosition_ + kCentralSize, centralName.data(), nameLength) != kOk)) {
    return kReadError;
  }
  if (localName != centralName) return kBadArchive;
  local->extraLength = Get16(fixed + 28);
  local->extraOffset = headerOffset + kLocalSize + nameLength;
  local->dataOffset = local->extraOffset + local->extraLength;
  return kOk;
}

int ZipDirectoryCursor::OpenCurrentItem() {
  if (!entryValid_) return kBadParameter;
  if (item_) CloseCurrentItem();
  LocalInfo local;
  if (CheckLocalHeader(&local) != kOk) return kBadArchive;
  std::unique_ptr<OpenItem> item(new (std::nothrow) OpenItem);
  if (!item) return kNoMemory;
  try {
    item->input.resize(kInputSize);
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
  item->method = entry_.method;
  if (item->method == 8) {
    // Raw deflate: no zlib header, 32 KiB window.
    if (inflateInit2(&item->stream, -MAX_WBITS) != Z_OK) return kNoMemory;
    item->streamReady = true;
  }
  item->nextOffset = local.dataOffset;
  item->remainingCompressed = entry_.compressedSize;
  item->remainingUncompressed = entry_.uncompressedSize;
  item->expectedCrc = entry_.crc;
  item->crc = static_cast<std::uint32_t>(crc32(0L, Z_NULL, 0));
  item_ = std::move(item);
  return kOk;
}

int ZipDirectoryCursor::FillInput() {
  OpenItem& it = *item_;
  if (!source_->IsSeekable()) return kReadError;
  const std::size_t want = std::min<std::size_t>(kInputSize, it.remainingCompressed);
  if (ReadExact(it.nextOffset, it.input.data(), want) != kOk) return kReadError;
  it.nextOffset += want;
  it.remainingCompressed -= static_cast<std::uint32_t>(want);
  it.inputStart = 0;
  it.inputAvailable = want;
  return kOk;
}

int ZipDirectoryCursor::ReadCurrentItem(void* buffer, unsigned length) {
  if (!item_) return kBadParameter;
  OpenItem& it = *item_;
  if (it.input.empty()) return kEndOfList;
  if (length == 0 || it.streamEnded) return 0;
  const unsigned space = static_cast<unsigned>(std::min<std::uint64_t>(
      std::min<unsigned>(length, 0x7FFFFFFF), it.remainingUncompressed));
  auto* out = static_cast<unsigned char*>(buffer);
  unsigned produced = 0;
  while (produced < space) {
    if (it.inputAvailable == 0 && it.remainingCompressed > 0) {
      const int rc = FillInput();
      if (rc != kOk) return rc;
    }
    unsigned got = 0;
    bool ended = false;
    if (it.method == 0) {
      // Stored data that ends before its declared size is truncated.
      if (it.inputAvailable == 0) return kBadArchive;
      got = static_cast<unsigned>(std::min<std::size_t>(space - produced, it.inputAvailable));
      std::memcpy(out + produced, it.input.data() + it.inputStart, got);
      it.inputStart += got;
      it.inputAvailable -= got;
    } else {
      z_stream& s = it.stream;
      s.next_in = it.input.data() + it.inputStart;
      s.avail_in = static_cast<uInt>(it.inputAvailable);
      s.next_out = out + produced;
      s.avail_out = space - produced;
      const int z = inflate(&s, Z_SYNC_FLUSH);
      const std::size_t consumed = it.inputAvailable - s.avail_in;
      it.inputStart += consumed;
      it.inputAvailable = s.avail_in;
      got = (space - produced) - s.avail_out;
      if (z == Z_STREAM_END) {
        ended = true;
      } else if (z != Z_OK && z != Z_BUF_ERROR) {
        return kBadArchive;
      } else if (got == 0 && consumed == 0) {
        // No progress: the deflate stream wants more input than the item holds.
        return kBadArchive;
      }
    }
    it.crc = static_cast<std::uint32_t>(crc32(it.crc, out + produced, got));
    it.remainingUncompressed -= got;
    produced += got;
    if (ended) {
      it.streamEnded = true;
      break;
    }
  }
  return static_cast<int>(produced);
}

int ZipDirectoryCursor::FinishCurrentItem() {
  if (!item_) return kBadParameter;
  OpenItem& it = *item_;
  if (it.remainingUncompressed != 0) return kBadArchive;
  if (it.method == 0) return it.inputAvailable == 0 && it.remainingCompressed == 0 ? kOk : kBadArchive;
  // Every declared byte is out; the deflate stream must end here without
  // producing more (a stream that goes on is longer than its entry says).
  unsigned char spill[64];
  while (!it.streamEnded) {
    if (it.inputAvailable == 0 && it.remainingCompressed > 0) {
      const int rc = FillInput();
      if (rc != kOk) return rc;
    }
    z_stream& s = it.stream;
    s.next_in = it.input.data() + it.inputStart;
    s.avail_in = static_cast<uInt>(it.inputAvailable);
    s.next_out = spill;
    s.avail_out = sizeof spill;
    const int z = inflate(&s, Z_SYNC_FLUSH);
    const std::size_t consumed = it.inputAvailable - s.avail_in;
    it.inputStart += consumed;
    it.inputAvailable = s.avail_in;
    if (s.avail_out != sizeof spill) return kBadArchive;
    if (z == Z_STREAM_END) {
      it.streamEnded = true;
    } else if (z != Z_OK && z != Z_BUF_ERROR) {
      return kBadArchive;
    } else if (consumed == 0) {
      return kBadArchive;
    }
  }
  return kOk;
}

std::uint32_t ZipDirectoryCursor::RemainingUncompressed() const { return item_ ? item_->remainingUncompressed : 0; }

int ZipDirectoryCursor::CloseCurrentItem() {
  if (!item_) return kBadParameter;
  const bool mismatch = item_->remainingUncompressed == 0 && item_->crc != item_->expectedCrc;
  item_.reset();
  return mismatch ? kCrcMismatch : kOk;
}
