// Windows only: a file fetched as a delta patch against its installed copy.
// An entry may name patches, each from one earlier version (the SHA-256 of
// the base it applies to); when the installed copy is one of those bases,
// the patch is fetched into staging (checked by its size and SHA-256 and
// resumable as any staged file) and applied to the installed copy, and the
// result is checked by what the entry declares. Anything that goes wrong
// leaves the whole file to be fetched as usual.
#pragma once
#include <cstdint>
#include <string>

#include "engine/file_transfer.h"
#include "engine/server_connection.h"
#include "manifest/update_list.h"

// What a patch staged.
struct PatchedFile {
  std::wstring stagedPath;     // the result: the entry's file, or an archive entry's item
  bool item = false;           // an archive entry's item rather than the archive
  std::uint64_t served = 0;    // the patch's bytes moved by this run
};

class CPatchFetch {
 public:
  CPatchFetch(CServerConnection& server, CFileTransfer& transfer) : server_(server), transfer_(transfer) {}

  // Stages `entry` (fetched from serverPath) through one of its patches.
  // True with *patched filled when its bytes are staged and checked, with
  // the entry's published time. False when no patch applies or one failed
  // (logged, nothing of it left): the caller fetches the whole file. The
  // base and the result together stay within the applier's memory bound
  // (delta_patch.h); a larger file is fetched whole. May raise the
  // cancellation signal.
  bool TryPatch(const std::wstring& serverPath, const CFileData& entry, PatchedFile* patched);

 private:
  CServerConnection& server_;
  CFileTransfer& transfer_;
};
