// The bytes an archive is read from: the platform's byte sources (a local
// file, or memory for tests and fuzzing), under the names the zip reader's
// callers know.
#pragma once
#include "platform/byte_source.h"

using IZipByteSource = Platform::IByteSource;
using CZipFileSource = Platform::CFileByteSource;
using CZipMemorySource = Platform::CMemoryByteSource;
