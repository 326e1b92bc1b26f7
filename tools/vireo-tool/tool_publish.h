// Publishing one module of a release: the module's entry in update.xml, its
// update list with versions and Korea time stamps as the updater computes
// them, and the files (or one-file archives) at the server paths the
// updater requests.
#pragma once
#include <cstddef>
#include <cstdint>
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

// update.xml text for the modules (name, update list, install path,
// process image), UTF-8, with the texts escaped.
struct ManifestModule {
  std::wstring name, updateList, installPath, processImage;
};
std::string FormatManifest(const std::vector<ManifestModule>& modules);
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
