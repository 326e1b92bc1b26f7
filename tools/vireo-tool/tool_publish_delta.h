// The delta patches of a published module: for each file that replaces an
// earlier version, patches from up to N earlier versions of the installed
// file to the new one, and the earlier versions' bytes they are made from.
//
// Server tree, below the module's folder (beside its update list):
//   ~vireo-patches\ENTRY\BASE16-TARGET16.zst   a patch; ENTRY is the entry's
//       name as listed, BASE16 and TARGET16 the first 16 hex digits of the
//       SHA-256 of the installed file it applies to and of the one it yields
//   ~vireo-bases\FILE\BASE-SHA256              an earlier version's bytes as
//       installed (for an archive entry, the item it carried), kept to make
//       the next release's patches and for `check`
// The newest earlier version comes first. A patch is kept only when it is
// less than half the size of the file as served and fits the updater's
// memory bound (engine/delta_patch.h); an earlier version is kept exactly
// as long as a patch from it is listed, so the list is the history: the next
// release starts from the version it replaces and the bases listed now.
#pragma once
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/crypto.h"

class CFileData;

namespace VireoTool {

inline constexpr wchar_t kPatchFolder[] = L"~vireo-patches";
inline constexpr wchar_t kBaseFolder[] = L"~vireo-bases";

// One patch as listed under its entry.
struct PublishedPatch {
  Platform::Sha256Digest base{};    // "base"
  std::uint64_t size = 0;           // "size"
  Platform::Sha256Digest sha256{};  // "sha256"
  std::wstring fileName;            // "filename", relative to the list's folder
};

// The patch's line in the update list, as every workstation fetches it.
std::wstring PatchElementText(const PublishedPatch& patch);

// The listed names (relative to the module's server folder) of a patch and
// of a kept base.
std::wstring PatchEntryName(const std::wstring& entryName, const Platform::Sha256Digest& base,
                            const Platform::Sha256Digest& target);
std::wstring BaseEntryName(const std::wstring& carriedName, const Platform::Sha256Digest& base);

// True when a release file's name falls in one of the folders above.
bool IsDeltaFolderName(const std::wstring& relativeName);

// What one file's patches are made from.
struct DeltaInput {
  std::wstring entryName;     // as listed ("Orrery.exe.zip")
  std::wstring carriedName;   // the installed file ("Orrery.exe")
  std::wstring servedPath;    // the file as served now in the tree (the version being replaced), may be missing
  bool archive = false;       // the served file is an archive carrying carriedName
  const std::string* item = nullptr;  // the new installed bytes
  Platform::Sha256Digest itemSha256{};
  std::uint64_t servedSize = 0;       // the new file as served (a patch and its line must be under half of it)
  const CFileData* previous = nullptr;  // the previous list's entry, when there was one
};

// Where the module's tree lies and how many earlier versions to serve.
struct DeltaContext {
  std::wstring outDir;
  std::wstring serverFolder;  // the module's request folder ("/update/viewer/")
  std::size_t deltas = 3;
};

struct DeltaResult {
  std::vector<PublishedPatch> patches;
  std::set<std::wstring> keep;  // tree paths (folded) of the patch and base files still needed
  int filesWritten = 0;
  std::vector<std::string> warnings;
};

// Makes (or keeps, when already in the tree and still applying) the
// patches of one file and keeps the bases they need. Failures to read an
// earlier version only cost its patch (a warning); false with *error only
// when a write fails.
[[nodiscard]] bool PublishFileDeltas(const DeltaContext& context, const DeltaInput& input, DeltaResult* result,
                                     std::string* error);

// Removes the patches and bases of the entries `entryNames` (this list's
// and the previous one's) that `keep` does not name, and folders left
// empty. Only those entries' own folders are looked at, so a module whose
// list shares its folder with another leaves the other's alone. Failures
// are warnings.
void PruneDeltaFiles(const DeltaContext& context, const std::vector<std::wstring>& entryNames,
                     const std::set<std::wstring>& keep, int* removed, std::vector<std::string>* warnings);

}  // namespace VireoTool
