#include "engine/safe_path.h"

#include <algorithm>
#include <cwctype>

#include "app/folder_table.h"
#include "platform/file.h"
#include "platform/process.h"

std::wstring ResolveInstallFolder(const std::wstring& appDir, const std::wstring& installPath) {
  if (installPath.empty()) return appDir;
  const bool rooted = installPath[0] == L'\\' || installPath[0] == L'/';
  const bool drive = installPath.size() >= 2 && installPath[1] == L':';
  if (rooted || drive) return installPath;
  std::wstring relative = installPath;
  while (relative.size() > 1 && relative[0] == L'.' && (relative[1] == L'\\' || relative[1] == L'/')) {
    relative.erase(0, 2);
  }
  return relative.empty() || relative == L"." ? appDir : appDir + L"\\" + relative;
}

bool IsUpdaterItself(const std::wstring& path) {
  // Resolving a path asks the file system about every folder on it, so only
  // a name that could be the updater's is resolved: its own name, or a short
  // (8.3) alias, which always holds a "~".
  static const std::wstring self = Platform::ComparablePath(Platform::GetExecutablePath());
  const std::wstring selfName = GetFileNameFromPath(Platform::GetExecutablePath());
  const std::wstring name = GetFileNameFromPath(path);
  const bool mayBe = name.find(L'~') != std::wstring::npos ||
                     (name.size() == selfName.size() &&
                      std::equal(name.begin(), name.end(), selfName.begin(),
                                 [](wchar_t a, wchar_t b) { return std::towupper(a) == std::towupper(b); }));
  return mayBe && !self.empty() && Platform::ComparablePath(path) == self;
}
