#include "engine/safe_path.h"

#include "app/folder_table.h"
#include "platform/case_fold.h"
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

bool IsAcceptedInstallPath(const std::wstring& path) {
  if (path.empty()) return true;
  const bool letter = (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
  if (path.size() >= 3 && letter && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) {
    std::wstring rest = path.substr(3);
    while (!rest.empty() && (rest.back() == L'\\' || rest.back() == L'/')) rest.pop_back();
    return rest.empty() || IsContainedRelativePath(rest);
  }
  return IsContainedRelativePath(path);
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
                      Platform::EqualsIgnoringCase(name, selfName));
  return mayBe && !self.empty() && Platform::ComparablePath(path) == self;
}
