#include "tool_files.h"

#include "platform/error.h"
#include "platform/file.h"

namespace VireoTool {

bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
  return Platform::ReadWholeFile(path, 0xFFFFFFFFu, bytes);
}

bool EnsureFolderChain(const std::wstring& path) {
  if (path.empty()) return false;
  if (Platform::IsDirectory(path)) return true;
  const std::size_t cut = path.find_last_of(L"\\/");
  if (cut != std::wstring::npos && cut > 0) {
    const std::wstring parent = path.substr(0, cut);
    // "C:" and "/" stand for roots that exist.
    if (!(parent.size() == 2 && parent[1] == L':') && !EnsureFolderChain(parent)) return false;
  }
  if (Platform::MakeDirectory(path)) return true;
  return Platform::IsDirectory(path);
}

bool WriteFileIfChanged(const std::wstring& path, const std::string& bytes, bool* changed) {
  if (changed) *changed = false;
  std::string old;
  if (ReadWholeFile(path, &old) && old == bytes) return true;
  const std::size_t cut = path.find_last_of(L"\\/");
  if (cut != std::wstring::npos && cut > 0 && !EnsureFolderChain(path.substr(0, cut))) return false;
  const std::wstring temporary = path + L".new";
  {
    Platform::CFile file;
    if (!file.Create(temporary)) return false;
    if (!file.Write(bytes.data(), bytes.size()) || !file.Flush()) {
      file.Close();
      (void)Platform::RemoveFile(temporary);
      return false;
    }
  }
  if (Platform::PathExists(path) && !Platform::RemoveFile(path)) {
    const Platform::ErrorCode error = Platform::LastError();
    (void)Platform::RemoveFile(temporary);
    Platform::SetLastErrorCode(error);
    return false;
  }
  if (!Platform::MoveItem(temporary, path)) return false;
  if (changed) *changed = true;
  return true;
}

namespace {

bool ListInto(const std::wstring& root, const std::wstring& prefix, std::vector<std::wstring>* files, int depth) {
  if (depth > 64) return false;  // a link loop, most likely
  std::vector<Platform::DirectoryEntry> entries;
  if (!Platform::ListDirectory(prefix.empty() ? root : JoinPath(root, prefix), &entries)) return false;
  for (const auto& entry : entries) {
    if (!entry.isDirectory) files->push_back(prefix.empty() ? entry.name : prefix + L"\\" + entry.name);
  }
  for (const auto& entry : entries) {
    if (entry.isDirectory && !ListInto(root, prefix.empty() ? entry.name : prefix + L"\\" + entry.name, files, depth + 1))
      return false;
  }
  return true;
}

}  // namespace

bool ListFilesBelow(const std::wstring& root, std::vector<std::wstring>* files) {
  files->clear();
  return ListInto(root, std::wstring(), files, 0);
}

std::wstring JoinPath(const std::wstring& a, const std::wstring& b) {
  if (a.empty()) return b;
  if (a.back() == L'\\' || a.back() == L'/') return a + b;
  return a + L"\\" + b;
}

std::string LastErrorText() { return "error " + std::to_string(static_cast<unsigned long>(Platform::LastError())); }

}  // namespace VireoTool
