// Installing a downloaded zip archive over the installation, item by item,
// each replaced file going through a ".bak" copy that is deleted once the new
// file is in place and renamed back when it is not. Every step is logged.
// Runs on the update worker thread.
#pragma once
#include <cstdint>
#include <string>

struct ZipHandle;
struct ZipItem;

// Installs every item of the archive `fileName` (relative to `folder`, "\"
// separated; a folder part makes items land below that sub-folder), then
// deletes the archive, also when it could not be opened. Each item is
// extracted by its own index, once, so an archive's items cost linear time
// and never one another's bytes. Items named like the updater's own
// executable go to a "Temp" folder beside them instead. Items whose stored
// names fail IsContainedRelativePath, and folder items, are skipped with a
// log line; items whose stored names have a folder part are not installed
// (the old file stays, through the restore lines of InstallArchiveItem).
// Outcomes are only logged.
void UnZip(const std::wstring& fileName, const std::wstring& folder);

// Replaces the file at `target` with archive item `index` (whose record is
// `item`; -1 installs nothing and restores): a leftover target+".bak" is
// resolved (ResolveStaleBackup), the old target is renamed to the backup, the
// item is extracted, and the backup is deleted when the new file is there
// whole, or renamed back (after removing any partial file) when it is not. A
// target that cannot be moved aside is left alone and not extracted over.
void InstallArchiveItem(ZipHandle* handle, std::int32_t index, const ZipItem& item, const std::wstring& target);

// True when both files could be read to a verdict; *same is then true when
// their contents are equal. False (same false) when a path is empty, a file
// is missing or cannot be opened or read. Files of different sizes are not
// read.
bool CompareFiles(const std::wstring& first, const std::wstring& second, bool* same);
