// Windows only: a file fetched as a delta patch against its installed copy.
// An entry may name patches, each from one earlier version (the SHA-256 of
// the base it applies to); when the installed copy is one of those bases,
// the patch is fetched into staging (checked by its size and SHA-256 and
// resumable as any staged file), then applied to the installed copy beside
// the next transfer, and the result is checked by what the entry declares.
// Anything that goes wrong leaves the whole file to be fetched as usual.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/delta_patch.h"
#include "engine/file_transfer.h"
#include "engine/installed_digests.h"
#include "engine/module_staging.h"
#include "engine/server_connection.h"
#include "manifest/update_list.h"
#include "platform/crypto.h"

// A patch staged and checked, waiting to be applied.
struct StagedPatch {
  std::wstring fileName;        // the entry's (for the log)
  std::wstring base;            // the installed copy it applies to
  StagedPaths patch;            // the staged patch and its note
  std::wstring stagedPath;      // the result: the entry's file, or an archive entry's item
  bool item = false;            // an archive entry's item rather than the archive
  std::uint64_t targetSize = 0;
  Platform::Sha256Digest targetSha{};
  std::wstring dateTime;        // the entry's published time
  std::uint64_t patchSize = 0;
  std::uint64_t wholeSize = 0;  // the whole file's, for the log
  std::uint64_t served = 0;     // the patch's bytes moved by this run
};

// Applies `patch` (on any thread): true when the entry's bytes are staged at
// its stagedPath with the published time and the line "came as a patch"
// logged; false, with the line that the whole file is fetched instead and
// nothing of it left, when it failed or `cancel` was set. `memory` is the
// one its module's patches share, one at a time.
bool ApplyStagedPatch(const StagedPatch& patch, const std::atomic<bool>& cancel, CDeltaPatchMemory& memory);

class CPatchFetch {
 public:
  // `installed` (may be null) is the module's record of installed files,
  // whose digest of a base that still matches it spares hashing that base.
  CPatchFetch(CServerConnection& server, CFileTransfer& transfer, const CInstalledDigests* installed = nullptr)
      : server_(server), transfer_(transfer), installed_(installed) {}

  // Stages the patch of `entry` (fetched from serverPath) whose base is
  // the installed copy: true with *staged filled, for ApplyStagedPatch.
  // False when no patch applies or its transfer failed (logged, nothing of
  // it left): the caller fetches the whole file. The base and the result
  // together stay within the applier's memory bound (delta_patch.h); a
  // larger file is fetched whole. May raise the cancellation signal.
  bool FetchPatch(const std::wstring& serverPath, const CFileData& entry, StagedPatch* staged);

 private:
  CServerConnection& server_;
  CFileTransfer& transfer_;
  const CInstalledDigests* installed_;
  std::unique_ptr<char[]> hashPiece_;  // every base's, one after the other
};
