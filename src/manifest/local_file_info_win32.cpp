// Windows: the version resource (read from the file, the platform's calls
// behind it) and the platform's zone conversion of the last-write time to
// the machine's local time.
#include <vector>

#include "manifest/local_file_info.h"
#include "manifest/pe_version.h"
#include "platform/file.h"
#include "platform/system_time_win32.h"
#include "platform/windows_api.h"

bool CLocalFileInfo::ReadLocalFileInfo() {
  FileVersion.clear();
  if (Path.empty() || !Platform::PathExists(Path) || Platform::IsDirectory(Path)) return false;

  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (GetFileAttributesExW(Path.c_str(), GetFileExInfoStandard, &data)) {
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    // The current zone's rules for that date, not for today.
    if (FileTimeToSystemTime(&data.ftLastWriteTime, &utc)) {
      LastWriteTimeUtc = Platform::FromSystemTime(utc);
    }
    if (LastWriteTimeUtc.year != 0 && SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
      LastWriteTime = Platform::FromSystemTime(local);
    }
  }

  // The version resource is read from the file by the portable reader,
  // which gives what the platform's calls give (checked against every DLL
  // of Wine's): those map the whole file as a module, twice, about 4 ms a
  // program under Wine, and a run asks it of every installed file. They
  // still read what the reader cannot take apart, and executables of the
  // older formats.
  PeVersion::FixedFileInfo read;
  switch (PeVersion::ReadFixedFileInfoFromFile(Path, &read)) {
    case PeVersion::PeVersionResult::Found:
      FileVersion = PeVersion::FormatVersion(read.fileVersionMS, read.fileVersionLS);
      return true;
    case PeVersion::PeVersionResult::NoVersionResource:
    case PeVersion::PeVersionResult::NotExecutable:
      return false;
    default:
      break;
  }
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(Path.c_str(), &handle);
  if (size == 0) return false;
  std::vector<unsigned char> buffer(size);
  if (!GetFileVersionInfoW(Path.c_str(), 0, size, buffer.data())) return false;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  if (!VerQueryValueW(buffer.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) || !fixed ||
      fixedSize < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  FileVersion = PeVersion::FormatVersion(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
  return true;
}
