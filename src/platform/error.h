// Error numbers of the platform services. Every failing platform call leaves a
// Windows error number as the calling thread's last error, on both builds, so
// that portable code can keep and log the cause the same way everywhere.
#pragma once
#include <cstdint>

namespace Platform {

using ErrorCode = std::uint32_t;

inline constexpr ErrorCode kErrorSuccess = 0;
inline constexpr ErrorCode kErrorFileNotFound = 2;
inline constexpr ErrorCode kErrorPathNotFound = 3;
inline constexpr ErrorCode kErrorAccessDenied = 5;
inline constexpr ErrorCode kErrorInvalidHandle = 6;
inline constexpr ErrorCode kErrorNotEnoughMemory = 8;
inline constexpr ErrorCode kErrorInvalidData = 13;
inline constexpr ErrorCode kErrorWriteFault = 29;
inline constexpr ErrorCode kErrorReadFault = 30;
inline constexpr ErrorCode kErrorSharingViolation = 32;
inline constexpr ErrorCode kErrorHandleEof = 38;
inline constexpr ErrorCode kErrorNotSupported = 50;
inline constexpr ErrorCode kErrorFileExists = 80;
inline constexpr ErrorCode kErrorInvalidParameter = 87;
inline constexpr ErrorCode kErrorDiskFull = 112;
inline constexpr ErrorCode kErrorDirNotEmpty = 145;
inline constexpr ErrorCode kErrorBadPathName = 161;
inline constexpr ErrorCode kErrorAlreadyExists = 183;
inline constexpr ErrorCode kErrorFilenameTooLong = 206;
inline constexpr ErrorCode kErrorFileCorrupt = 1392;
inline constexpr ErrorCode kErrorNoMoreFiles = 18;

// The calling thread's last error (GetLastError on Windows).
ErrorCode LastError();
// Sets the calling thread's last error (SetLastError on Windows).
void SetLastErrorCode(ErrorCode code);

}  // namespace Platform
