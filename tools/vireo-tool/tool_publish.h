// Publishing one module of a release: the module's entry in update.xml, its
// update list with versions and Korea time stamps as the updater computes
// them, and the files (or one-file archives) at the server paths the
// updater requests.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypto.h"
#include "tool_publish_delta.h"

namespace VireoTool {

struct PublishOptions {
  std::wstring releaseDir;      // the module's installed folder, as it should end up
  std::wstring outDir;          // the server tree's root
  std::wstring module;          // element name in update.xml
  std::wstring installPath;     // "install_path"; may be empty (the updater's folder)
  std::wstring processImage;    // "process_image"; may be empty
  std::wstring updateListPath;  // "update_list"; empty: /update/MODULE/UpdateList.xml
  std::vector<std::wstring> zipGlobs;  // files published as NAME.zip
  std::size_t stampLength = 12;        // 1..12 digits of "YYYYMMDDhhmm"
  unsigned codePage = 1252;            // ANSI code page of the target machines
  std::wstring signKeyPath;            // PEM P-256 private key; empty: update.xml and the list stay unsigned
  // The manifest's "expires" (FILETIME, UTC, whole seconds); nullopt keeps
  // the one update.xml has (or none).
  std::optional<std::uint64_t> expiresAt;
  std::size_t deltas = 3;              // earlier versions each replaced file keeps patches from (0: none)
};

// One published file.
struct PublishedEntry {
  std::wstring fileName;  // as listed: relative, "\" separated, ".zip" added for archives
  std::wstring version;
  std::wstring dateTime;
  // The file as served (for an archive, the .zip): "size" and "sha256",
  // written when hasDigest.
  std::uint64_t size = 0;
  Platform::Sha256Digest sha256{};
  bool hasDigest = false;
  // For an archive: the carried item as installed ("item_size",
  // "item_sha256"), written when hasItem.
  std::uint64_t itemSize = 0;
  Platform::Sha256Digest itemSha256{};
  bool hasItem = false;
  std::vector<PublishedPatch> patches;  // "patch" children, newest base first
};

struct PublishReport {
  std::vector<PublishedEntry> entries;
  std::vector<std::string> warnings;  // not fatal; shown to the user
  int filesWritten = 0;               // files created or changed under outDir
  int filesRemoved = 0;               // files the previous list named and this one does not
  std::uint64_t serial = 0;           // update.xml's serial after the run
  int patchesListed = 0;              // "patch" elements in the new list
};

// Publishes the module in five steps: validate the options (and load the
// signing key), plan every file of the release, write the files as served
// (recording size and SHA-256), prune the files the previous list named and
// this one does not, and write the update list and update.xml, each with its
// ".sig" when signing. False, with *error set, for a bad option or key, an
// unreadable release, a name the code page cannot encode or the updater
// could not request, or a write that failed. Nothing is written before every
// file of the release has been examined; update.xml and the update list are
// written last. Without a key, a ".sig" left beside a document that changed
// is removed (it would no longer verify). A file that replaces an earlier
// version gets patches from up to options.deltas earlier versions
// (tool_publish_delta.h); patches and kept versions no longer needed are
// removed.
[[nodiscard]] bool PublishModule(const PublishOptions& options, PublishReport* report, std::string* error);

// update.xml text for the modules (name, update list with its pin, install
// path, process image), UTF-8, with the texts escaped; the root carries
// "serial" and "expires" when they are set.
struct ManifestModule {
  std::wstring name, updateList, installPath, processImage;
  bool pinned = false;  // "size" and "sha256" of the list's bytes as served
  std::uint64_t listSize = 0;
  Platform::Sha256Digest listSha256{};
};
struct ManifestRoot {
  std::uint64_t serial = 0;              // 0: no "serial"
  std::optional<std::uint64_t> expires;  // FILETIME, UTC
};
std::string FormatManifest(const std::vector<ManifestModule>& modules, const ManifestRoot& root = ManifestRoot());

// Signs a server tree's manifest again without a release: raises "serial"
// by one, pins every module's update list as it lies in the tree (so that
// a tree published before pins gets them), sets "expires" to `expiresAt`
// (nullopt keeps the current one) and writes update.xml and its .sig. The
// lists and their .sig files are not touched. False with *error when the
// key cannot sign, update.xml is missing or unreadable, a list is missing,
// or a write fails; update.xml is written last.
[[nodiscard]] bool ResignTree(const std::wstring& root, const std::wstring& signKeyPath,
                              std::optional<std::uint64_t> expiresAt, PublishReport* report, std::string* error);

// "12h", "7d", "30m", "90s": a positive count of one unit, as 100 ns ticks;
// false for anything else or more than 100 years.
[[nodiscard]] bool ParseDuration(const std::string& text, std::uint64_t* ticks);
// The expiry that --expires-in DURATION or --expires-at TIME (UTC,
// YYYY-MM-DDTHH:MM:SSZ) name, given `now` (FILETIME, UTC); at most one of
// them may be given (empty = not given). nullopt when neither is. False
// with *error for a bad value or both; a time not after `now` is refused.
[[nodiscard]] bool ExpiryFromOptions(const std::string& in, const std::string& at, std::uint64_t now,
                                     std::optional<std::uint64_t>* expires, std::string* error);
// An update list in `codePage`; false when a name cannot be encoded.
[[nodiscard]] bool FormatUpdateList(const std::vector<PublishedEntry>& entries, unsigned codePage, std::string* bytes,
                                    std::string* error);

// True when `name` is a usable element name for a module (ASCII letter or
// "_" first, then letters, digits, "_", "-", ".").
bool IsModuleName(const std::wstring& name);
// Glob match of a release file's relative name: "*" and "?" stay within one
// folder level, "**" crosses levels; "\" and "/" are the same; ASCII
// letters match in any case. A pattern without a separator is matched
// against the file's own name only.
bool MatchZipGlob(const std::wstring& pattern, const std::wstring& relativeName);

}  // namespace VireoTool
