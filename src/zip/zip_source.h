// The bytes an archive is read from: a local file, or a block of memory for
// tests and fuzzing. The reader only ever asks for bytes at an offset.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"

class IZipByteSource {
 public:
  virtual ~IZipByteSource() = default;
  // True when the source allows reads at any offset (a disk file, memory).
  virtual bool IsSeekable() const = 0;
  // The total size in bytes; false when it cannot be taken.
  [[nodiscard]] virtual bool GetSize(std::uint64_t* size) = 0;
  // Reads up to `size` bytes at `offset` into `buffer`. *done is less than
  // `size` only at the end of the data. False when the read failed; once a
  // read has failed every later one fails too.
  [[nodiscard]] virtual bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t* done) = 0;
};

// A local file opened for reading (others may read it meanwhile).
class CZipFileSource final : public IZipByteSource {
 public:
  // False (last error set) when the file cannot be opened.
  [[nodiscard]] bool Open(const std::wstring& path);
  bool IsSeekable() const override { return seekable_; }
  [[nodiscard]] bool GetSize(std::uint64_t* size) override;
  [[nodiscard]] bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t* done) override;

 private:
  Platform::CFile file_;
  bool seekable_ = false;
  bool readFailed_ = false;
  std::uint64_t position_ = UINT64_MAX;  // where the file pointer stands, if known
};

// A copy of bytes held in memory.
class CZipMemorySource final : public IZipByteSource {
 public:
  explicit CZipMemorySource(std::string bytes) : bytes_(std::move(bytes)) {}
  CZipMemorySource(const void* data, std::size_t size) : bytes_(static_cast<const char*>(data), size) {}
  bool IsSeekable() const override { return true; }
  [[nodiscard]] bool GetSize(std::uint64_t* size) override;
  [[nodiscard]] bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t* done) override;

 private:
  std::string bytes_;
};
