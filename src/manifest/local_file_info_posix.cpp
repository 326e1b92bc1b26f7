// Native build: the version comes from the portable PE reader and the
// last-write time is reported in UTC (the native build's machine zone).
#include "manifest/local_file_info.h"
#include "manifest/pe_version.h"
#include "platform/file.h"

bool CLocalFileInfo::ReadLocalFileInfo() {
  FileVersion.clear();
  if (Path.empty() || !Platform::PathExists(Path) || Platform::IsDirectory(Path)) return false;
  Platform::FileTimes times;
  if (Platform::GetFileTimes(Path, &times)) {
    Platform::SystemTime fields;
    if (Platform::FileTimeToFields(times.lastWrite, &fields)) LastWriteTime = LastWriteTimeUtc = fields;
  }
  PeVersion::FixedFileInfo fixed;
  if (PeVersion::ReadFixedFileInfoFromFile(Path, &fixed) != PeVersion::PeVersionResult::Found) return false;
  FileVersion = PeVersion::FormatVersion(fixed.fileVersionMS, fixed.fileVersionLS);
  return true;
}
