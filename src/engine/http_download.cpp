// Fetching the files an update list names over the worker's connection.
#include <algorithm>
#include <cstring>
#include <cwctype>
#include <memory>

#include "app/folder_table.h"
#include "app/update_log.h"
#include "engine/archive_install.h"
#include "engine/engine_strings.h"
#include "engine/file_replace.h"
#include "engine/update_run.h"
#include "engine/process_control.h"
#include "engine/published_time.h"
#include "engine/safe_path.h"
#include "engine/update_decision.h"
#include "engine_resource.h"
#include "manifest/update_trust.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/process.h"

namespace {

// A read takes what the connection has, up to this much; reads are gathered
// into blocks of the same order before they go to the disk. Under Wine each
// read costs about as much as moving 64 KiB, so small reads cap the rate.
constexpr std::size_t kReadSize = 256 * 1024;
constexpr std::size_t kWriteBlockSize = 256 * 1024;
// A body that ends before its Content-Length: the connection went away.
constexpr std::uint32_t kErrorBodyCutShort = 12030;  // ERROR_INTERNET_CONNECTION_ABORTED
constexpr std::uint32_t kStatusOk = 200;

void Log(const std::wstring& text) { GetUpdateLog().WriteLog(text); }

// Gathers the data of several reads and writes it to the file in blocks.
class CBlockWriter {
 public:
  explicit CBlockWriter(Platform::CFile& file) : file_(file), block_(new char[kWriteBlockSize]) {}
  // False when a write failed (the platform's last error says why).
  [[nodiscard]] bool Append(const char* data, std::size_t size) {
    if (used_ + size > kWriteBlockSize && !WriteOut()) return false;
    if (size >= kWriteBlockSize) return file_.Write(data, size);
    std::memcpy(block_.get() + used_, data, size);
    used_ += size;
    return true;
  }
  // Writes what is still gathered.
  [[nodiscard]] bool WriteOut() {
    if (used_ == 0) return true;
    const std::size_t size = used_;
    used_ = 0;
    return file_.Write(block_.get(), size);
  }

 private:
  Platform::CFile& file_;
  std::unique_ptr<char[]> block_;
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

// Ends the running copy of the program at `path`, logging what became of it.
void EndRunningCopy(const std::wstring& path) {
  constexpr std::uint32_t kWaitMs = 5000;
  std::uint32_t error = 0;
  switch (CloseRunningProgram(path, kWaitMs, &error)) {
    case CloseOutcome::kNoneRunning:
      break;
    case CloseOutcome::kEnded:
      Log(L"CloseRunningProgram : ended -> " + path);
      break;
    case CloseOutcome::kStillRunning:
      Log(L"CloseRunningProgram : still running after " + std::to_wstring(kWaitMs / 1000) + L" s -> " + path);
      break;
    case CloseOutcome::kNotEnded:
      Log(L"CloseRunningProgram : could not be ended -> " + path + L", Error:" + std::to_wstring(error));
      break;
  }
}

}  // namespace


FetchResult CUpdateRun::Send(Platform::HttpMethod method, const std::wstring& object, Platform::CHttpRequest* request) {
  CheckAbort();
  const Platform::HttpFailure failure = session_.Send(method, object, progress_.AuthOwner(), request);
  switch (failure.step) {
    case Platform::HttpStep::kNone:
      return {};
    case Platform::HttpStep::kOpen:
      Log(L"DownloadFile : Failed in call to HttpOpenRequest, Error:" + std::to_wstring(failure.code));
      return ReportError(IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER, failure.code);
    case Platform::HttpStep::kSend:
      Log(L"Failed in call to HttpSendRequest, Error:" + std::to_wstring(failure.code));
      return ReportError(IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER, failure.code);
    case Platform::HttpStep::kStatus:
      break;
  }
  Log(L"Failed in call to HttpQueryInfo for HTTP query status code, Error:" + std::to_wstring(failure.code));
  return FetchResult::Failure(LoadEngineString(IDS_HTTPDOWNLOAD_INVALID_SERVER_RESPONSE));
}

void CUpdateRun::UpdateProgress(ProgressCounters& counters, std::uint64_t bytesSoFar, bool sizeKnown,
                                std::uint64_t size) {
  const ProgressChange change = StepProgress(counters, Platform::GetTickCountMs(), bytesSoFar, sizeKnown, size);
  if (change.percentChanged) progress_.SetPercentage(change.percent, change.barPosition);
  if (change.rateChanged) progress_.SetTransferRate(change.rate);
  if (change.timeLeftChanged) progress_.SetTimeLeft(change.secondsLeft, bytesSoFar, size);
}

FetchResult CUpdateRun::GetRemoteFileSize(const std::wstring& serverPath, const CFileData& entry) {
  if (!IsContainedRelativePath(entry.FileName)) return FetchResult::Bytes(0);
  // A size the list declares needs no request (and the download holds the
  // file to it).
  if (entry.SizeDeclared) return FetchResult::Bytes(entry.Size);
  Platform::CHttpRequest request;
  FetchResult sent = Send(Platform::HttpMethod::Head, serverPath + entry.FileName, &request);
  if (sent.Failed()) return sent;
  std::uint64_t size = 0;
  if (request.Status() == 405 || request.Status() == 501) {
    // A server that refuses HEAD: its GET's length, or its body counted.
    sent = Send(Platform::HttpMethod::Get, serverPath + entry.FileName, &request);
    if (sent.Failed()) return sent;
    if (request.Status() != kStatusOk) return FetchResult::Bytes(0);
    if (request.ContentLength(&size)) return FetchResult::Bytes(size);
    std::unique_ptr<char[]> buffer(new char[kReadSize]);
    Platform::CTransferPace pace(Platform::GetTickCountMs());
    for (;;) {
      CheckAbort();
      std::size_t got = 0;
      if (request.Read(buffer.get(), kReadSize, &got) != 0 || got == 0) break;
      size += got;
      if (!pace.Advance(size, Platform::GetTickCountMs())) break;  // counted so far: the download will say why
    }
    return FetchResult::Bytes(size);
  }
  // An error page is not the file: it counts nothing. Nor does a response
  // without a length, whose size shows only when it is fetched.
  if (request.Status() != kStatusOk || !request.ContentLength(&size)) return FetchResult::Bytes(0);
  return FetchResult::Bytes(size);
}

FetchResult CUpdateRun::DownloadFile(const std::wstring& serverPath, const CFileData& entry) {
  return Download(serverPath, entry, UINT64_MAX);
}

FetchResult CUpdateRun::Download(const std::wstring& serverPath, const CFileData& entry, std::uint64_t cap) {
  (void)EnsureDirectory(entry.Folder);
  if (!IsContainedRelativePath(entry.FileName)) {
    Log(L"DownloadFile : file outside the install folder skipped -> " + entry.FileName);
    return FetchResult::Bytes(0);
  }
  // Everything opened below closes on every way out: the request, the file,
  // and the temporary file, removed unless it was put in place.
  Platform::CHttpRequest request;
  if (FetchResult sent = Send(Platform::HttpMethod::Get, serverPath + entry.FileName, &request); sent.Failed())
    return sent;
  if (request.Status() != kStatusOk) {
    // Also a 401/407 whose authentication was not retried: its page must not
    // replace the installed file.
    Log(L"Failed to retrieve a HTTP 200 status, Status Code:" + std::to_wstring(request.Status()));
    return ReportError(IDS_HTTPDOWNLOAD_INVALID_HTTP_RESPONSE, request.Status());
  }

  progress_.SetStatus(LoadEngineString(IDS_HTTPDOWNLOAD_GETTING_FILE_INFORMATION));
  std::uint64_t size = 0;
  const bool sizeKnown = request.ContentLength(&size);
  const auto tooLarge = [&](std::uint64_t bytes) {
    Log(L"DownloadFile : " + entry.FileName + L" is larger than the " + std::to_wstring(cap) +
        L" bytes such a document may have (" + std::to_wstring(bytes) + L" bytes)");
    return ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, kErrorFileMismatch);
  };
  if (sizeKnown && size > cap) return tooLarge(size);
  if (sizeKnown) progress_.SetFileRange((size + 512) / 1024);

  progress_.SetStatus(LoadEngineString(IDS_HTTPDOWNLOAD_RETRIEVEING_FILE));
  ProgressCounters counters;
  counters.startTick = counters.lastTick = Platform::GetTickCountMs();
  std::uint64_t bytesSoFar = 0;

  std::wstring localPath = entry.Folder + L"\\" + entry.FileName;
  if (IsUpdaterItself(localPath)) {
    // The running updater is never overwritten: its new copy waits in Temp,
    // as an archive's copy of it does.
    const std::size_t slash = localPath.rfind(L'\\');
    const std::wstring tempFolder = localPath.substr(0, slash) + L"\\Temp";
    (void)EnsureDirectory(tempFolder);
    localPath = tempFolder + localPath.substr(slash);
  }
  CTemporaryFile temporary(TemporaryDownloadPath(localPath));
  Platform::CFile file;
  if (!file.Create(temporary.Path(), Platform::kShareRead, Platform::CreateMode::CreateAlways))
    return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, Platform::LastError());
  progress_.SetFileLabel(FormatEngineString(IDS_HTTPDOWNLOAD_FILESTATUS, entry.FileName, ServerName()),
                         entry.FileName);

  std::unique_ptr<char[]> buffer(new char[kReadSize]);
  CBlockWriter writer(file);
  // Size and SHA-256 as the entry declares them, checked as the bytes go by.
  CDownloadCheck check(entry);
  const auto mismatch = [&](const FileCheckResult& verdict) {
    Log(DescribeFileMismatch(entry, verdict));
    return ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, kErrorFileMismatch);
  };
  const auto writeFailed = [](Platform::ErrorCode error) {
    Log(L"An exception occured while writing to the download file");
    return ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, error);
  };
  Platform::CTransferPace pace(counters.startTick);
  for (;;) {
    std::size_t got = 0;
    if (const Platform::ErrorCode readError = request.Read(buffer.get(), kReadSize, &got); readError != 0) {
      Log(L"Failed in call to InternetReadFile, Error:" + std::to_wstring(readError));
      return ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, readError);
    }
    if (got == 0) break;
    CheckAbort();
    if (!pace.Advance(bytesSoFar + got, Platform::GetTickCountMs())) {
      Log(L"DownloadFile : the server sent less than 1 KiB in 30 s, transfer stopped -> " + entry.FileName);
      return ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, Platform::kErrorTransferStalled);
    }
    if (bytesSoFar + got > cap) return tooLarge(bytesSoFar + got);
    if (!check.Add(buffer.get(), got)) return mismatch(check.Finish());  // past the declared size
    if (!writer.Append(buffer.get(), got)) return writeFailed(Platform::LastError());
    bytesSoFar += got;
    UpdateProgress(counters, bytesSoFar, sizeKnown, size);
  }
  request.Close();

  if (sizeKnown && bytesSoFar != size) {
    // The platform ends a body cut short by the server like a complete one.
    Log(L"Failed in call to InternetReadFile, Error:" + std::to_wstring(kErrorBodyCutShort) + L" (" +
        std::to_wstring(bytesSoFar) + L" of " + std::to_wstring(size) + L" bytes)");
    return ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, kErrorBodyCutShort);
  }
  if (const FileCheckResult verdict = check.Finish(); verdict.verdict != FileVerdict::Match) return mismatch(verdict);
  if (!writer.WriteOut() || !file.Flush()) return writeFailed(Platform::LastError());
  Log(L"DownloadFile : " + entry.FileName);
  file.Close();

  // A cancel that came with the last read keeps the installed file.
  CheckAbort();
  // The program's running copy is ended only now that its new file is
  // ready to go in, and only the copy that runs from this very file.
  std::wstring program;
  if (ShouldCloseRunningProgram(entry, GetFolderTable(), &program)) EndRunningCopy(entry.Folder + L"\\" + program);
  Platform::ErrorCode replaceError = 0;
  if (!ReplaceFileWithBackup(temporary.Path(), localPath, &replaceError)) {
    Log(L"DownloadFile : the new file could not be put in place -> " + localPath + L", Error:" +
        std::to_wstring(replaceError));
    return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, replaceError);
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
  return FetchResult::Bytes(bytesSoFar);
}

FetchResult CUpdateRun::FetchSmallDocument(const std::wstring& path, std::size_t cap, std::string* bytes, bool* found) {
  *found = false;
  bytes->clear();
  Platform::CHttpRequest request;
  if (FetchResult sent = Send(Platform::HttpMethod::Get, path, &request); sent.Failed()) return sent;
  if (request.Status() != kStatusOk) return {};
  char piece[4096];
  Platform::CTransferPace pace(Platform::GetTickCountMs());
  for (;;) {
    CheckAbort();
    std::size_t got = 0;
    if (request.Read(piece, sizeof piece, &got) != 0) return {};
    if (got == 0) break;
    if (bytes->size() + got > cap) return {};
    bytes->append(piece, got);
    if (!pace.Advance(bytes->size(), Platform::GetTickCountMs())) return {};
  }
  std::uint64_t length = 0;
  if (request.ContentLength(&length) && length != bytes->size()) return {};
  *found = true;
  return {};
}
