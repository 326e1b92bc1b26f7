#include "tool_server_paths.h"

#include "engine/update_decision.h"
#include "platform/case_fold.h"

namespace VireoTool {

std::wstring ServerFolderOf(const std::wstring& listRequestPath) {
  const std::size_t cut = listRequestPath.rfind(L'/');
  return cut == std::wstring::npos ? L"/" : listRequestPath.substr(0, cut + 1);
}

std::wstring ListNameOf(const std::wstring& listRequestPath) {
  const std::size_t cut = listRequestPath.rfind(L'/');
  return cut == std::wstring::npos ? listRequestPath : listRequestPath.substr(cut + 1);
}

bool ResolveServerPath(const std::wstring& requestPath, std::vector<std::wstring>* segments) {
  segments->clear();
  std::wstring current;
  bool endsInFolder = true;
  auto flush = [&]() -> bool {
    if (current.empty() || current == L".") {
      endsInFolder = true;
    } else if (current == L"..") {
      if (segments->empty()) return false;
      segments->pop_back();
      endsInFolder = true;
    } else {
      segments->push_back(current);
      endsInFolder = false;
    }
    current.clear();
    return true;
  };
  for (const wchar_t c : requestPath) {
    if (c == L'/' || c == L'\\') {
      if (!flush()) return false;
      if (!segments->empty()) endsInFolder = true;
    } else {
      current.push_back(c);
    }
  }
  if (!flush()) return false;
  return !segments->empty() && !endsInFolder;
}

std::wstring TreePath(const std::wstring& root, const std::vector<std::wstring>& segments) {
  std::wstring path = root;
  for (const auto& segment : segments) {
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
    path += segment;
  }
  return path;
}

bool IsArchiveName(const std::wstring& entryName) { return LocalNameOf(entryName).size() != entryName.size(); }

std::wstring CarriedFileName(const std::wstring& entryName) { return LocalNameOf(entryName); }

std::wstring BaseName(const std::wstring& path) {
  const std::size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

std::wstring FoldCase(const std::wstring& text) { return Platform::FoldCase(text); }

}  // namespace VireoTool
