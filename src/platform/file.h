// Files and folders. Paths are Windows paths separated by "\"; the posix build
// maps "\" to "/" when it calls the OS. Every function that returns false has
// left a Windows error number as the thread's last error (error.h), and posix
// follows Windows' rules where the two differ (a read-only file can neither be
// opened for writing nor deleted; a move onto an existing file fails with 183).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Platform {

// File attribute bits, as Windows defines them.
inline constexpr std::uint32_t kAttrReadOnly = 0x01;
inline constexpr std::uint32_t kAttrHidden = 0x02;
inline constexpr std::uint32_t kAttrSystem = 0x04;
inline constexpr std::uint32_t kAttrDirectory = 0x10;
inline constexpr std::uint32_t kAttrArchive = 0x20;
inline constexpr std::uint32_t kAttrNormal = 0x80;

// Sharing granted to other openers while a file is open (ignored on posix).
inline constexpr std::uint32_t kShareRead = 0x1;
inline constexpr std::uint32_t kShareWrite = 0x2;
inline constexpr std::uint32_t kShareDelete = 0x4;

// File times: 100-nanosecond intervals since 1601-01-01 UTC (FILETIME).
struct FileTimes {
  std::uint64_t creation = 0;
  std::uint64_t lastAccess = 0;
  std::uint64_t lastWrite = 0;
};

enum class CreateMode {
  CreateAlways,  // create, or truncate an existing file
  CreateNew,     // fail with 80 when the file exists
  OpenExisting,  // open for writing without truncating; fail when missing
  OpenAlways,    // open for writing, creating it when missing
};

enum class SeekFrom { Begin, Current, End };

// An open file; closes itself. Move-only.
class CFile {
 public:
  CFile();
  ~CFile();
  CFile(CFile&& other) noexcept;
  CFile& operator=(CFile&& other) noexcept;
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // Opens an existing file for reading; others may read and write it meanwhile.
  [[nodiscard]] bool OpenRead(const std::wstring& path);
  // Opens for writing as `mode` says, granting others `share`.
  [[nodiscard]] bool Create(const std::wstring& path, std::uint32_t share = kShareRead | kShareWrite,
                            CreateMode mode = CreateMode::CreateAlways);
  // Reads up to `size` bytes; *done is 0 at the end of the file.
  [[nodiscard]] bool Read(void* buffer, std::size_t size, std::size_t* done);
  // Writes all `size` bytes or fails.
  [[nodiscard]] bool Write(const void* data, std::size_t size);
  [[nodiscard]] bool Seek(std::int64_t offset, SeekFrom from, std::uint64_t* position = nullptr);
  [[nodiscard]] bool GetSize(std::uint64_t* size) const;
  [[nodiscard]] bool Flush();
  // Sets the times of the open file; a 0 field is left unchanged.
  [[nodiscard]] bool SetTimes(const FileTimes& times);
  void Close();
  bool IsOpen() const;

 private:
  std::intptr_t handle_;
};

// True when a file or folder exists at path.
bool PathExists(const std::wstring& path);
// True when path names an existing folder.
bool IsDirectory(const std::wstring& path);
// Creates one folder level; fails with 183 when it exists, 3 when its parent does not.
[[nodiscard]] bool MakeDirectory(const std::wstring& path);
// Removes an empty folder.
[[nodiscard]] bool RemoveEmptyDirectory(const std::wstring& path);
// Deletes a file; fails with 5 on a read-only file or a folder.
[[nodiscard]] bool RemoveFile(const std::wstring& path);
// Moves or renames a file or folder; fails with 183 when `to` exists.
[[nodiscard]] bool MoveItem(const std::wstring& from, const std::wstring& to);
// Moves `replacement` onto `target` in one step, replacing an existing file
// (not a folder or a read-only file): a reader, or a crash, sees the old file
// or the new one, never a mix. Both must be on one volume.
[[nodiscard]] bool ReplaceWithFile(const std::wstring& replacement, const std::wstring& target);
// Copies a file; with `replace` an existing, writable target is overwritten,
// without it an existing target fails with 80. Times and attributes are copied.
[[nodiscard]] bool CopyItem(const std::wstring& from, const std::wstring& to, bool replace);
[[nodiscard]] bool GetAttributes(const std::wstring& path, std::uint32_t* attributes);
// Sets the attributes; on posix only read-only is kept (the owner's write bit).
[[nodiscard]] bool SetAttributes(const std::wstring& path, std::uint32_t attributes);
// A file's times and, when `size` is given, its length (one call).
[[nodiscard]] bool GetFileTimes(const std::wstring& path, FileTimes* times, std::uint64_t* size = nullptr);
// Sets a file's times; a 0 field is left unchanged.
[[nodiscard]] bool SetFileTimes(const std::wstring& path, const FileTimes& times);

struct DirectoryEntry {
  std::wstring name;  // no folder part
  bool isDirectory = false;  // a folder, or a link to one
  bool isLink = false;       // a link (symbolic link, junction, reparse point)
};
// Lists a folder's entries, without "." and "..", sorted by name.
[[nodiscard]] bool ListDirectory(const std::wstring& path, std::vector<DirectoryEntry>* entries);

// Whether `path` itself is a link (a symbolic link, a junction or another
// reparse point) rather than the file or folder it leads to.
bool IsLink(const std::wstring& path);
// Removes the link at `path` itself, never what it leads to. True when no
// link remains.
[[nodiscard]] bool RemoveLink(const std::wstring& path);

// Whether a file (not a folder) is at `path`.
bool IsFile(const std::wstring& path);

// The whole file at `path` into *bytes, at most `cap` bytes. False when it
// cannot be opened or read (the platform's last error says why) or holds
// more than `cap` bytes (last error kErrorInvalidData); *bytes is then
// unspecified.
[[nodiscard]] bool ReadWholeFile(const std::wstring& path, std::size_t cap, std::string* bytes);

// The folder for temporary files, without a trailing separator.
std::wstring GetTempFolder();

// `path` as the system resolves it, for telling whether two paths name one
// file: absolute, short (8.3) names expanded where the file exists, letter
// case folded. Empty when it cannot be resolved.
std::wstring ComparablePath(const std::wstring& path);

}  // namespace Platform
