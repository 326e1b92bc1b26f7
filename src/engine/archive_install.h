// Installing a staged zip archive over the installation, item by item, as
// part of its module's swap: each replaced file goes through a ".bak" copy
// that the swap deletes once the whole module is in place, or renames back
// when any step fails. Every step is logged. Runs on the update worker
// thread.
#pragma once
#include <cstdint>
#include <string>

#include "platform/error.h"

struct ZipHandle;
struct ZipItem;

class CModuleSwap;

// Installs every item of the archive at `archivePath` (a staged file) into
// `folder`, as part of `swap`: each target is set aside through the swap
// first, so the swap's undo puts it back. Each item is extracted by its own
// index, once, so an archive's items cost linear time and never one
// another's bytes. Items named like the updater's own executable go to a
// "Temp" folder beside them instead. Items whose stored names fail
// IsContainedRelativePath or name the staging folder, items with a folder
// part, folder items and targets that are folders are skipped with a log
// line. True when every other item is in place; false, with *error (a
// platform error, or 1392 for an archive that cannot be read whole), at the
// first item that is not: the caller undoes the swap.
[[nodiscard]] bool UnZip(const std::wstring& archivePath, const std::wstring& folder, CModuleSwap& swap,
                         Platform::ErrorCode* error);

// Replaces the file at `target` with archive item `index` (whose record is
// `item`) within `swap`: the old target is set aside, the item extracted,
// and the new file checked for the item's size. A partial file is removed.
// False, with *error, when the old file could not be set aside or the item
// not extracted whole.
[[nodiscard]] bool InstallArchiveItem(ZipHandle* handle, std::int32_t index, const ZipItem& item,
                                      const std::wstring& target, CModuleSwap& swap, Platform::ErrorCode* error);
