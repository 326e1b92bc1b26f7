// A module is brought up to date in two phases. First every file it needs is
// fetched into its staging folder and verified there, while the installation
// stays as it was; then the staged files are put in place together (the
// swap, module_swap.h). This is the staging folder: where a staged file and
// the note about its transfer live, and how the folder is removed.
//
// Everything here runs on the update worker's thread and only logs; the
// caller decides what a failure means for the run.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_set>

#include "platform/error.h"
#include "platform/file.h"

// The staging folder's name inside a module's install folder. Update-list
// entries and archive items that name it, or the record of installed files
// (installed_digests.h), are refused (NamesStagingFolder).
inline constexpr wchar_t kStagingFolderName[] = L"~vireo-staging";
// The module's record of installed files (installed_digests.h), at the top
// of its install folder; refused as a name as the staging folder is.
inline constexpr wchar_t kInstalledDigestsName[] = L"~vireo-digests";

// Whether any "\"- or "/"-separated part of `relativeName` is the staging
// folder's name, or the whole of it the record of installed files (letter
// case ignored).
bool NamesStagingFolder(const std::wstring& relativeName);

// NamesStagingFolder, or `relativeName` (below `installFolder`) leads into
// the staging folder as the file system resolves it: through a short (8.3)
// alias of its name, say. Asks the file system only about a first part that
// could be such an alias (one with a "~").
bool ReachesStagingFolder(const std::wstring& installFolder, const std::wstring& relativeName);

// Whether `folder`, as the file system resolves it, lies inside a staging
// folder (an install path must not).
bool IsInsideStagingFolder(const std::wstring& folder);

// Whether any folder on the way from `base` to `base`\`relativePath` (the
// last part excluded) is a link: what lies beyond it is not below `base`.
// `noLinks` (may be null) holds folders already found not to be links and
// receives the ones found now, for a caller that makes no links itself.
bool CrossesLink(const std::wstring& base, const std::wstring& relativePath,
                 std::unordered_set<std::wstring>* noLinks = nullptr);

// Whether the staged copy or the note of list entry `fileName` of the module
// in `installFolder` would be reached through a link in one of the entry's
// own folders (CrossesLink); the folders above them are RemoveStagingLinks'.
bool StagedPathsCrossLink(const std::wstring& installFolder, const std::wstring& fileName);

// Removes any link that stands in place of the staging folder of
// `installFolder` or of a folder inside it, with a log line each: the
// staging folder is the updater's own, and nothing in it is followed. False
// when a link could not be removed (the platform's last error says why):
// nothing may then be staged there.
[[nodiscard]] bool RemoveStagingLinks(const std::wstring& installFolder);

// The staging folder of the module installed in `installFolder`.
std::wstring StagingFolderOf(const std::wstring& installFolder);

// Where the staged copy of the list entry `fileName` lives (whole or in
// part) and where the note about its transfer is kept.
struct StagedPaths {
  std::wstring data;
  std::wstring note;
};
StagedPaths StagedPathsOf(const std::wstring& stagingFolder, const std::wstring& fileName);

// The length of the staged file at `path`; 0 when there is none.
std::uint64_t StagedLength(const std::wstring& path);

// Forces the staged file at `path` to the disk, so that once the swap has
// renamed it in, a power loss cannot leave the installed file without its
// last bytes. Best effort: false when it could not be opened or flushed.
bool FlushStagedFile(const std::wstring& path);

// What the response that began a staged file said about it, kept beside it
// so that the next run can ask for the rest of the very same document.
struct StagedNote {
  std::wstring url;        // the path the file was fetched from
  std::wstring validator;  // entity tag or date (empty: cannot be resumed)
  bool totalKnown = false;
  std::uint64_t total = 0;  // the whole file's length
};
// False when the note is missing or not in its form.
[[nodiscard]] bool ReadStagedNote(const std::wstring& path, StagedNote* note);
[[nodiscard]] bool WriteStagedNote(const std::wstring& path, const StagedNote& note);

// The folder in the staging folder where the items of the staged archive
// `fileName` are unpacked, ready for the swap to rename into place.
std::wstring StagedItemsFolderOf(const std::wstring& stagingFolder, const std::wstring& fileName);

// Makes the items folder of the staged archive `fileName` of the module in
// `installFolder` empty and new: whatever an earlier run unpacked there is
// removed (links as links), never trusted. False, with the platform's last
// error, when it cannot be made so, or when a folder on its way is a link
// that could not be removed.
[[nodiscard]] bool MakeStagedItemsFolder(const std::wstring& installFolder, const std::wstring& fileName);

// Where the swap's journal lives in the staging folder of `installFolder`.
std::wstring JournalPathOf(const std::wstring& installFolder);

// Removes the staging folder of `installFolder` and everything in it, the
// journal last: a staging folder with a journal is always one whose swap
// needs a repair. True when nothing of it remains.
bool RemoveStagingFolder(const std::wstring& installFolder);

// Removes the staging folder of `installFolder` when no file is left in it
// (a failed run whose staged files were all discarded).
void RemoveStagingFolderIfEmpty(const std::wstring& installFolder);
