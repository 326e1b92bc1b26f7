// Download throughput under Wine: DownloadFile with a recording progress
// sink, against a bare loop of 1,024-byte InternetReadFile calls
// writing the same file over the same kind of connection. Run by run.sh,
// which also times curl on the same file and disk.
//
//   engine_download_bench.exe engine|bare PORT SERVER_PATH FILE_NAME OUT_FOLDER
// Prints one line: "<mode> <bytes> <seconds> <MB/s>".
#include <chrono>
#include <cstdio>
#include <string>

#include "app/folder_table.h"
#include "engine/dialog_test_util.h"
#include "platform/internet_handle.h"
#include "platform/file.h"

namespace {

using Clock = std::chrono::steady_clock;

void Print(const char* mode, std::uint64_t bytes, Clock::duration elapsed) {
  const double seconds = std::chrono::duration<double>(elapsed).count();
  std::printf("%s %llu %.3f %.1f\n", mode, static_cast<unsigned long long>(bytes), seconds,
              static_cast<double>(bytes) / 1048576.0 / seconds);
}

int Engine(const std::wstring& address, const std::wstring& serverPath, const std::wstring& name,
           const std::wstring& folder) {
  EngineTest::CTestRun test(address);
  std::int64_t bytes = -1;
  Clock::duration elapsed{};
  (void)test.Job([&](CServerConnection& server) {
    const auto start = Clock::now();
    FetchResult got = CFileTransfer(server).DownloadFile(serverPath, CFileData(L"vireo viewer", name, L"", L"", folder));
    elapsed = Clock::now() - start;
    bytes = got.bytes;
    return got;
  });
  if (bytes < 0) {
    std::fprintf(stderr, "download failed\n");
    return 1;
  }
  Print("engine", static_cast<std::uint64_t>(bytes), elapsed);
  return 0;
}

int Bare(unsigned short port, const std::wstring& object, const std::wstring& target) {
  const auto start = Clock::now();
  Platform::CInternetHandle root(::InternetOpenW(L"bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  Platform::CInternetHandle connection(
      ::InternetConnectW(root.Get(), L"127.0.0.1", port, L"", L"", INTERNET_SERVICE_HTTP, 0, 0));
  const wchar_t* types[] = {L"*/*", nullptr};
  Platform::CInternetHandle request(::HttpOpenRequestW(connection.Get(), nullptr, object.c_str(), nullptr, nullptr, types,
                                             INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                                 INTERNET_FLAG_KEEP_CONNECTION,
                                             0));
  if (!request || !::HttpSendRequestW(request.Get(), nullptr, 0, nullptr, 0)) {
    std::fprintf(stderr, "request failed: %lu\n", ::GetLastError());
    return 1;
  }
  Platform::CFile file;
  if (!file.Create(target, Platform::kShareRead)) return 1;
  char buffer[1024];
  DWORD got = 0;
  std::uint64_t bytes = 0;
  while (::InternetReadFile(request.Get(), buffer, sizeof buffer, &got) && got != 0) {
    if (!file.Write(buffer, got)) return 1;
    bytes += got;
  }
  file.Close();
  Print("bare", bytes, Clock::now() - start);
  return 0;
}

std::wstring Wide(const char* s) { return std::wstring(s, s + std::char_traits<char>::length(s)); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s engine|bare PORT SERVER_PATH FILE_NAME OUT_FOLDER\n", argv[0]);
    return 2;
  }
  (void)InitFolderTable(GetFolderTable());
  const std::string mode = argv[1];
  const unsigned short port = static_cast<unsigned short>(std::stoi(argv[2]));
  const std::wstring serverPath = Wide(argv[3]);
  const std::wstring name = Wide(argv[4]);
  const std::wstring folder = Wide(argv[5]);
  if (mode == "engine") return Engine(L"127.0.0.1:" + std::to_wstring(port), serverPath, name, folder);
  if (mode == "bare") return Bare(port, serverPath + name, folder + L"\\bare-" + name);
  return 2;
}
