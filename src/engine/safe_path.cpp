#include "engine/safe_path.h"

namespace {

// Windows drops trailing dots and spaces from a path component, so a
// component made only of dots and spaces with two or more dots climbs up.
bool ClimbsUp(const std::wstring& component) {
  int dots = 0;
  for (wchar_t c : component) {
    if (c == L'.') {
      ++dots;
    } else if (c != L' ') {
      return false;
    }
  }
  return dots >= 2;
}

}  // namespace

bool IsContainedRelativePath(const std::wstring& name) {
  if (name.empty()) return false;
  if (name[0] == L'\\' || name[0] == L'/') return false;  // rooted, UNC, \\?\ and \\.\ prefixes
  if (name.find(L':') != std::wstring::npos) return false;  // drive letters and alternate streams
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find_first_of(L"\\/", start);
    if (end == std::wstring::npos) end = name.size();
    if (ClimbsUp(name.substr(start, end - start))) return false;
    start = end + 1;
  }
  return true;
}

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
