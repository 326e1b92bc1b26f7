// What the updater last put in a module's install folder: for each file
// whose SHA-256 it knew, that digest with the file's size and last-write
// time as it stood after the swap. Kept in the install folder under
// kInstalledDigestsName (module_staging.h), rewritten after each swap.
//
// The record only spares the hashing of an installed file that is the base
// of a patch: a file whose size and time still match its line is taken to
// have the recorded digest. Nothing else relies on it. Anyone with the
// install folder can change the record or a file beside it; a wrong digest
// then picks a patch that fails to apply or yields other bytes than the
// entry's, and the file is fetched whole as for any failed patch.
//
// Format: UTF-8 text, a first line "vireo-digests 1", then one line per
// file: SHA-256 (hex), size, last-write time (100 ns units since 1601) and
// the path relative to the install folder, separated by tabs. A record that
// is missing, too large or not in this form counts as empty; lines not in
// form are skipped.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/module_staging.h"
#include "manifest/update_list.h"
#include "platform/crypto.h"

class CInstalledDigests {
 public:
  // The record of the module in `installFolder` (empty when there is none).
  static CInstalledDigests Load(const std::wstring& installFolder);

  // The recorded digest of `relativeName` when its line still matches the
  // size and last-write time given.
  bool Find(const std::wstring& relativeName, std::uint64_t size, std::uint64_t lastWrite,
            Platform::Sha256Digest* digest) const;
  void Set(const std::wstring& relativeName, std::uint64_t size, std::uint64_t lastWrite,
           const Platform::Sha256Digest& digest);
  void Forget(const std::wstring& relativeName);
  bool Empty() const { return lines_.empty(); }

  // After a swap of the module in `installFolder`: the lines of the files it
  // put in place (`placed`, their list entries; an archive's line is its
  // item's) are set from their entries' declared size and digest and the
  // time they have now, or dropped when the entry declares none or the file
  // on disk is not that size; then the record is saved. Only for a module
  // whose list names a patch (`listNamesPatches`) or that has a record
  // already: for any other, nothing is written. A record that cannot be
  // written is logged.
  void KeepAfterSwap(const std::wstring& installFolder, const std::vector<const CFileData*>& placed,
                     bool listNamesPatches);

  // Writes the record for `installFolder` (a new file renamed over the old
  // one). False when it could not be written; the old one, if any, is then
  // removed, so that no stale line outlives the files it describes.
  [[nodiscard]] bool Save(const std::wstring& installFolder) const;

 private:
  struct Line {
    std::wstring name;  // as given, for the file
    std::uint64_t size = 0;
    std::uint64_t lastWrite = 0;
    Platform::Sha256Digest digest{};
  };
  std::unordered_map<std::wstring, Line> lines_;  // by folded name
};
