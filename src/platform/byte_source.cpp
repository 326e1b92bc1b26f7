#include "platform/byte_source.h"

#include <cstring>

namespace Platform {

bool IByteSource::ReadExact(std::uint64_t offset, void* buffer, std::size_t size) {
  std::size_t done = 0;
  return ReadAt(offset, buffer, size, &done) && done == size;
}

bool CFileByteSource::Open(const std::wstring& path) {
  file_.Close();
  readFailed_ = false;
  position_ = UINT64_MAX;
  if (!file_.OpenRead(path)) return false;
  // Only a file that can be positioned at its end is read at random offsets
  // (pipes and devices are not).
  std::uint64_t end = 0;
  seekable_ = file_.Seek(0, SeekFrom::End, &end);
  return true;
}

bool CFileByteSource::GetSize(std::uint64_t* size) { return seekable_ && file_.GetSize(size); }

bool CFileByteSource::ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t* done) {
  *done = 0;
  if (readFailed_ || !seekable_) return false;
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
  if (position_ != offset) {
    if (!file_.Seek(static_cast<std::int64_t>(offset), SeekFrom::Begin)) {
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

bool CMemoryByteSource::GetSize(std::uint64_t* size) {
  *size = size_;
  return true;
}

bool CMemoryByteSource::ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t* done) {
  *done = 0;
  if (offset >= size_) return true;
  const std::size_t available = size_ - static_cast<std::size_t>(offset);
  *done = size < available ? size : available;
  if (*done != 0) std::memcpy(buffer, data_ + offset, *done);
  return true;
}

}  // namespace Platform
