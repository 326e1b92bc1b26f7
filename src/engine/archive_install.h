// Installing a staged zip archive in two steps. As soon as the archive is
// staged it is unpacked, item by item, into a folder of its own in the
// staging folder (UnZip), while the installation stays as it was; the swap
// then only renames the unpacked items into place (InstallArchiveItems),
// each replaced file kept as a ".bak" copy until the whole module is in
// place. Every step is logged.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/error.h"

class CModuleSwap;

// One item of a staged archive, unpacked and waiting for the swap.
struct PreparedItem {
  std::wstring staged;     // the unpacked file, in the staging folder
  std::wstring target;     // where the swap puts it
  std::uint64_t size = 0;  // the item's size as the archive declares it
  bool intoTemp = false;   // the updater's own name: target waits in a Temp folder
};

// Asked between items and before each chunk written; true stops the
// unpacking. Called on the unpacking thread.
using UnpackCancelCheck = std::function<bool()>;

// Unpacks every item of the staged archive at `archivePath` into
// `itemsFolder` (an empty folder in the staging folder), each recorded in
// *items with its target below `folder`; nothing outside the staging folder
// is touched. Items named like the updater's own executable are bound for a
// "Temp" folder beside their target instead. Items whose stored names fail
// IsContainedRelativePath or name the staging folder, items with a folder
// part and folder items are skipped with a log line; of items with the same
// target (letter case ignored) the last one counts. Any thread. True when
// every other item is unpacked whole; false at the first that is not, with
// *error (a platform error, or 1392 for an archive that cannot be read
// whole), or when `cancelled` answered true (nothing further logged).
[[nodiscard]] bool UnZip(const std::wstring& archivePath, const std::wstring& folder, const std::wstring& itemsFolder,
                         const UnpackCancelCheck& cancelled, std::vector<PreparedItem>* items,
                         Platform::ErrorCode* error);

// Renames the unpacked `items` into place within `swap`: each old target is
// set aside first (so the swap's undo puts it back); a ".bak" that no swap
// accounts for is resolved first; a target that is a folder is skipped with
// a log line. True when every other item is in place; false, with *error,
// at the first that is not (logged): the caller undoes the swap. Runs in
// the swap, on the update worker's thread.
[[nodiscard]] bool InstallArchiveItems(const std::vector<PreparedItem>& items, CModuleSwap& swap,
                                       Platform::ErrorCode* error);
