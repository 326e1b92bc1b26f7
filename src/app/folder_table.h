// The updater's own locations (its folder, its executable, the install folder
// of the module being processed) and the path helpers used on local paths
// ("\" separated) and URL paths.
#pragma once
#include <string>

class CFolderTable {
 public:
  const std::wstring& GetAppDirWithSlash() const { return appDirWithSlash_; }
  const std::wstring& GetExePath() const { return exePath_; }
  const std::wstring& GetAppDir() const { return appDir_; }
  const std::wstring& GetModuleDir() const { return moduleDir_; }

 private:
  friend bool InitFolderTable(CFolderTable& table);
  friend void SetModuleDir(CFolderTable& table, const std::wstring& folder);
  std::wstring appDirWithSlash_;
  std::wstring exePath_;
  std::wstring appDir_;
  std::wstring moduleDir_;
};

// The one folder table of the process, empty until InitFolderTable. Filled on
// the main thread at start-up; afterwards only the worker writes ModuleDir.
CFolderTable& GetFolderTable();
// Fills AppDir, ExePath and AppDirWithSlash from the running executable's path.
bool InitFolderTable(CFolderTable& table);
// Sets the install folder of the module being processed.
void SetModuleDir(CFolderTable& table, const std::wstring& folder);
// The file name of the updater's executable (for instance Updater.exe).
std::wstring GetUpdaterFileName(const CFolderTable& table);

// Makes sure the folder exists, creating missing ancestors first (only "\"
// separates levels). False when a level could not be created.
bool EnsureDirectory(const std::wstring& path);
// The part after the last "\" and then after the last "/".
std::wstring GetFileNameFromPath(const std::wstring& path);
// path without its last separator and what follows; a separator at position 0
// alone is kept.
std::wstring RemoveLastPathPart(const std::wstring& path, wchar_t separator);
// The extension of the last component, with its dot, or empty.
std::wstring GetFileExtension(const std::wstring& path);
