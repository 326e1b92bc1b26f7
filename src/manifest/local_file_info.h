// What the update-list analysis needs to know about an installed file: its
// version (from the version resource) and its last-write time, and the local
// time stamp built from it for comparison with the published one.
#pragma once
#include <cstddef>
#include <functional>
#include <string>

#include "platform/clock.h"

class CLocalFileInfo {
 public:
  // All fields empty; a non-empty path is read at once (ReadLocalFileInfo).
  explicit CLocalFileInfo(const std::wstring& path = std::wstring());

  // Fills LastWriteTime whenever the file's attributes can be read, and
  // FileVersion from the version resource. True only when the version was
  // read; false for an empty path, a missing file, a folder, or a file
  // without a version resource (FileVersion is then empty).
  bool ReadLocalFileInfo();

  std::wstring Path;
  // "major.minor.build.revision" in decimal; empty when there is none.
  std::wstring FileVersion;
  // The last-write time in the machine's local time: on Windows the current
  // zone's rules for that date; in the native build UTC (zone key "UTC").
  Platform::SystemTime LastWriteTime;
  // The same instant in UTC, as the file system keeps it; year 0 when the
  // time could not be read.
  Platform::SystemTime LastWriteTimeUtc;
};

// The 12-digit stamp "YYYYMMDDhhmm" of the file's last-write time in Korea
// Standard Time, compared as text with the published stamp. When the UTC time
// is known it is converted straight to Korea time, so the machine's zone
// cannot blur it (the repeated hour after a daylight-saving change, a zone
// missing from the table, a platform that misjudges its own half-hour shift).
// Otherwise LastWriteTime is converted from `currentZoneKey`
// (GetCurrentTimeZoneKey, taken once per analysis) unless that key is empty
// or already "Korea Standard Time"; a failed conversion leaves the time as it
// is. The text is cut to `length` when that is shorter.
std::wstring MakeLocalTimeStamp(const CLocalFileInfo& info, const std::wstring& currentZoneKey, std::size_t length);
// The same, asking `currentZoneKey` for the key only when the stamp needs it
// (the UTC time unknown): reading the key scans the registry's zone table,
// which a run need not pay when no file asks for it.
std::wstring MakeLocalTimeStamp(const CLocalFileInfo& info, const std::function<std::wstring()>& currentZoneKey,
                                std::size_t length);
