#include <algorithm>
#include <string_view>

#include "platform/fault.h"
#include "platform/safe_name.h"
#include "platform/file.h"
#include "platform/windows_api.h"

namespace Platform {
namespace {

HANDLE H(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }
std::intptr_t FromHandle(HANDLE h) { return reinterpret_cast<std::intptr_t>(h); }
const std::intptr_t kInvalid = -1;  // INVALID_HANDLE_VALUE

FILETIME ToFt(std::uint64_t v) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(v);
  ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
  return ft;
}

std::uint64_t FromFt(const FILETIME& ft) {
  return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

bool Fail(ErrorCode code) {
  ::SetLastError(code);
  return false;
}

}  // namespace

CFile::CFile() : handle_(kInvalid) {}
CFile::~CFile() { Close(); }
CFile::CFile(CFile&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalid; }
CFile& CFile::operator=(CFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kInvalid;
  }
  return *this;
}

bool CFile::OpenRead(const std::wstring& path) {
  Close();
  if (ShouldFailCall("OpenRead")) return false;
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = FromHandle(h);
  return true;
}

bool CFile::Create(const std::wstring& path, std::uint32_t share, CreateMode mode) {
  Close();
  if (ShouldFailCall("Create")) return false;
  DWORD disposition = CREATE_ALWAYS;
  switch (mode) {
    case CreateMode::CreateAlways: disposition = CREATE_ALWAYS; break;
    case CreateMode::CreateNew: disposition = CREATE_NEW; break;
    case CreateMode::OpenExisting: disposition = OPEN_EXISTING; break;
    case CreateMode::OpenAlways: disposition = OPEN_ALWAYS; break;
  }
  // Wine running as root lets a read-only file be opened for writing; Windows
  // refuses. Refuse here too so that both behave alike.
  const DWORD attrs = ::GetFileAttributesW(path.c_str());
  if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = FromHandle(h);
  return true;
}

bool CFile::Read(void* buffer, std::size_t size, std::size_t* done) {
  *done = 0;
  if (handle_ == kInvalid) return Fail(ERROR_INVALID_HANDLE);
  if (ShouldFailCall("Read")) return false;
  auto* p = static_cast<char*>(buffer);
  while (*done < size) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - *done, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(H(handle_), p + *done, chunk, &got, nullptr)) return false;
    if (got == 0) break;
    *done += got;
  }
  return true;
}

bool CFile::Write(const void* data, std::size_t size) {
  if (handle_ == kInvalid) return Fail(ERROR_INVALID_HANDLE);
  if (ShouldFailCall("Write")) return false;
  const auto* p = static_cast<const char*>(data);
  std::size_t written = 0;
  while (written < size) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - written, 1u << 30));
    DWORD put = 0;
    if (!::WriteFile(H(handle_), p + written, chunk, &put, nullptr)) return false;
    if (put == 0) return Fail(ERROR_WRITE_FAULT);
    written += put;
  }
  return true;
}

bool CFile::Seek(std::int64_t offset, SeekFrom from, std::uint64_t* position) {
  if (handle_ == kInvalid) return Fail(ERROR_INVALID_HANDLE);
  if (ShouldFailCall("Seek")) return false;
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER result;
  const DWORD method = from == SeekFrom::Begin ? FILE_BEGIN : from == SeekFrom::Current ? FILE_CURRENT : FILE_END;
  if (!::SetFilePointerEx(H(handle_), distance, &result, method)) return false;
  if (position) *position = static_cast<std::uint64_t>(result.QuadPart);
  return true;
}

bool CFile::GetSize(std::uint64_t* size) const {
  if (handle_ == kInvalid) return Fail(ERROR_INVALID_HANDLE);
  if (ShouldFailCall("GetSize")) return false;
  LARGE_INTEGER s;
  if (!::GetFileSizeEx(H(handle_), &s)) return false;
  *size = static_cast<std::uint64_t>(s.QuadPart);
  return true;
}

bool CFile::Flush() {
  if (handle_ == kInvalid) return Fail(ERROR_INVALID_HANDLE);
  if (ShouldFailCall("Flush")) return false;
  return ::FlushFileBuffers(H(handle_)) != FALSE;
}

bool CFile::SetTimes(const FileTimes& times) {
  if (handle_ == kInvalid) return Fail(ERROR_INVALID_HANDLE);
  if (ShouldFailCall("SetTimes")) return false;
  FILETIME c = ToFt(times.creation), a = ToFt(times.lastAccess), w = ToFt(times.lastWrite);
  return ::SetFileTime(H(handle_), times.creation ? &c : nullptr, times.lastAccess ? &a : nullptr,
                       times.lastWrite ? &w : nullptr) != FALSE;
}

void CFile::Close() {
  if (handle_ != kInvalid) {
    ::CloseHandle(H(handle_));
    handle_ = kInvalid;
  }
}

bool CFile::IsOpen() const { return handle_ != kInvalid; }

bool PathExists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::wstring& path) {
  const DWORD a = ::GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsLink(const std::wstring& path) {
  const DWORD a = ::GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool RemoveLink(const std::wstring& path) {
  const DWORD a = ::GetFileAttributesW(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return true;
  // A link to a folder goes as a folder does, a link to a file as a file:
  // either way only the link itself.
  if (a & FILE_ATTRIBUTE_DIRECTORY) {
    if (::RemoveDirectoryW(path.c_str())) return true;
  }
  return ::DeleteFileW(path.c_str()) != FALSE;
}

bool MakeDirectory(const std::wstring& path) {
  if (ShouldFailCall("MakeDirectory")) return false;
  return ::CreateDirectoryW(path.c_str(), nullptr) != FALSE;
}

bool RemoveEmptyDirectory(const std::wstring& path) {
  if (ShouldFailCall("RemoveEmptyDirectory")) return false;
  return ::RemoveDirectoryW(path.c_str()) != FALSE;
}

bool RemoveFile(const std::wstring& path) {
  if (ShouldFailCall("RemoveFile")) return false;
  const DWORD a = ::GetFileAttributesW(path.c_str());
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY)) return Fail(ERROR_ACCESS_DENIED);
  return ::DeleteFileW(path.c_str()) != FALSE;
}

bool MoveItem(const std::wstring& from, const std::wstring& to) {
  if (ShouldFailCall("MoveItem")) return false;
  return ::MoveFileW(from.c_str(), to.c_str()) != FALSE;
}

bool ReplaceWithFile(const std::wstring& replacement, const std::wstring& target) {
  if (ShouldFailCall("ReplaceWithFile")) return false;
  return ::MoveFileExW(replacement.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
         FALSE;
}

bool CopyItem(const std::wstring& from, const std::wstring& to, bool replace) {
  if (ShouldFailCall("CopyItem")) return false;
  const DWORD a = ::GetFileAttributesW(to.c_str());
  if (replace && a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY)) return Fail(ERROR_ACCESS_DENIED);
  return ::CopyFileW(from.c_str(), to.c_str(), replace ? FALSE : TRUE) != FALSE;
}

bool GetAttributes(const std::wstring& path, std::uint32_t* attributes) {
  if (ShouldFailCall("GetAttributes")) return false;
  const DWORD a = ::GetFileAttributesW(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return false;
  *attributes = a;
  return true;
}

bool SetAttributes(const std::wstring& path, std::uint32_t attributes) {
  if (ShouldFailCall("SetAttributes")) return false;
  return ::SetFileAttributesW(path.c_str(), attributes) != FALSE;
}

bool GetFileTimes(const std::wstring& path, FileTimes* times, std::uint64_t* size) {
  if (ShouldFailCall("GetFileTimes")) return false;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  times->creation = FromFt(data.ftCreationTime);
  times->lastAccess = FromFt(data.ftLastAccessTime);
  times->lastWrite = FromFt(data.ftLastWriteTime);
  if (size) *size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

bool SetFileTimes(const std::wstring& path, const FileTimes& times) {
  if (ShouldFailCall("SetFileTimes")) return false;
  HANDLE h = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME c = ToFt(times.creation), a = ToFt(times.lastAccess), w = ToFt(times.lastWrite);
  const BOOL ok = ::SetFileTime(h, times.creation ? &c : nullptr, times.lastAccess ? &a : nullptr,
                                times.lastWrite ? &w : nullptr);
  const DWORD err = ::GetLastError();
  ::CloseHandle(h);
  ::SetLastError(err);
  return ok != FALSE;
}

bool ListDirectory(const std::wstring& path, std::vector<DirectoryEntry>* entries) {
  if (ShouldFailCall("ListDirectory")) return false;
  entries->clear();
  WIN32_FIND_DATAW data;
  HANDLE h = ::FindFirstFileW((path + L"\\*").c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) {
    return ::GetLastError() == ERROR_FILE_NOT_FOUND;  // an empty folder
  }
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    entries->push_back(DirectoryEntry{name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                      (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
  } while (::FindNextFileW(h, &data));
  ::FindClose(h);
  std::sort(entries->begin(), entries->end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  return true;
}

std::wstring GetTempFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  DWORD n = ::GetTempPathW(MAX_PATH + 1, buffer);
  std::wstring path(buffer, n);
  while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

namespace {

// Whether some part of `path` could be a short (8.3) alias of a longer
// name: a "~" in a name of at most 8 characters with an extension of at
// most 3. Only such a part can spell another path than it reads.
bool MayHoldShortName(const std::wstring& path) {
  return AnyPathPart(path, [](std::wstring_view part) {
    if (part.find(L'~') == std::wstring_view::npos) return false;
    const std::size_t dot = part.rfind(L'.');
    const std::size_t stem = dot == std::wstring_view::npos ? part.size() : dot;
    const std::size_t extension = dot == std::wstring_view::npos ? 0 : part.size() - dot - 1;
    return stem <= 8 && extension <= 3;
  });
}

}  // namespace

std::wstring ComparablePath(const std::wstring& path) {
  std::wstring full(32768, L'\0');
  DWORD n = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n == 0 || n >= full.size()) return {};
  full.resize(n);
  // Expanding short names asks the file system about every part of the
  // path (under Wine a whole folder read per part, several milliseconds
  // for a deep path); a path with no part that can be one reads as it is.
  if (!MayHoldShortName(full)) {
    ::CharUpperBuffW(full.data(), static_cast<DWORD>(full.size()));
    return full;
  }
  std::wstring longer(32768, L'\0');
  n = ::GetLongPathNameW(full.c_str(), longer.data(), static_cast<DWORD>(longer.size()));
  if (n != 0 && n < longer.size()) {
    longer.resize(n);
    full = longer;
  }
  if (!full.empty()) ::CharUpperBuffW(full.data(), static_cast<DWORD>(full.size()));
  return full;
}

}  // namespace Platform
