#include <cerrno>

#include "platform/error.h"
#include "platform/posix_path.h"
#include "platform/text.h"

namespace Platform {
namespace {
thread_local ErrorCode lastError = 0;
}

ErrorCode LastError() { return lastError; }
void SetLastErrorCode(ErrorCode code) { lastError = code; }

ErrorCode ErrnoToError(int err) {
  switch (err) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EBUSY:
    case ETXTBSY: return kErrorSharingViolation;
    case EEXIST: return kErrorAlreadyExists;
    case EINVAL: return kErrorInvalidParameter;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case ENAMETOOLONG: return kErrorFilenameTooLong;
    case EIO: return kErrorReadFault;
    default: return 1117;  // ERROR_IO_DEVICE
  }
}

bool FailFromErrno() {
  SetLastErrorCode(ErrnoToError(errno));
  return false;
}

std::string ToOsPath(const std::wstring& path) {
  std::wstring p = path;
  for (auto& c : p) {
    if (c == L'\\') c = L'/';
  }
  return ToUtf8(p);
}

}  // namespace Platform
