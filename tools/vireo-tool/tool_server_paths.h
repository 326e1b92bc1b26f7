// The URL paths the updater requests from an update server, and how a
// server maps them onto its folder tree. Publishing, checking and planning
// all go through these, so the tree they write or read is the one the
// updater sees.
#pragma once
#include <string>
#include <vector>

// UpdateListRequestPath, the path the updater requests a module's update
// list under, is the updater's own (manifest/update_manifest.h).
#include "manifest/update_manifest.h"

namespace VireoTool {

// The folder a module's files are fetched from: the list's request path up
// to and including its last "/".
std::wstring ServerFolderOf(const std::wstring& listRequestPath);
// The file name at the end of the list's request path.
std::wstring ListNameOf(const std::wstring& listRequestPath);

// What the server looks up for a requested path: "\" read as "/" (the HTTP
// client sends it so), empty and "." segments dropped, ".." taking back the
// segment before it. False when the path climbs above the root or ends in a
// folder (no file name).
[[nodiscard]] bool ResolveServerPath(const std::wstring& requestPath, std::vector<std::wstring>* segments);
// The segments joined below `root` with "\" (a local path into a tree).
std::wstring TreePath(const std::wstring& root, const std::vector<std::wstring>& segments);

// An update-list name whose last four characters are ".zip" in any case
// stands for the file the archive carries: that name without the suffix
// (the updater's own LocalNameOf).
bool IsArchiveName(const std::wstring& entryName);
std::wstring CarriedFileName(const std::wstring& entryName);
// The part after the last "\" or "/".
std::wstring BaseName(const std::wstring& path);

// A name folded as the updater folds names (platform/case_fold.h): two names
// are one file's when their folds are equal.
std::wstring FoldCase(const std::wstring& text);

}  // namespace VireoTool
