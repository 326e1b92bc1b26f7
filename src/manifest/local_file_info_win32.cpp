// Windows: the platform's version resource calls and its zone conversion of
// the last-write time to the machine's local time.
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
