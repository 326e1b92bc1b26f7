// The platform's floor for fetching a tree under Wine: one WinINet session,
// one InternetConnect handle, one GET per file in the order listed, each body
// written to its file with 64 KiB reads. No analysis, no window, no log.
//
//   wininet_loop.exe HOST PORT LIST OUT_FOLDER [no-cookies]
// LIST: UTF-8 lines "SERVER_PATH<TAB>RELATIVE_PATH" (RELATIVE_PATH with "/"
// or "\"); each file goes to OUT_FOLDER\RELATIVE_PATH, folders made as needed.
// "no-cookies" adds INTERNET_FLAG_NO_COOKIES to the request flags, to show
// what WinINet's cookie lookups cost under Wine.
// Prints "files BYTES_TOTAL seconds SECONDS"; exit 1 on the first failure.
#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

struct InternetCloser {
  void operator()(void* h) const { ::InternetCloseHandle(h); }
};
using CInternet = std::unique_ptr<void, InternetCloser>;

struct FileCloser {
  void operator()(void* h) const { ::CloseHandle(h); }
};
using CFile = std::unique_ptr<void, FileCloser>;

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

// Makes every folder above `path` (a full path with "\" separators).
void MakeParents(const std::wstring& path) {
  for (std::size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
    ::CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
  }
}

// GETs `object` over the connection into `target`; the body's bytes, or -1.
long long Fetch(HINTERNET connection, const std::wstring& object, const std::wstring& target, DWORD extraFlags) {
  static const wchar_t* kTypes[] = {L"*/*", nullptr};
  CInternet request(::HttpOpenRequestW(connection, L"GET", object.c_str(), nullptr, nullptr, kTypes,
                                       INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                           INTERNET_FLAG_KEEP_CONNECTION | extraFlags,
                                       0));
  if (!request || !::HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0)) {
    std::fprintf(stderr, "request failed: %lu\n", ::GetLastError());
    return -1;
  }
  DWORD status = 0, size = sizeof status;
  if (!::HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr) ||
      status != 200) {
    std::fprintf(stderr, "status %lu\n", status);
    return -1;
  }
  MakeParents(target);
  CFile file(::CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    std::fprintf(stderr, "cannot create the file: %lu\n", ::GetLastError());
    return -1;
  }
  static std::vector<char> buffer(64 * 1024);
  long long bytes = 0;
  DWORD got = 0;
  while (::InternetReadFile(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got) && got != 0) {
    DWORD written = 0;
    if (!::WriteFile(file.get(), buffer.data(), got, &written, nullptr) || written != got) return -1;
    bytes += got;
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && !(argc == 6 && std::string(argv[5]) == "no-cookies")) {
    std::fprintf(stderr, "usage: wininet_loop.exe HOST PORT LIST OUT_FOLDER [no-cookies]\n");
    return 2;
  }
  const DWORD extraFlags = argc == 6 ? INTERNET_FLAG_NO_COOKIES : 0;
  const std::wstring host = Wide(argv[1]);
  const int port = std::atoi(argv[2]);
  std::wstring out = Wide(argv[4]);
  while (!out.empty() && (out.back() == L'\\' || out.back() == L'/')) out.pop_back();
  std::vector<std::pair<std::wstring, std::wstring>> files;
  std::ifstream list(argv[3], std::ios::binary);
  std::string line;
  while (files.size() < 1000000 && std::getline(list, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::wstring relative = Wide(line.substr(tab + 1));
    for (auto& c : relative) {
      if (c == L'/') c = L'\\';
    }
    if (relative.empty() || relative.find(L"..") != std::wstring::npos || relative[0] == L'\\') {
      std::fprintf(stderr, "bad relative path: %s\n", line.c_str());
      return 2;
    }
    files.emplace_back(Wide(line.substr(0, tab)), out + L"\\" + relative);
  }
  if (files.empty() || port <= 0 || port > 65535) {
    std::fprintf(stderr, "nothing to fetch, or no port\n");
    return 2;
  }

  const auto start = std::chrono::steady_clock::now();
  CInternet session(::InternetOpenW(L"wininet_loop", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  CInternet connection(session ? ::InternetConnectW(session.get(), host.c_str(), static_cast<INTERNET_PORT>(port),
                                                    nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0)
                               : nullptr);
  if (!connection) {
    std::fprintf(stderr, "no connection: %lu\n", ::GetLastError());
    return 1;
  }
  long long total = 0;
  for (const auto& [object, target] : files) {
    const long long bytes = Fetch(connection.get(), object, target, extraFlags);
    if (bytes < 0) {
      std::fprintf(stderr, "failed: %ls\n", object.c_str());
      return 1;
    }
    total += bytes;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("files %zu bytes %lld seconds %.3f\n", files.size(), total, seconds);
  return 0;
}
