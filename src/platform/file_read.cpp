// Whole-file reads through the file service, the same on every build.
#include "platform/error.h"
#include "platform/file.h"

namespace Platform {

bool IsFile(const std::wstring& path) { return PathExists(path) && !IsDirectory(path); }

bool ReadWholeFile(const std::wstring& path, std::size_t cap, std::string* bytes) {
  bytes->clear();
  CFile file;
  if (!file.OpenRead(path)) return false;
  std::uint64_t size = 0;
  if (file.GetSize(&size) && size <= cap) bytes->reserve(static_cast<std::size_t>(size));
  char piece[65536];
  for (;;) {
    std::size_t got = 0;
    if (!file.Read(piece, sizeof piece, &got)) return false;
    if (got == 0) return true;
    if (got > cap - bytes->size()) {
      SetLastErrorCode(kErrorInvalidData);
      return false;
    }
    bytes->append(piece, got);
  }
}

}  // namespace Platform
