// File helpers of vireo-tool: whole-file reads and writes through the
// platform file service, folder chains, and the walk over a release folder.
#pragma once
#include <string>
#include <vector>

namespace VireoTool {

// The whole file; false when it cannot be opened or read.
[[nodiscard]] bool ReadWholeFile(const std::wstring& path, std::string* bytes);
// Creates `path` and every missing parent ("\" separated). True when it is a
// folder afterwards.
[[nodiscard]] bool EnsureFolderChain(const std::wstring& path);
// Writes `bytes` to `path` unless the file already holds exactly them, so an
// unchanged output keeps its time. Missing folders are created. The new
// content goes to "path.new" first and then replaces the file, so a failed
// write never leaves a truncated file behind. *changed (optional) tells
// whether anything was written.
[[nodiscard]] bool WriteFileIfChanged(const std::wstring& path, const std::string& bytes, bool* changed = nullptr);
// Every file below `root`, as paths relative to it with "\" separators, in
// a fixed order (names sorted within each folder, a folder's files before
// its sub-folders' files). False when a folder cannot be listed.
[[nodiscard]] bool ListFilesBelow(const std::wstring& root, std::vector<std::wstring>* files);
// "a" + "\" + "b", without doubling a trailing separator of `a`.
std::wstring JoinPath(const std::wstring& a, const std::wstring& b);
// An error text for the thread's last error, e.g. "error 2".
std::string LastErrorText();

}  // namespace VireoTool
