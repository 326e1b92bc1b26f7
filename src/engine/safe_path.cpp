#include "engine/safe_path.h"

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
