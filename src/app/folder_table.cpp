#include "app/folder_table.h"

#include "platform/file.h"
#include "platform/process.h"

CFolderTable& GetFolderTable() {
  static CFolderTable table;
  return table;
}

bool InitFolderTable(CFolderTable& table) {
  std::wstring path = Platform::GetExecutablePath();
  const auto slash = path.rfind(L'\\');
  table.appDir_ = slash == std::wstring::npos ? path : path.substr(0, slash);
  table.exePath_ = Platform::GetExecutablePath();
  table.appDirWithSlash_ = table.appDir_ + L"\\";
  return true;
}

void SetModuleDir(CFolderTable& table, const std::wstring& folder) { table.moduleDir_ = folder; }

std::wstring GetUpdaterFileName(const CFolderTable& table) { return GetFileNameFromPath(table.GetExePath()); }

bool EnsureDirectory(const std::wstring& path) {
  if (Platform::PathExists(path)) return true;
  const auto slash = path.rfind(L'\\');
  if (slash == std::wstring::npos) return true;
  const std::wstring parent = path.substr(0, slash);
  if (!EnsureDirectory(parent)) return false;
  if (!parent.empty() && parent.back() == L'\\') return true;
  if (!Platform::PathExists(path) && !Platform::MakeDirectory(path)) return false;
  return true;
}

std::wstring GetFileNameFromPath(const std::wstring& path) {
  std::wstring rest = path;
  for (wchar_t separator : {L'\\', L'/'}) {
    const auto pos = rest.rfind(separator);
    if (pos != std::wstring::npos) rest.erase(0, pos + 1);
  }
  return rest;
}

std::wstring RemoveLastPathPart(const std::wstring& path, wchar_t separator) {
  const auto pos = path.rfind(separator);
  if (pos == std::wstring::npos || pos == 0) return path;
  return path.substr(0, pos);
}

std::wstring GetFileExtension(const std::wstring& path) {
  const auto dot = path.rfind(L'.');
  const auto slash = path.rfind(L'\\');
  if (dot == std::wstring::npos || dot == 0) return std::wstring();
  if (slash != std::wstring::npos && slash > dot) return std::wstring();
  return path.substr(dot);
}
