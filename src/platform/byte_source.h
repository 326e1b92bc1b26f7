// Bytes read at offsets: a local file, or a block of memory for tests,
// fuzzing and data already loaded. The readers of archives and of
// executables take one of these, never a path, so that they need no disk.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"

namespace Platform {

class IByteSource {
 public:
  virtual ~IByteSource() = default;
  // True when reads at any offset work (a disk file, memory).
  virtual bool IsSeekable() const = 0;
  // The total size in bytes; false when it cannot be taken.
  [[nodiscard]] virtual bool GetSize(std::uint64_t* size) = 0;
  // Reads up to `size` bytes at `offset` into `buffer`. *done is less than
  // `size` only at the end of the data. False when the read failed; once a
  // read has failed every later one fails too.
  [[nodiscard]] virtual bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t* done) = 0;
  // All `size` bytes at `offset`, or false (a failed read, or the data ends
  // first).
  [[nodiscard]] bool ReadExact(std::uint64_t offset, void* buffer, std::size_t size);
};

// A local file opened for reading (others may read and write it meanwhile).
class CFileByteSource final : public IByteSource {
 public:
  // False (last error set) when the file cannot be opened.
  [[nodiscard]] bool Open(const std::wstring& path);
  bool IsSeekable() const override { return seekable_; }
  [[nodiscard]] bool GetSize(std::uint64_t* size) override;
  [[nodiscard]] bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t* done) override;

 private:
  CFile file_;
  bool seekable_ = false;
  bool readFailed_ = false;
  std::uint64_t position_ = UINT64_MAX;  // where the file pointer stands, if known
};

// Bytes in memory: either a copy the source owns, or the caller's block,
// which must then outlive the source.
class CMemoryByteSource final : public IByteSource {
 public:
  explicit CMemoryByteSource(std::string bytes) : owned_(std::move(bytes)), data_(owned_.data()), size_(owned_.size()) {}
  CMemoryByteSource(const void* data, std::size_t size) : data_(static_cast<const char*>(data)), size_(size) {}
  CMemoryByteSource(const CMemoryByteSource&) = delete;
  CMemoryByteSource& operator=(const CMemoryByteSource&) = delete;
  bool IsSeekable() const override { return true; }
  [[nodiscard]] bool GetSize(std::uint64_t* size) override;
  [[nodiscard]] bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t* done) override;

 private:
  std::string owned_;
  const char* data_;
  std::size_t size_;
};

}  // namespace Platform
