// Reads the fixed file information (file and product version) from the
// version resource of a PE executable or DLL, without loading it. Portable:
// it serves the native build and the publishing tool. Every read is checked
// against the size of the input; a truncated or hostile file gives a result
// code, never a read outside the input.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/byte_source.h"

namespace PeVersion {

// The bytes are read through the platform's byte sources (a file, or a
// block in memory that the caller keeps alive).
using IByteSource = Platform::IByteSource;
using CMemoryByteSource = Platform::CMemoryByteSource;

// The version words of VS_FIXEDFILEINFO (most and least significant halves).
struct FixedFileInfo {
  std::uint32_t fileVersionMS = 0;
  std::uint32_t fileVersionLS = 0;
  std::uint32_t productVersionMS = 0;
  std::uint32_t productVersionLS = 0;
  std::uint32_t fileFlags = 0;
  std::uint32_t fileOS = 0;
  std::uint32_t fileType = 0;
};

enum class PeVersionResult {
  Found,              // *info filled
  ReadFailed,         // the file could not be opened or read
  NotExecutable,      // does not begin with "MZ", as every executable does
  NotPe,              // no PE signature after the MZ header, or an unknown optional header
  NoVersionResource,  // a PE file without resource section or RT_VERSION entry with id 1
  Malformed,          // headers or resource tree point outside the file or contradict themselves
};

// Finds RT_VERSION (16), name id 1, in the resource tree and reads the fixed
// file information of its VS_VERSIONINFO block. Of several languages the
// neutral one is taken, then US English (0x409), then the first listed.
[[nodiscard]] PeVersionResult ReadFixedFileInfo(IByteSource& source, FixedFileInfo* info);
// The same for a file on disk ("\" separated path), read through the platform
// file service piece by piece.
[[nodiscard]] PeVersionResult ReadFixedFileInfoFromFile(const std::wstring& path, FixedFileInfo* info);

// "%d.%d.%d.%d" of the four 16-bit halves, most significant first.
std::wstring FormatVersion(std::uint32_t ms, std::uint32_t ls);

// A short English name of the result, for tools and logs.
const char* DescribeResult(PeVersionResult result);

}  // namespace PeVersion
