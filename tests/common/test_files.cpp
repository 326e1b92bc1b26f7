#include "common/test_files.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>

#include "platform/file.h"
#include "platform/text.h"

namespace TestFiles {

CTempDir::CTempDir() {
  static std::atomic<unsigned> counter{0};
  std::mt19937_64 rng(static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  for (;;) {
    path_ = Platform::GetTempFolder() + L"\\vireo-test-" + std::to_wstring(rng() % 100000000) + L"-" +
            std::to_wstring(counter++);
    if (Platform::MakeDirectory(path_)) break;
  }
}

CTempDir::~CTempDir() { RemoveTree(path_); }

void RemoveTree(const std::wstring& path) {
  std::vector<Platform::DirectoryEntry> entries;
  if (Platform::ListDirectory(path, &entries)) {
    for (const auto& e : entries) {
      const std::wstring child = path + L"\\" + e.name;
      if (e.isLink) {
        (void)Platform::RemoveLink(child);  // never what it leads to
      } else if (e.isDirectory) {
        RemoveTree(child);
      } else {
        (void)Platform::SetAttributes(child, Platform::kAttrNormal);
        (void)Platform::RemoveFile(child);
      }
    }
  }
  (void)Platform::RemoveEmptyDirectory(path);
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  for (std::size_t pos = path.find(L'\\', 1); pos != std::wstring::npos; pos = path.find(L'\\', pos + 1)) {
    const std::wstring parent = path.substr(0, pos);
    if (!parent.empty() && parent.back() != L':' && !Platform::PathExists(parent)) {
      (void)Platform::MakeDirectory(parent);
    }
  }
  Platform::CFile file;
  if (!file.Create(path)) return false;
  return file.Write(bytes.data(), bytes.size());
}

bool ReadBytes(const std::wstring& path, std::string* bytes) {
  Platform::CFile file;
  if (!file.OpenRead(path)) return false;
  std::uint64_t size = 0;
  if (!file.GetSize(&size)) return false;
  bytes->resize(static_cast<std::size_t>(size));
  std::size_t done = 0;
  if (!file.Read(bytes->data(), bytes->size(), &done)) return false;
  bytes->resize(done);
  return true;
}

std::string ReadOrMissing(const std::wstring& path) {
  std::string bytes;
  return ReadBytes(path, &bytes) ? bytes : std::string("<missing>");
}

std::wstring FixturePath(const std::string& name) {
  std::wstring path = Platform::FromUtf8(std::string(VIREO_FIXTURES) + "/" + name);
#ifdef _WIN32
  // Wine maps the Unix root to drive Z:.
  for (auto& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (!path.empty() && path[0] == L'\\') path = L"Z:" + path;
#else
  for (auto& c : path) {
    if (c == L'/') c = L'\\';
  }
#endif
  return path;
}

bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
  const auto native = [](std::wstring path) {
#ifndef _WIN32
    for (wchar_t& c : path) {
      if (c == L'\\') c = L'/';
    }
#endif
    return std::filesystem::path(Platform::ToUtf8(path));
  };
  std::error_code error;
  std::filesystem::create_directory_symlink(native(target), native(link), error);
  return !error;
}

}  // namespace TestFiles
