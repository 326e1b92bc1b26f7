#include "zip/zip_reader.h"

#include <algorithm>
#include <new>
#include <vector>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/safe_name.h"
#include "platform/text.h"
#include "zip/zip_cursor.h"
#include "zip/zip_host.h"

namespace {

constexpr std::size_t kRecordNameBytes = 259;
constexpr std::size_t kMaxLookupChars = 255;
constexpr std::size_t kMaxLookupBytes = 259;
constexpr unsigned kChunk = 16384;
constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

// Platform attribute bits from the external attributes: the upper half may
// carry a Unix mode, the lower one DOS bits; both are consulted whoever
// wrote the archive. No owner-write bit means read-only.
std::uint32_t AttributesFromExternal(std::uint32_t a) {
  std::uint32_t attributes = Platform::kAttrNormal;
  if ((a & 0x40000000) || (a & 0x10)) attributes |= Platform::kAttrDirectory;
  if (a & 0x20) attributes |= Platform::kAttrArchive;
  if (a & 0x2) attributes |= Platform::kAttrHidden;
  if (!(a & 0x00800000) || (a & 0x1)) attributes |= Platform::kAttrReadOnly;
  if (a & 0x4) attributes |= Platform::kAttrSystem;
  return attributes;
}

// A DOS date and time as a file time, no zone applied; 0 when the fields are
// not a calendar value.
std::uint64_t DosToFileTime(std::uint32_t dosDateTime) {
  const std::uint32_t time = dosDateTime & 0xFFFF;
  const std::uint32_t date = dosDateTime >> 16;
  Platform::SystemTime fields;
  fields.year = static_cast<std::uint16_t>(1980 + (date >> 9));
  fields.month = static_cast<std::uint16_t>((date >> 5) & 0xF);
  fields.day = static_cast<std::uint16_t>(date & 0x1F);
  fields.hour = static_cast<std::uint16_t>(time >> 11);
  fields.minute = static_cast<std::uint16_t>((time >> 5) & 0x3F);
  fields.second = static_cast<std::uint16_t>((time & 0x1F) * 2);
  std::uint64_t fileTime = 0;
  return Platform::FieldsToFileTime(fields, &fileTime) ? fileTime : 0;
}

// Seconds since 1970 (signed, UTC) as a file time; the whole signed 32-bit
// range lies after 1601.
std::uint64_t UnixToFileTime(std::int32_t seconds) {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(kUnixEpochAsFileTime) +
                                    static_cast<std::int64_t>(seconds) * 10000000LL);
}

std::int32_t GetSigned32(const unsigned char* p) {
  const std::uint32_t v = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                          (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
  return static_cast<std::int32_t>(v);
}

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// Absolute: begins with a separator or names a drive ("C:...").
bool IsAbsolutePath(const std::wstring& path) {
  return (!path.empty() && IsSeparator(path[0])) || (path.size() > 1 && path[1] == L':');
}

class CFileOutput final : public IZipOutput {
 public:
  explicit CFileOutput(Platform::CFile& file) : file_(file) {}
  bool Write(const void* data, std::size_t size) override { return file_.Write(data, size); }

 private:
  Platform::CFile& file_;
};

}  // namespace

struct ZipReader::StoredRecord {
  std::int32_t index = 0;
  std::string name;  // stored bytes, at most 259
  bool utf8 = false;  // the name is UTF-8 (flag bit 11)
  std::uint32_t attributes = 0;
  std::uint64_t accessTime = 0;
  std::uint64_t creationTime = 0;
  std::uint64_t modificationTime = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
};

ZipReader::ZipReader() = default;
ZipReader::~ZipReader() = default;

ZipResult ZipReader::Open(const std::wstring& path, const std::wstring& baseFolder) {
  if (cursor_ || openItemIndex_ != -1) return kZipAlreadyOpen;
  auto source = std::make_unique<CZipFileSource>();
  if (!source->Open(path)) return kZipCannotOpen;
  return Open(std::move(source), baseFolder);
}

ZipResult ZipReader::Open(std::unique_ptr<IZipByteSource> source, const std::wstring& baseFolder) {
  if (cursor_ || openItemIndex_ != -1) return kZipAlreadyOpen;
  baseDirectory_ = baseFolder.empty() ? std::wstring() : baseFolder + L"\\";
  const int rc = ZipDirectoryCursor::Open(std::move(source), &cursor_);
  cache_.reset();
  cacheIndex_ = -1;
  return rc;
}

void ZipReader::CloseOpenItem() {
  if (cursor_ && cursor_->IsItemOpen()) (void)cursor_->CloseCurrentItem();
  openItemIndex_ = -1;
}

ZipResult ZipReader::MoveTo(std::int32_t index) {
  const auto target = static_cast<std::uint32_t>(index);
  // After a failed step the cursor has no entry; start again from the first.
  if (!cursor_->HasCurrentEntry() || target < cursor_->EntryNumber()) {
    if (cursor_->GoToFirstItem() != ZipDirectoryCursor::kOk) return kZipItemFailed;
  }
  while (cursor_->EntryNumber() < target) {
    // A step that fails ends the walk: the entry on the way is unreadable.
    if (cursor_->GoToNextItem() != ZipDirectoryCursor::kOk) return kZipItemFailed;
  }
  return kZipOk;
}

ZipResult ZipReader::FetchCurrent(StoredRecord* record) {
  ZipDirectoryCursor::EntryInfo info;
  std::string name;
  if (cursor_->GetCurrentItemInfo(&info, &name, kRecordNameBytes) != ZipDirectoryCursor::kOk) return kZipItemFailed;
  ZipDirectoryCursor::LocalInfo local;
  const int checked = cursor_->CheckLocalHeader(&local);
  if (checked == ZipDirectoryCursor::kOverlapping) return kZipOverlapping;
  if (checked != ZipDirectoryCursor::kOk) return kZipHeaderMismatch;
  if (!cursor_->IsSeekable()) return kZipExtraUnreadable;
  std::vector<unsigned char> extra(local.extraLength);
  if (!extra.empty() && cursor_->ReadExact(local.extraOffset, extra.data(), extra.size()) != ZipDirectoryCursor::kOk) {
    return kZipExtraUnreadable;
  }

  record->index = static_cast<std::int32_t>(cursor_->EntryNumber());
  record->name = std::move(name);
  record->utf8 = (info.flags & ZipDirectoryCursor::kFlagUtf8) != 0;
  record->attributes = AttributesFromExternal(info.externalAttributes);
  record->compressedSize = info.compressedSize;
  record->uncompressedSize = info.uncompressedSize;
  const std::uint64_t dosTime = DosToFileTime(info.dosDateTime);
  record->accessTime = record->creationTime = record->modificationTime = dosTime;

  // The first extended time stamp block ('U','T') of the local extra field
  // overrides the times it carries. A time is taken only when its four bytes
  // lie inside both the block and the field.
  const std::size_t length = extra.size();
  std::size_t pos = 0;
  while (length > 4 && pos + 4 < length) {
    const std::size_t dataSize = extra[pos + 2] | (extra[pos + 3] << 8);
    if (extra[pos] != 'U' || extra[pos + 1] != 'T') {
      pos += 4 + dataSize;
      continue;
    }
    const std::size_t blockEnd = std::min(length, pos + 4 + dataSize);
    const unsigned flags = extra[pos + 4];
    std::size_t at = pos + 5;
    std::uint64_t* targets[] = {&record->modificationTime, &record->accessTime, &record->creationTime};
    for (unsigned bit = 0; bit < 3; ++bit) {
      if (!(flags & (1u << bit))) continue;
      if (at + 4 > blockEnd) break;
      *targets[bit] = UnixToFileTime(GetSigned32(extra.data() + at));
      at += 4;
    }
    break;
  }
  return kZipOk;
}

std::wstring ZipReader::DecodeName(const StoredRecord& record) {
  return record.utf8 ? Platform::FromUtf8(record.name) : Platform::AnsiToWide(record.name.data(), record.name.size());
}

ZipItem ZipReader::ToItem(const StoredRecord& record) const {
  ZipItem item;
  item.index = record.index;
  item.name = DecodeName(record);
  item.attributes = record.attributes;
  item.accessTime = record.accessTime;
  item.creationTime = record.creationTime;
  item.modificationTime = record.modificationTime;
  item.compressedSize = record.compressedSize;
  item.uncompressedSize = record.uncompressedSize;
  return item;
}

ZipResult ZipReader::Get(std::int32_t index, ZipItem* record) {
  if (!cursor_ || !record) return kZipBadArgument;
  if (index < -1 || (index >= 0 && static_cast<std::uint32_t>(index) >= cursor_->EntryCount())) {
    return kZipBadArgument;
  }
  CloseOpenItem();
  if (index == -1) {
    *record = ZipItem();
    record->index = static_cast<std::int32_t>(cursor_->EntryCount());
    return kZipOk;
  }
  if (index == cacheIndex_ && cache_) {
    *record = ToItem(*cache_);
    return kZipOk;
  }
  ZipResult rc = MoveTo(index);
  if (rc != kZipOk) return rc;
  auto fetched = std::make_unique<StoredRecord>();
  rc = FetchCurrent(fetched.get());
  if (rc != kZipOk) return rc;
  *record = ToItem(*fetched);
  cache_ = std::move(fetched);
  cacheIndex_ = index;
  return kZipOk;
}

ZipResult ZipReader::Locate(const std::wstring& name, std::int32_t* index, ZipItem* record) {
  if (!cursor_) return kZipBadArgument;
  CloseOpenItem();
  // The name in both forms a stored name may take: the ANSI code page (when
  // it has one there) and UTF-8.
  std::string ansi;
  const bool hasAnsi = Platform::WideToCodePage(name, ZipHost::NameCodePage(), &ansi) && ansi.size() <= kMaxLookupBytes;
  const std::string utf8 = Platform::ToUtf8(name);
  if (name.size() > kMaxLookupChars || cursor_->LocateItem(hasAnsi ? &ansi : nullptr, utf8) != ZipDirectoryCursor::kOk) {
    if (index) *index = -1;
    if (record) {
      *record = ZipItem();
      record->index = -1;
    }
    return kZipNotFound;
  }
  const auto found = static_cast<std::int32_t>(cursor_->EntryNumber());
  if (index) *index = found;
  return record ? Get(found, record) : kZipOk;
}

ZipResult ZipReader::Extract(const StoredRecord& record, IZipOutput& output, const ZipCancelCheck& cancelled) {
  if (cursor_->OpenCurrentItem() != ZipDirectoryCursor::kOk) return kZipItemFailed;
  openItemIndex_ = record.index;
  std::vector<unsigned char> buffer(kChunk);
  bool failed = false;
  bool stopped = false;
  for (;;) {
    if (cancelled && cancelled()) {
      stopped = true;
      break;
    }
    const int got = cursor_->ReadCurrentItem(buffer.data(), kChunk);
    if (got < 0) {
      failed = true;
      break;
    }
    if (got == 0) break;
    if (!output.Write(buffer.data(), static_cast<std::size_t>(got))) {
      failed = true;
      break;
    }
  }
  // Only bytes that check out count: all of the declared size, no data
  // beyond it, and the stored CRC-32.
  if (!failed && !stopped && cursor_->FinishCurrentItem() != ZipDirectoryCursor::kOk) failed = true;
  if (cursor_->CloseCurrentItem() != ZipDirectoryCursor::kOk) failed = true;
  openItemIndex_ = -1;
  if (stopped) return kZipCancelled;
  return failed ? kZipItemFailed : kZipOk;
}

ZipResult ZipReader::LoadRecord(std::int32_t index, StoredRecord* record) {
  ZipResult rc = MoveTo(index);
  if (rc != kZipOk) return rc;
  if (cacheIndex_ == index && cache_) {
    *record = *cache_;
    return kZipOk;
  }
  return FetchCurrent(record);
}

ZipResult ZipReader::UnzipTo(std::int32_t index, IZipOutput& output) {
  if (!cursor_) return kZipBadArgument;
  CloseOpenItem();
  if (index < 0 || static_cast<std::uint32_t>(index) >= cursor_->EntryCount()) return kZipBadArgument;
  StoredRecord record;
  const ZipResult rc = LoadRecord(index, &record);
  if (rc != kZipOk) return rc;
  return Extract(record, output);
}

ZipResult ZipReader::Unzip(std::int32_t index, const std::wstring& target, const ZipCancelCheck& cancelled) {
  if (!cursor_) return kZipBadArgument;
  CloseOpenItem();
  if (index < 0 || static_cast<std::uint32_t>(index) >= cursor_->EntryCount()) return kZipBadArgument;
  // Nothing is written for an item whose record cannot be fetched.
  StoredRecord record;
  ZipResult rc = LoadRecord(index, &record);
  if (rc != kZipOk) return rc;

  if (record.attributes & Platform::kAttrDirectory) {
    // A folder item is created below the base folder by its stored name,
    // which must stay inside it.
    const std::wstring name = DecodeName(record);
    if (baseDirectory_.empty() || !IsContainedRelativePath(name)) return kZipCannotOpen;
    return MakeDirectoryChain(baseDirectory_, name) ? kZipOk : kZipCannotOpen;
  }

  std::wstring path = target;
  if (!IsAbsolutePath(target)) {
    // Relative: below the base folder, never below the current one.
    if (baseDirectory_.empty() || !IsContainedRelativePath(target)) return kZipCannotOpen;
    const std::size_t cut = target.find_last_of(L"/\\");
    if (cut != std::wstring::npos && cut > 0) (void)MakeDirectoryChain(baseDirectory_, target.substr(0, cut));
    path = baseDirectory_ + target;
  }

  Platform::CFile file;
  if (!file.Create(path, 0, Platform::CreateMode::CreateAlways)) return kZipCannotOpen;
  CFileOutput output(file);
  rc = Extract(record, output, cancelled);
  if (rc == kZipOk) {
    Platform::FileTimes times;
    times.creation = record.creationTime;
    times.lastAccess = record.accessTime;
    times.lastWrite = record.modificationTime;
    if (!file.SetTimes(times)) rc = kZipItemFailed;
  }
  file.Close();
  // Read-only, hidden and system are given once the content is in place.
  const std::uint32_t special =
      record.attributes & (Platform::kAttrReadOnly | Platform::kAttrHidden | Platform::kAttrSystem);
  if (rc == kZipOk && special != 0) {
    if (!Platform::SetAttributes(path, record.attributes & ~(Platform::kAttrNormal | Platform::kAttrDirectory))) {
      rc = kZipItemFailed;
    }
  }
  // A file whose bytes did not check out is not left behind to pass for
  // the item: the caller sees no file and keeps (or restores) the old one.
  if (rc != kZipOk) (void)Platform::RemoveFile(path);
  return rc;
}

bool MakeDirectoryChain(const std::wstring& base, const std::wstring& dir) {
  if (dir.empty()) return true;
  // Parents first: every prefix that ends before a separator (other than a
  // leading one), then the whole path.
  for (std::size_t i = 1; i < dir.size(); ++i) {
    if (IsSeparator(dir[i])) (void)Platform::MakeDirectory(base + dir.substr(0, i));
  }
  (void)Platform::MakeDirectory(base + dir);
  return Platform::IsDirectory(base + dir);
}

namespace {

ZipResult CheckHandle(const ZipHandle* handle) {
  if (!handle || !handle->reader) return kZipBadArgument;
  if (handle->kind != 1) return kZipWrongKind;
  return kZipOk;
}

template <typename Source>
ZipResult OpenHandle(Source&& source, ZipHandle** handle, const std::wstring& baseFolder) {
  if (!handle) return kZipBadArgument;
  *handle = nullptr;
  auto owned = std::make_unique<ZipHandle>();
  owned->reader = std::make_unique<ZipReader>();
  const ZipResult rc = owned->reader->Open(std::forward<Source>(source), baseFolder);
  if (rc != kZipOk) return rc;
  *handle = owned.release();
  return kZipOk;
}

}  // namespace

ZipResult OpenZip(const std::wstring& path, ZipHandle** handle, const std::wstring& baseFolder) {
  return OpenHandle(path, handle, baseFolder);
}

ZipResult OpenZipSource(std::unique_ptr<IZipByteSource> source, ZipHandle** handle, const std::wstring& baseFolder) {
  return OpenHandle(std::move(source), handle, baseFolder);
}

ZipResult GetZipItem(ZipHandle* handle, std::int32_t index, ZipItem* record) {
  const ZipResult rc = CheckHandle(handle);
  return rc != kZipOk ? rc : handle->reader->Get(index, record);
}

ZipResult LocateZipItem(ZipHandle* handle, const std::wstring& name, std::int32_t* index, ZipItem* record) {
  const ZipResult rc = CheckHandle(handle);
  return rc != kZipOk ? rc : handle->reader->Locate(name, index, record);
}

ZipResult UnzipItem(ZipHandle* handle, std::int32_t index, const std::wstring& target,
                    const ZipCancelCheck& cancelled) {
  const ZipResult rc = CheckHandle(handle);
  return rc != kZipOk ? rc : handle->reader->Unzip(index, target, cancelled);
}

ZipResult UnzipItemTo(ZipHandle* handle, std::int32_t index, IZipOutput& output) {
  const ZipResult rc = CheckHandle(handle);
  return rc != kZipOk ? rc : handle->reader->UnzipTo(index, output);
}

ZipResult ReleaseZip(ZipHandle* handle) {
  const ZipResult rc = CheckHandle(handle);
  if (rc != kZipOk) return rc;
  delete handle;  // the reader closes any open item and the archive
  return kZipOk;
}
