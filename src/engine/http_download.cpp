// Fetching the files an update list names over the worker's connection.
#include <cstring>
#include <cwchar>
#include <vector>

#include "app/folder_table.h"
#include "app/update_log.h"
#include "engine/archive_install.h"
#include "engine/engine_strings.h"
#include "engine/file_replace.h"
#include "engine/http_download_dlg.h"
#include "engine/process_control.h"
#include "engine/published_time.h"
#include "engine/safe_path.h"
#include "engine/update_decision.h"
#include "engine_resource.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace {

constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION;
constexpr std::size_t kReadSize = 1024;
constexpr std::size_t kDrainSize = 50;
// Reads are gathered into blocks of this size before they go to the disk: a
// write costs about as much as a read under Wine, and four reads per write
// take most of that off each read.
constexpr std::size_t kWriteBlockSize = 4096;
// A body that ends before its Content-Length: the connection went away.
constexpr DWORD kErrorBodyCutShort = ERROR_INTERNET_CONNECTION_ABORTED;

void Log(const std::wstring& text) { GetUpdateLog().WriteLog(text); }

// The Content-Length of the response, when it has one.
bool QueryContentLength(HINTERNET request, std::uint64_t* length) {
  wchar_t buffer[16] = {};
  DWORD size = sizeof buffer;
  if (!::HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, buffer, &size, nullptr)) return false;
  wchar_t* end = nullptr;
  const unsigned long long value = std::wcstoull(buffer, &end, 10);
  if (end == buffer) return false;
  *length = value;
  return true;
}

// Gathers the data of several reads and writes it to the file in blocks.
class CBlockWriter {
 public:
  explicit CBlockWriter(Platform::CFile& file) : file_(file) {}
  // False when a write failed (the platform's last error says why).
  [[nodiscard]] bool Append(const char* data, std::size_t size) {
    if (used_ + size > sizeof block_ && !WriteOut()) return false;
    if (size >= sizeof block_) return file_.Write(data, size);
    std::memcpy(block_ + used_, data, size);
    used_ += size;
    return true;
  }
  // Writes what is still gathered.
  [[nodiscard]] bool WriteOut() {
    if (used_ == 0) return true;
    const std::size_t size = used_;
    used_ = 0;
    return file_.Write(block_, size);
  }

 private:
  Platform::CFile& file_;
  char block_[kWriteBlockSize];
  std::size_t used_ = 0;
};

// Deletes the temporary file of a download unless it was put in place.
class CTemporaryFile {
 public:
  explicit CTemporaryFile(std::wstring path) : path_(std::move(path)) {}
  ~CTemporaryFile() {
    if (!kept_) (void)RemoveFileForcibly(path_);
  }
  CTemporaryFile(const CTemporaryFile&) = delete;
  CTemporaryFile& operator=(const CTemporaryFile&) = delete;
  const std::wstring& Path() const { return path_; }
  void Keep() { kept_ = true; }

 private:
  std::wstring path_;
  bool kept_ = false;
};

}  // namespace

bool CHttpDownloadDlg::OpenRequest(const std::wstring& object) {
  const wchar_t* acceptTypes[] = {L"*/*", nullptr};
  DWORD flags = kRequestFlags;
  if (service_ == UrlService::Https) flags |= INTERNET_FLAG_SECURE;
  requestHandle_.Reset(::HttpOpenRequestW(connectionHandle_.Get(), nullptr, object.c_str(), nullptr, nullptr,
                                          acceptTypes, flags, reinterpret_cast<DWORD_PTR>(this)));
  return static_cast<bool>(requestHandle_);
}

void CHttpDownloadDlg::DrainResponse() {
  char buffer[kDrainSize];
  DWORD got = 0;
  while (::InternetReadFile(requestHandle_.Get(), buffer, sizeof buffer, &got) && got != 0) {
  }
}

DWORD CHttpDownloadDlg::SendRequest(DWORD* error, bool* sendFailed) {
  for (;;) {
    if (!::HttpSendRequestW(requestHandle_.Get(), nullptr, 0, nullptr, 0)) {
      *error = ::GetLastError();
      *sendFailed = true;
      return 0;
    }
    wchar_t buffer[16] = {};
    DWORD size = sizeof buffer;
    if (!::HttpQueryInfoW(requestHandle_.Get(), HTTP_QUERY_STATUS_CODE, buffer, &size, nullptr)) {
      *error = ::GetLastError();
      *sendFailed = false;
      return 0;
    }
    const DWORD status = static_cast<DWORD>(std::wcstoul(buffer, nullptr, 10));
    if (status != HTTP_STATUS_DENIED && status != HTTP_STATUS_PROXY_AUTH_REQ) return status;
    DrainResponse();
    // No proxy to give credentials to: the authentication dialog would have
    // none to name (Wine's fails outright), so this counts as not retried.
    if (status == HTTP_STATUS_PROXY_AUTH_REQ && !Platform::InternetUsesProxy(rootHandle_.Get())) return status;
    const DWORD answer = ::InternetErrorDlg(
        m_hWnd, requestHandle_.Get(), ERROR_INTERNET_INCORRECT_PASSWORD,
        FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
        nullptr);
    if (answer != ERROR_INTERNET_FORCE_RETRY) return status;
  }
}

std::uint64_t CHttpDownloadDlg::GetRemoteFileSize(const std::wstring& serverPath, CFileData entry) {
  if (!IsContainedRelativePath(entry.FileName)) return 0;
  if (!OpenRequest(serverPath + entry.FileName)) {
    const DWORD error = ::GetLastError();
    Log(L"DownloadFile : Failed in call to HttpOpenRequest, Error:" + std::to_wstring(error));
    ReportError(IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER, error);
    return 0;
  }
  CheckAbort();
  if (!::HttpSendRequestW(requestHandle_.Get(), nullptr, 0, nullptr, 0)) {
    const DWORD error = ::GetLastError();
    Log(L"Failed in call to HttpSendRequest, Error:" + std::to_wstring(error));
    requestHandle_.Reset();
    ReportError(IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER, error);
    return 0;
  }
  std::uint64_t size = 0;
  wchar_t status[16] = {};
  DWORD statusSize = sizeof status;
  if (!::HttpQueryInfoW(requestHandle_.Get(), HTTP_QUERY_STATUS_CODE, status, &statusSize, nullptr) ||
      std::wcstoul(status, nullptr, 10) != HTTP_STATUS_OK) {
    // An error page is not the file: it counts nothing.
    requestHandle_.Reset();
    return 0;
  }
  if (!QueryContentLength(requestHandle_.Get(), &size) || size == 0) {
    size = 0;
    char buffer[kDrainSize];
    DWORD got = 0;
    while (::InternetReadFile(requestHandle_.Get(), buffer, sizeof buffer, &got) && got != 0) size += got;
  }
  // An unread body is drained by WinINet, which keeps the connection.
  requestHandle_.Reset();
  return size;
}

std::int64_t CHttpDownloadDlg::DownloadFile(const std::wstring& serverPath, CFileData entry) {
  (void)EnsureDirectory(entry.Folder);
  if (!IsContainedRelativePath(entry.FileName)) {
    Log(L"DownloadFile : file outside the install folder skipped -> " + entry.FileName);
    return 0;
  }
  std::wstring program;
  if (ShouldCloseRunningProgram(entry, GetFolderTable(), &program)) CloseRunningProgram(program);

  if (!OpenRequest(serverPath + entry.FileName)) {
    const DWORD error = ::GetLastError();
    Log(L"DownloadFile : Failed in call to HttpOpenRequest, Error:" + std::to_wstring(error));
    ReportError(IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER, error);
    return -1;
  }
  CheckAbort();

  DWORD error = 0;
  bool sendFailed = false;
  const DWORD status = SendRequest(&error, &sendFailed);
  if (status == 0) {
    requestHandle_.Reset();
    if (sendFailed) {
      Log(L"Failed in call to HttpSendRequest, Error:" + std::to_wstring(error));
      ReportError(IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER, error);
    } else {
      Log(L"Failed in call to HttpQueryInfo for HTTP query status code, Error:" + std::to_wstring(error));
      errorText_ = LoadEngineString(IDS_HTTPDOWNLOAD_INVALID_SERVER_RESPONSE);
      PostWorkerDone(1);
    }
    return -1;
  }
  if (status != HTTP_STATUS_OK) {
    // Also a 401/407 whose authentication was not retried: its page must not
    // replace the installed file.
    requestHandle_.Reset();
    Log(L"Failed to retrieve a HTTP 200 status, Status Code:" + std::to_wstring(status));
    ReportError(IDS_HTTPDOWNLOAD_INVALID_HTTP_RESPONSE, status);
    return -1;
  }

  SetStatus(IDS_HTTPDOWNLOAD_GETTING_FILE_INFORMATION);
  std::uint64_t size = 0;
  const bool sizeKnown = QueryContentLength(requestHandle_.Get(), &size);
  if (sizeKnown) SetFileRange((size + 512) / 1024);

  SetStatus(IDS_HTTPDOWNLOAD_RETRIEVEING_FILE);
  ProgressCounters counters;
  counters.startTick = counters.lastTick = Platform::GetTickCountMs();
  std::uint64_t bytesSoFar = 0;

  const std::wstring localPath = entry.Folder + L"\\" + entry.FileName;
  CTemporaryFile temporary(TemporaryDownloadPath(localPath));
  Platform::CFile file;
  if (!file.Create(temporary.Path(), Platform::kShareRead, Platform::CreateMode::CreateAlways)) {
    const Platform::ErrorCode fileError = Platform::LastError();
    requestHandle_.Reset();
    ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, fileError);
    return -1;
  }
  fileLabelText_ = entry.FileName;
  SetFileLabel(FormatEngineString(IDS_HTTPDOWNLOAD_FILESTATUS, entry.FileName, serverName_));

  char buffer[kReadSize];
  CBlockWriter writer(file);
  for (;;) {
    DWORD got = 0;
    if (!::InternetReadFile(requestHandle_.Get(), buffer, sizeof buffer, &got)) {
      const DWORD readError = ::GetLastError();
      file.Close();
      requestHandle_.Reset();
      Log(L"Failed in call to InternetReadFile, Error:" + std::to_wstring(readError));
      ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, readError);
      return -1;
    }
    if (got == 0) break;
    if (abort_) {
      file.Close();
      requestHandle_.Reset();
      CheckAbort();
    }
    if (!writer.Append(buffer, got)) {
      const Platform::ErrorCode writeError = Platform::LastError();
      file.Close();
      requestHandle_.Reset();
      Log(L"An exception occured while writing to the download file");
      ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, writeError);
      return -1;
    }
    bytesSoFar += got;
    UpdateProgress(counters, bytesSoFar, sizeKnown, size);
  }
  requestHandle_.Reset();

  if (sizeKnown && bytesSoFar != size) {
    // WinINet ends a body cut short by the server like a complete one.
    file.Close();
    Log(L"Failed in call to InternetReadFile, Error:" + std::to_wstring(kErrorBodyCutShort) + L" (" +
        std::to_wstring(bytesSoFar) + L" of " + std::to_wstring(size) + L" bytes)");
    ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, kErrorBodyCutShort);
    return -1;
  }
  if (!writer.WriteOut() || !file.Flush()) {
    const Platform::ErrorCode writeError = Platform::LastError();
    file.Close();
    Log(L"An exception occured while writing to the download file");
    ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, writeError);
    return -1;
  }
  Log(L"DownloadFile : " + entry.FileName);
  file.Close();

  // A cancel that came with the last read keeps the installed file.
  CheckAbort();
  Platform::ErrorCode replaceError = 0;
  if (!ReplaceFileWithBackup(temporary.Path(), localPath, &replaceError)) {
    Log(L"DownloadFile : the new file could not be put in place -> " + localPath + L", Error:" +
        std::to_wstring(replaceError));
    ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, replaceError);
    return -1;
  }
  temporary.Keep();

  if (GetFileExtension(entry.FileName) == L".zip") {
    if (EnsureDirectory(entry.Folder)) UnZip(entry.FileName, entry.Folder);
  } else if (!entry.DateTime.empty()) {
    // The published time, so that the next run finds the file current.
    if (!ApplyPublishedTime(localPath, entry.DateTime))
      Log(L"DownloadFile : published time not set -> " + entry.FileName + L" (" + entry.DateTime + L")");
  }
  CheckAbort();
  return static_cast<std::int64_t>(bytesSoFar);
}
