#include <cwctype>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/fault.h"
#include "platform/case_fold.h"
#include "platform/file.h"
#include "platform/posix_path.h"
#include "platform/text.h"

namespace Platform {
namespace {

constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

std::uint64_t ToFileTime(const struct timespec& ts) {
  return kUnixEpochAsFileTime + static_cast<std::uint64_t>(ts.tv_sec) * 10000000ULL +
         static_cast<std::uint64_t>(ts.tv_nsec) / 100;
}

struct timespec FromFileTime(std::uint64_t ft) {
  struct timespec ts {};
  if (ft == 0) {
    ts.tv_nsec = UTIME_OMIT;
    return ts;
  }
  const std::int64_t rel = static_cast<std::int64_t>(ft - kUnixEpochAsFileTime);
  std::int64_t sec = rel / 10000000;
  std::int64_t rem = rel % 10000000;
  if (rem < 0) {
    rem += 10000000;
    --sec;
  }
  ts.tv_sec = static_cast<time_t>(sec);
  ts.tv_nsec = static_cast<long>(rem * 100);
  return ts;
}

bool Fail(ErrorCode code) {
  SetLastErrorCode(code);
  return false;
}

// Windows tells a missing file (2) from a missing folder on the way (3).
bool FailMissing(const std::string& osPath) {
  const auto slash = osPath.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    struct stat st {};
    if (stat(osPath.substr(0, slash).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      return Fail(kErrorPathNotFound);
    }
  }
  return Fail(kErrorFileNotFound);
}

bool FailOpen(const std::string& osPath) {
  if (errno == ENOENT) return FailMissing(osPath);
  if (errno == EEXIST) return Fail(kErrorFileExists);
  return FailFromErrno();
}

bool IsReadOnlyMode(mode_t mode) { return (mode & S_IWUSR) == 0; }

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

CFile::CFile() : handle_(-1) {}
CFile::~CFile() { Close(); }
CFile::CFile(CFile&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
CFile& CFile::operator=(CFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

bool CFile::OpenRead(const std::wstring& path) {
  Close();
  if (ShouldFailCall("OpenRead")) return false;
  const std::string os = ToOsPath(path);
  const int fd = open(os.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FailOpen(os);
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    return Fail(kErrorAccessDenied);
  }
  handle_ = fd;
  return true;
}

bool CFile::Create(const std::wstring& path, std::uint32_t /*share*/, CreateMode mode) {
  Close();
  if (ShouldFailCall("Create")) return false;
  const std::string os = ToOsPath(path);
  struct stat st {};
  if (stat(os.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode) || IsReadOnlyMode(st.st_mode)) return Fail(kErrorAccessDenied);
    if (mode == CreateMode::CreateNew) return Fail(kErrorFileExists);
  }
  int flags = O_WRONLY | O_CLOEXEC;
  switch (mode) {
    case CreateMode::CreateAlways: flags |= O_CREAT | O_TRUNC; break;
    case CreateMode::CreateNew: flags |= O_CREAT | O_EXCL; break;
    case CreateMode::OpenExisting: break;
    case CreateMode::OpenAlways: flags |= O_CREAT; break;
  }
  const int fd = open(os.c_str(), flags, 0666);
  if (fd < 0) return FailOpen(os);
  handle_ = fd;
  return true;
}

bool CFile::Read(void* buffer, std::size_t size, std::size_t* done) {
  *done = 0;
  if (handle_ < 0) return Fail(kErrorInvalidHandle);
  if (ShouldFailCall("Read")) return false;
  auto* p = static_cast<char*>(buffer);
  while (*done < size) {
    const ssize_t n = read(Fd(handle_), p + *done, size - *done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FailFromErrno();
    }
    if (n == 0) break;
    *done += static_cast<std::size_t>(n);
  }
  return true;
}

bool CFile::Write(const void* data, std::size_t size) {
  if (handle_ < 0) return Fail(kErrorInvalidHandle);
  if (ShouldFailCall("Write")) return false;
  const auto* p = static_cast<const char*>(data);
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = write(Fd(handle_), p + written, size - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FailFromErrno();
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

bool CFile::Seek(std::int64_t offset, SeekFrom from, std::uint64_t* position) {
  if (handle_ < 0) return Fail(kErrorInvalidHandle);
  if (ShouldFailCall("Seek")) return false;
  const int whence = from == SeekFrom::Begin ? SEEK_SET : from == SeekFrom::Current ? SEEK_CUR : SEEK_END;
  const off_t r = lseek(Fd(handle_), static_cast<off_t>(offset), whence);
  if (r < 0) return errno == EINVAL ? Fail(131) /* ERROR_NEGATIVE_SEEK */ : FailFromErrno();
  if (position) *position = static_cast<std::uint64_t>(r);
  return true;
}

bool CFile::GetSize(std::uint64_t* size) const {
  if (handle_ < 0) return Fail(kErrorInvalidHandle);
  if (ShouldFailCall("GetSize")) return false;
  struct stat st {};
  if (fstat(Fd(handle_), &st) != 0) return FailFromErrno();
  *size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool CFile::Flush() {
  if (handle_ < 0) return Fail(kErrorInvalidHandle);
  if (ShouldFailCall("Flush")) return false;
  // Writes go straight to the kernel: other processes see them already.
  return true;
}

bool CFile::SetTimes(const FileTimes& times) {
  if (handle_ < 0) return Fail(kErrorInvalidHandle);
  if (ShouldFailCall("SetTimes")) return false;
  struct timespec ts[2] = {FromFileTime(times.lastAccess), FromFileTime(times.lastWrite)};
  if (futimens(Fd(handle_), ts) != 0) return FailFromErrno();
  return true;
}

void CFile::Close() {
  if (handle_ >= 0) {
    close(Fd(handle_));
    handle_ = -1;
  }
}

bool CFile::IsOpen() const { return handle_ >= 0; }

bool PathExists(const std::wstring& path) {
  struct stat st {};
  return stat(ToOsPath(path).c_str(), &st) == 0;
}

bool IsDirectory(const std::wstring& path) {
  struct stat st {};
  return stat(ToOsPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsLink(const std::wstring& path) {
  struct stat st {};
  return lstat(ToOsPath(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool RemoveLink(const std::wstring& path) {
  const std::string os = ToOsPath(path);
  struct stat st {};
  if (lstat(os.c_str(), &st) != 0) return true;
  if (unlink(os.c_str()) == 0) return true;
  return FailFromErrno();
}

bool MakeDirectory(const std::wstring& path) {
  if (ShouldFailCall("MakeDirectory")) return false;
  const std::string os = ToOsPath(path);
  if (mkdir(os.c_str(), 0777) != 0) {
    if (errno == ENOENT) return Fail(kErrorPathNotFound);
    return FailFromErrno();
  }
  return true;
}

bool RemoveEmptyDirectory(const std::wstring& path) {
  if (ShouldFailCall("RemoveEmptyDirectory")) return false;
  const std::string os = ToOsPath(path);
  if (rmdir(os.c_str()) != 0) return errno == ENOENT ? FailMissing(os) : FailFromErrno();
  return true;
}

bool RemoveFile(const std::wstring& path) {
  if (ShouldFailCall("RemoveFile")) return false;
  const std::string os = ToOsPath(path);
  struct stat st {};
  if (lstat(os.c_str(), &st) != 0) return errno == ENOENT ? FailMissing(os) : FailFromErrno();
  if (S_ISDIR(st.st_mode) || IsReadOnlyMode(st.st_mode)) return Fail(kErrorAccessDenied);
  if (unlink(os.c_str()) != 0) return FailFromErrno();
  return true;
}

bool MoveItem(const std::wstring& from, const std::wstring& to) {
  if (ShouldFailCall("MoveItem")) return false;
  const std::string src = ToOsPath(from);
  const std::string dst = ToOsPath(to);
  struct stat st {};
  if (lstat(src.c_str(), &st) != 0) return errno == ENOENT ? FailMissing(src) : FailFromErrno();
  if (lstat(dst.c_str(), &st) == 0) return Fail(kErrorAlreadyExists);
  if (rename(src.c_str(), dst.c_str()) == 0) return true;
  if (errno == ENOENT) return FailMissing(dst);
  if (errno != EXDEV) return FailFromErrno();
  if (!CopyItem(from, to, false)) return false;
  if (unlink(src.c_str()) != 0) return FailFromErrno();
  return true;
}

bool ReplaceWithFile(const std::wstring& replacement, const std::wstring& target) {
  if (ShouldFailCall("ReplaceWithFile")) return false;
  const std::string src = ToOsPath(replacement);
  const std::string dst = ToOsPath(target);
  struct stat st {};
  if (lstat(src.c_str(), &st) != 0) return errno == ENOENT ? FailMissing(src) : FailFromErrno();
  if (lstat(dst.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || IsReadOnlyMode(st.st_mode))) {
    return Fail(kErrorAccessDenied);
  }
  if (rename(src.c_str(), dst.c_str()) != 0) return FailFromErrno();
  return true;
}

bool CopyItem(const std::wstring& from, const std::wstring& to, bool replace) {
  if (ShouldFailCall("CopyItem")) return false;
  const std::string src = ToOsPath(from);
  const std::string dst = ToOsPath(to);
  struct stat st {};
  if (stat(src.c_str(), &st) != 0) return errno == ENOENT ? FailMissing(src) : FailFromErrno();
  if (S_ISDIR(st.st_mode)) return Fail(kErrorAccessDenied);
  struct stat dstStat {};
  if (stat(dst.c_str(), &dstStat) == 0) {
    if (!replace) return Fail(kErrorFileExists);
    if (S_ISDIR(dstStat.st_mode) || IsReadOnlyMode(dstStat.st_mode)) return Fail(kErrorAccessDenied);
  }
  const int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return FailOpen(src);
  const int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 0777);
  if (out < 0) {
    const int err = errno;
    close(in);
    errno = err;
    return FailOpen(dst);
  }
  char buffer[1 << 16];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = FailFromErrno();
      break;
    }
    if (n == 0) break;
    ssize_t done = 0;
    while (done < n) {
      const ssize_t w = write(out, buffer + done, static_cast<std::size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        ok = FailFromErrno();
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  if (ok) {
    struct timespec ts[2] = {st.st_atim, st.st_mtim};
    futimens(out, ts);
    fchmod(out, st.st_mode & 0777);
  }
  close(in);
  close(out);
  return ok;
}

bool GetAttributes(const std::wstring& path, std::uint32_t* attributes) {
  if (ShouldFailCall("GetAttributes")) return false;
  const std::string os = ToOsPath(path);
  struct stat st {};
  if (stat(os.c_str(), &st) != 0) return errno == ENOENT ? FailMissing(os) : FailFromErrno();
  std::uint32_t a = S_ISDIR(st.st_mode) ? kAttrDirectory : kAttrArchive;
  if (IsReadOnlyMode(st.st_mode)) a |= kAttrReadOnly;
  *attributes = a;
  return true;
}

bool SetAttributes(const std::wstring& path, std::uint32_t attributes) {
  if (ShouldFailCall("SetAttributes")) return false;
  const std::string os = ToOsPath(path);
  struct stat st {};
  if (stat(os.c_str(), &st) != 0) return errno == ENOENT ? FailMissing(os) : FailFromErrno();
  mode_t mode = st.st_mode & 07777;
  if (attributes & kAttrReadOnly) {
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else {
    mode |= S_IWUSR;
  }
  if (chmod(os.c_str(), mode) != 0) return FailFromErrno();
  return true;
}

bool GetFileTimes(const std::wstring& path, FileTimes* times, std::uint64_t* size) {
  if (ShouldFailCall("GetFileTimes")) return false;
  const std::string os = ToOsPath(path);
  struct stat st {};
  if (stat(os.c_str(), &st) != 0) return errno == ENOENT ? FailMissing(os) : FailFromErrno();
  times->lastWrite = ToFileTime(st.st_mtim);
  times->lastAccess = ToFileTime(st.st_atim);
  times->creation = times->lastWrite;  // posix keeps no creation time we can rely on
  if (size) *size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool SetFileTimes(const std::wstring& path, const FileTimes& times) {
  if (ShouldFailCall("SetFileTimes")) return false;
  const std::string os = ToOsPath(path);
  struct timespec ts[2] = {FromFileTime(times.lastAccess), FromFileTime(times.lastWrite)};
  if (utimensat(AT_FDCWD, os.c_str(), ts, 0) != 0) {
    return errno == ENOENT ? FailMissing(os) : FailFromErrno();
  }
  return true;
}

bool ListDirectory(const std::wstring& path, std::vector<DirectoryEntry>* entries) {
  if (ShouldFailCall("ListDirectory")) return false;
  entries->clear();
  const std::string os = ToOsPath(path);
  DIR* dir = opendir(os.c_str());
  if (!dir) return errno == ENOENT ? FailMissing(os) : FailFromErrno();
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    const bool isDir = stat((os + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    const bool isLink = lstat((os + "/" + name).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    entries->push_back(DirectoryEntry{FromUtf8(name), isDir, isLink});
  }
  closedir(dir);
  std::sort(entries->begin(), entries->end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  return true;
}

std::wstring ComparablePath(const std::wstring& path) {
  // Posix names are exact: "." and ".." resolved, separators made one, case
  // folded as Windows would.
  std::vector<std::wstring> parts;
  std::wstring part;
  const auto flush = [&] {
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parts.push_back(part);
    }
    part.clear();
  };
  for (wchar_t c : path) {
    if (c == L'\\' || c == L'/') {
      flush();
    } else {
      part += FoldCaseUnit(c);
    }
  }
  flush();
  if (parts.empty()) return {};
  std::wstring out;
  for (const auto& p : parts) out += L"\\" + p;
  return out;
}

std::wstring GetTempFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = tmp && *tmp ? tmp : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  std::wstring w = FromUtf8(dir);
  for (auto& c : w) {
    if (c == L'/') c = L'\\';
  }
  return w;
}

}  // namespace Platform
