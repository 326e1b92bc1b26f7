#include "zip/zip_source.h"

#include <cstring>

bool CZipFileSource::Open(const std::wstring& path) {
  file_.Close();
  readFailed_ = false;
  position_ = UINT64_MAX;
  if (!file_.OpenRead(path)) return false;
  // Only a file that can be positioned at its end is read at random offsets
  // (pipes and devices are not).
  std::uint64_t end = 0;
  seekable_ = file_.Seek(0, Platform::SeekFrom::End, &end);
  return true;
}

bool CZipFileSource::GetSize(std::uint64_t* size) { return seekable_ && file_.GetSize(size); }

bool CZipFileSource::ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t* done) {
  *done = 0;
  if (readFailed_ || !seekable_) return false;
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
  if (position_ != offset) {
    if (!file_.Seek(static_cast<std::int64_t>(offset), Platform::SeekFrom::Begin)) {
      readFailed_ = true;
      position_ = UINT64_MAX;
      return false;
    }
    position_ = offset;
  }
  auto* out = static_cast<unsigned char*>(buffer);
  while (*done < size) {
    std::size_t got = 0;
    if (!file_.Read(out + *done, size - *done, &got)) {
      readFailed_ = true;
      position_ = UINT64_MAX;
      return false;
    }
    if (got == 0) break;
    *done += got;
    position_ += got;
  }
  return true;
}

bool CZipMemorySource::GetSize(std::uint64_t* size) {
  *size = bytes_.size();
  return true;
}

bool CZipMemorySource::ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t* done) {
  *done = 0;
  if (offset >= bytes_.size()) return true;
  const std::size_t available = bytes_.size() - static_cast<std::size_t>(offset);
  *done = size < available ? size : available;
  std::memcpy(buffer, bytes_.data() + offset, *done);
  return true;
}
