// Fetching the files an update list names over the worker's connection into
// the module's staging folder (continuing what an earlier run left there),
// and putting the staged module in place.
#include <algorithm>
#include <cstring>
#include <cwctype>
#include <functional>
#include <memory>
#include <unordered_set>

#include "app/folder_table.h"
#include "app/update_log.h"
#include "engine/archive_install.h"
#include "engine/engine_strings.h"
#include "engine/file_replace.h"
#include "engine/module_staging.h"
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
// The longest received bytes wait in the block before they are written.
constexpr std::uint32_t kWriteOutIntervalMs = 250;
// A body that ends before its Content-Length: the connection went away.
constexpr std::uint32_t kErrorBodyCutShort = 12030;  // ERROR_INTERNET_CONNECTION_ABORTED
constexpr std::uint32_t kStatusOk = 200;
constexpr std::uint32_t kStatusPartial = 206;
constexpr std::uint32_t kStatusRangeNotSatisfiable = 416;

void Log(const std::wstring& text) { GetUpdateLog().WriteLog(text); }

// Gathers the data of several reads and writes it to the file in blocks.
// `beforeFirstWrite` (may be empty) runs once, before the first bytes go to
// the file, unless Whole() said that no more will come.
class CBlockWriter {
 public:
  CBlockWriter(Platform::CFile& file, const std::function<void()>& beforeFirstWrite)
      : file_(file), block_(new char[kWriteBlockSize]), beforeFirstWrite_(beforeFirstWrite) {}
  // False when a write failed (the platform's last error says why).
  [[nodiscard]] bool Append(const char* data, std::size_t size) {
    if (used_ + size > kWriteBlockSize && !WriteOut()) return false;
    if (size >= kWriteBlockSize) return Write(data, size);
    std::memcpy(block_.get() + used_, data, size);
    used_ += size;
    return true;
  }
  // Writes what is still gathered.
  [[nodiscard]] bool WriteOut() {
    if (used_ == 0) return true;
    const std::size_t size = used_;
    used_ = 0;
    return Write(block_.get(), size);
  }
  // The body has ended whole and checked: what is written now needs no
  // preparation.
  void Whole() { beforeFirstWrite_ = nullptr; }

 private:
  bool Write(const char* data, std::size_t size) {
    if (beforeFirstWrite_) {
      const std::function<void()> prepare = std::move(beforeFirstWrite_);
      beforeFirstWrite_ = nullptr;
      prepare();
    }
    return file_.Write(data, size);
  }

  Platform::CFile& file_;
  std::unique_ptr<char[]> block_;
  std::size_t used_ = 0;
  std::function<void()> beforeFirstWrite_;
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

// The folder part of `path` (without the last "\\"), or empty.
std::wstring ParentOf(const std::wstring& path) {
  const std::size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// Feeds the first `length` bytes of the file at `path` to `check`. False
// when they cannot be read or the check stops them.
bool CheckStagedBytes(const std::wstring& path, std::uint64_t length, CDownloadCheck& check) {
  Platform::CFile file;
  if (!file.OpenRead(path)) return false;
  std::unique_ptr<char[]> buffer(new char[kReadSize]);
  while (length > 0) {
    std::size_t got = 0;
    const std::size_t want = length < kReadSize ? static_cast<std::size_t>(length) : kReadSize;
    if (!file.Read(buffer.get(), want, &got) || got == 0) return false;
    if (!check.Add(buffer.get(), got)) return false;
    length -= got;
  }
  return true;
}

// Removes a staged file and its note: what they hold cannot be continued.
void DiscardStaged(const StagedPaths& staged) {
  (void)RemoveFileForcibly(staged.data);
  (void)RemoveFileForcibly(staged.note);
}

}  // namespace


FetchResult CUpdateRun::Send(Platform::HttpMethod method, const std::wstring& object, Platform::CHttpRequest* request,
                             const Platform::HttpResume* resume) {
  CheckAbort();
  Platform::HttpFailure failure;
  {
    CServerWait wait(serverWaits_.get(), CServerWaits::Kind::kResponse, Platform::GetTickCountMs());
    failure = session_.Send(method, object, progress_.AuthOwner(), request, resume);
  }
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

Platform::ErrorCode CUpdateRun::ReadBody(Platform::CHttpRequest& request, void* buffer, std::size_t capacity,
                                        std::size_t* got) {
  // Blocks that fill are for a run whose window bounds each wait; a run
  // without one reads what is at hand, which never waits past the receive
  // timeout.
  if (!serverWaits_) return request.Read(buffer, capacity, got);
  CServerWait wait(serverWaits_.get(), CServerWaits::Kind::kBody, Platform::GetTickCountMs());
  return request.ReadBlock(buffer, capacity, got);
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
      if (ReadBody(request, buffer.get(), kReadSize, &got) != 0 || got == 0) break;
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

FetchResult CUpdateRun::ReceiveBody(Platform::CHttpRequest& request, Platform::CFile& file, CDownloadCheck& check,
                                    const CFileData& entry, std::uint64_t already, bool sizeKnown, std::uint64_t size,
                                    std::uint64_t cap, const std::function<void()>& beforePartWritten,
                                    bool* discard) {
  *discard = false;
  const auto tooLarge = [&](std::uint64_t bytes) {
    Log(L"DownloadFile : " + entry.FileName + L" is larger than the " + std::to_wstring(cap) +
        L" bytes such a document may have (" + std::to_wstring(bytes) + L" bytes)");
    *discard = true;
    return ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, kErrorFileMismatch);
  };
  if (sizeKnown && size > cap) return tooLarge(size);
  if (sizeKnown) progress_.SetFileRange((size + 512) / 1024);
  progress_.SetStatus(LoadEngineString(IDS_HTTPDOWNLOAD_RETRIEVEING_FILE));
  progress_.SetFileLabel(FormatEngineString(IDS_HTTPDOWNLOAD_FILESTATUS, entry.FileName, ServerName()),
                         entry.FileName);
  ProgressCounters counters;
  counters.startTick = counters.lastTick = Platform::GetTickCountMs();
  counters.startBytes = counters.lastBytes = already;
  std::uint64_t bytesSoFar = already;

  std::unique_ptr<char[]> buffer(new char[kReadSize]);
  CBlockWriter writer(file, beforePartWritten);
  const auto mismatch = [&](const FileCheckResult& verdict) {
    Log(DescribeFileMismatch(entry, verdict));
    *discard = true;
    return ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, kErrorFileMismatch);
  };
  const auto writeFailed = [](Platform::ErrorCode error) {
    Log(L"An exception occured while writing to the download file");
    return ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, error);
  };
  // What was received is kept on every way out but a mismatch, so that the
  // next run can continue it.
  const auto keepReceived = [&](FetchResult failure) {
    if (!writer.WriteOut()) *discard = true;
    return failure;
  };
  Platform::CTransferPace pace(counters.startTick);
  std::uint32_t lastWriteOut = counters.startTick;
  for (;;) {
    std::size_t got = 0;
    if (const Platform::ErrorCode readError = ReadBody(request, buffer.get(), kReadSize, &got); readError != 0) {
      Log(L"Failed in call to InternetReadFile, Error:" + std::to_wstring(readError));
      return keepReceived(ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, readError));
    }
    if (got == 0) break;
    if (abort_.load()) {
      (void)keepReceived({});
      throw CAbortSignal();
    }
    if (!pace.Advance(bytesSoFar - already + got, Platform::GetTickCountMs())) {
      Log(L"DownloadFile : the server sent less than 1 KiB in 30 s, transfer stopped -> " + entry.FileName);
      return keepReceived(ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, Platform::kErrorTransferStalled));
    }
    if (bytesSoFar + got > cap) return tooLarge(bytesSoFar + got);
    if (!check.Add(buffer.get(), got)) return mismatch(check.Finish());  // past the declared size
    // A slow transfer's bytes reach the disk at least a few times a
    // second, so that a run killed in the middle leaves them staged.
    const std::uint32_t now = Platform::GetTickCountMs();
    const bool due = static_cast<std::uint32_t>(now - lastWriteOut) >= kWriteOutIntervalMs;
    if (!writer.Append(buffer.get(), got) || (due && !writer.WriteOut())) {
      *discard = true;
      return writeFailed(Platform::LastError());
    }
    if (due) lastWriteOut = now;
    bytesSoFar += got;
    UpdateProgress(counters, bytesSoFar, sizeKnown, size);
  }
  request.Close();
  if (sizeKnown && bytesSoFar != size) {
    // The platform ends a body cut short by the server like a complete one.
    Log(L"Failed in call to InternetReadFile, Error:" + std::to_wstring(kErrorBodyCutShort) + L" (" +
        std::to_wstring(bytesSoFar) + L" of " + std::to_wstring(size) + L" bytes)");
    if (!writer.WriteOut()) {
      *discard = true;
      return writeFailed(Platform::LastError());
    }
    return ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, kErrorBodyCutShort);
  }
  // Checked before the last bytes are written: a file that does not match
  // is discarded unwritten.
  if (const FileCheckResult verdict = check.Finish(); verdict.verdict != FileVerdict::Match) return mismatch(verdict);
  writer.Whole();
  if (!writer.WriteOut()) {
    *discard = true;
    return writeFailed(Platform::LastError());
  }
  return FetchResult::Bytes(bytesSoFar - already);
}

FetchResult CUpdateRun::Download(const std::wstring& serverPath, const CFileData& entry, std::uint64_t cap) {
  Platform::CHttpRequest request;
  if (FetchResult sent = Send(Platform::HttpMethod::Get, serverPath + entry.FileName, &request); sent.Failed())
    return sent;
  if (request.Status() != kStatusOk) {
    Log(L"Failed to retrieve a HTTP 200 status, Status Code:" + std::to_wstring(request.Status()));
    return ReportError(IDS_HTTPDOWNLOAD_INVALID_HTTP_RESPONSE, request.Status());
  }
  progress_.SetStatus(LoadEngineString(IDS_HTTPDOWNLOAD_GETTING_FILE_INFORMATION));
  std::uint64_t size = 0;
  const bool sizeKnown = request.ContentLength(&size);
  Platform::CFile file;
  if (!file.Create(entry.Folder + L"\\" + entry.FileName, Platform::kShareRead, Platform::CreateMode::CreateAlways))
    return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, Platform::LastError());
  CDownloadCheck check(entry);
  bool discard = false;
  FetchResult result = ReceiveBody(request, file, check, entry, 0, sizeKnown, size, cap, {}, &discard);
  if (!result.Failed()) Log(L"DownloadFile : " + entry.FileName);
  return result;
}

FetchResult CUpdateRun::DownloadFile(const std::wstring& serverPath, const CFileData& entry) {
  if (!IsContainedRelativePath(entry.FileName) || NamesStagingFolder(entry.FileName)) {
    Log(L"DownloadFile : file outside the install folder skipped -> " + entry.FileName);
    return FetchResult::Bytes(0);
  }
  const std::wstring url = serverPath + entry.FileName;
  const StagedPaths staged = StagedPathsOf(StagingFolderOf(entry.Folder), entry.FileName);
  // A file whose size and hash the entry declares is checked by its bytes
  // when it is staged whole: only a part of one needs its note. Such a note
  // is written when the first bytes of an unfinished transfer reach the
  // disk, and not at all for a file that arrives whole before that (most
  // files).
  const bool declared = entry.SizeDeclared && entry.Sha256Declared;
  if (!EnsureDirectory(ParentOf(staged.data)) || (!declared && !EnsureDirectory(ParentOf(staged.note))))
    return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, Platform::LastError());
  publishedTimes_.erase(staged.data);

  // What an earlier run left of this file continues only when its note
  // says it came from this path, with a validator to ask the server by.
  std::uint64_t have = StagedLength(staged.data);
  StagedNote note;
  if (have > 0) {
    const bool usable = ReadStagedNote(staged.note, &note) && note.url == url && !note.validator.empty() &&
                        (!note.totalKnown || have <= note.total) && (!entry.SizeDeclared || have <= entry.Size);
    if (!usable && !(declared && have == entry.Size)) {
      DiscardStaged(staged);
      have = 0;
    }
  }
  // The whole file, staged and checked: as it must be whatever the server
  // holds now, it is not asked for again.
  const auto alreadyStaged = [&]() {
    CDownloadCheck check(entry);
    if (!CheckStagedBytes(staged.data, have, check) || check.Finish().verdict != FileVerdict::Match) return false;
    Log(L"DownloadFile : " + entry.FileName + L" already staged");
    return true;
  };
  if (have > 0 && entry.SizeDeclared && entry.Sha256Declared && have == entry.Size) {
    if (alreadyStaged()) return FetchResult::Bytes(0);
    DiscardStaged(staged);
    have = 0;
  }

  Platform::CHttpRequest request;
  const Platform::HttpResume resume{have, note.validator};
  if (FetchResult sent = Send(Platform::HttpMethod::Get, url, &request, have > 0 ? &resume : nullptr); sent.Failed())
    return sent;
  std::uint64_t size = 0;
  bool sizeKnown = false;
  if (have > 0) {
    Platform::HttpContentRange range;
    const bool ranged = request.ContentRange(&range);
    if (request.Status() == kStatusPartial && ranged && !range.unsatisfied && range.first == have &&
        range.totalKnown) {
      Log(L"DownloadFile : resuming " + entry.FileName + L" at byte " + std::to_wstring(have));
      sizeKnown = true;
      size = range.total;
    } else if (request.Status() == kStatusRangeNotSatisfiable && ranged && range.unsatisfied && range.totalKnown &&
               range.total == have) {
      // Nothing past the staged bytes, and the document unchanged: whole.
      request.Close();
      if (alreadyStaged()) return FetchResult::Bytes(0);
      DiscardStaged(staged);
      have = 0;
    } else {
      // The document changed, or the server does not serve parts (or
      // served another part than asked): from the beginning.
      Log(L"DownloadFile : resume refused, " + entry.FileName + L" fetched whole");
      if (request.Status() != kStatusOk) {
        request.Close();
        if (FetchResult sent = Send(Platform::HttpMethod::Get, url, &request); sent.Failed()) return sent;
      }
      // The old note goes with the old part: a new one may not be written.
      (void)RemoveFileForcibly(staged.note);
      have = 0;
    }
  }
  if (have == 0) {
    if (request.Status() != kStatusOk) {
      // Also a 401/407 whose authentication was not retried: its page is
      // not the file.
      Log(L"Failed to retrieve a HTTP 200 status, Status Code:" + std::to_wstring(request.Status()));
      return ReportError(IDS_HTTPDOWNLOAD_INVALID_HTTP_RESPONSE, request.Status());
    }
    sizeKnown = request.ContentLength(&size);
  }
  progress_.SetStatus(LoadEngineString(IDS_HTTPDOWNLOAD_GETTING_FILE_INFORMATION));

  // The note first, then the bytes: a staged part is never without the
  // validator of the response it came from.
  std::function<void()> writeNote;
  if (have == 0 || note.validator != request.ResumeValidator()) {
    note = StagedNote{url, request.ResumeValidator(), sizeKnown, size};
    writeNote = [&staged, &note] {
      if (!EnsureDirectory(ParentOf(staged.note)) || !WriteStagedNote(staged.note, note))
        (void)RemoveFileForcibly(staged.note);
    };
    if (!declared) {
      writeNote();
      writeNote = nullptr;
    }
  }
  CDownloadCheck check(entry);
  Platform::CFile file;
  if (have > 0) {
    std::uint64_t end = 0;
    if (!CheckStagedBytes(staged.data, have, check)) {
      // The staged part no longer fits what the entry declares.
      Log(L"DownloadFile : the staged part of " + entry.FileName + L" does not match its entry, discarded");
      DiscardStaged(staged);
      return ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, kErrorFileMismatch);
    }
    if (!file.Create(staged.data, Platform::kShareRead, Platform::CreateMode::OpenExisting) ||
        !file.Seek(0, Platform::SeekFrom::End, &end) || end != have)
      return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, Platform::LastError());
  } else if (!file.Create(staged.data, Platform::kShareRead, Platform::CreateMode::CreateAlways)) {
    return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, Platform::LastError());
  }

  bool discard = false;
  FetchResult result = ReceiveBody(request, file, check, entry, have, sizeKnown, size, UINT64_MAX, writeNote, &discard);
  if (!result.Failed()) {
    // The published time is given to the staged file while it is open; the
    // rename into place keeps it.
    std::uint64_t published = 0;
    if (!entry.DateTime.empty() && GetFileExtension(entry.FileName) != L".zip" &&
        PublishedStampToFileTime(entry.DateTime, &published) &&
        file.SetTimes(Platform::FileTimes{0, published, published}))
      publishedTimes_[staged.data] = entry.DateTime;
  }
  file.Close();
  if (result.Failed()) {
    if (discard) DiscardStaged(staged);
    return result;
  }
  Log(L"DownloadFile : " + entry.FileName);
  return result;
}

FetchResult CUpdateRun::InstallModule(const std::wstring& installFolder, const std::vector<const CFileData*>& files) {
  // The last moment a cancel is honoured: a swap, once begun, runs to its
  // end or is undone.
  CheckAbort();
  const std::wstring staging = StagingFolderOf(installFolder);
  if (files.empty()) {
    // Files staged by a run that failed, for a module that is current now.
    if (Platform::PathExists(staging) && !RemoveStagingFolder(installFolder))
      Log(L"Staging folder could not be removed : " + staging + L", Error:" + std::to_wstring(Platform::LastError()));
    return {};
  }
  progress_.SetStatus(L"Installing the module's files");
  Log(L"Swap : putting " + std::to_wstring(files.size()) + L" staged files in place -> " + installFolder);

  // The running copies of programs about to be replaced are ended only now
  // that their new files are all here, and only the copy that runs from the
  // very file.
  const CFolderTable& folders = GetFolderTable();
  for (const CFileData* entry : files) {
    std::wstring program;
    if (ShouldCloseRunningProgram(*entry, folders, &program)) EndRunningCopy(entry->Folder + L"\\" + program);
  }

  CModuleSwap swap(installFolder);
  Platform::ErrorCode error = 0;
  if (!swap.Start(&error)) {
    Log(L"Swap : the journal could not be created -> " + staging + L", Error:" + std::to_wstring(error));
    (void)RemoveStagingFolder(installFolder);
    return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, error);
  }
  std::unordered_set<std::wstring> madeFolders;  // the swap's folders that are there
  for (const CFileData* entry : files) {
    if (!IsContainedRelativePath(entry->FileName) || NamesStagingFolder(entry->FileName)) continue;
    const std::wstring stagedFile = StagedPathsOf(staging, entry->FileName).data;
    const std::wstring subFolder = ParentOf(entry->FileName);
    const std::wstring folder = subFolder.empty() ? installFolder : installFolder + L"\\" + subFolder;
    bool placed = madeFolders.count(folder) != 0 || EnsureDirectory(folder);
    if (placed) madeFolders.insert(folder);
    if (!placed) {
      error = Platform::LastError();
      Log(L"Swap : folder could not be created -> " + folder + L", Error:" + std::to_wstring(error));
    } else if (GetFileExtension(entry->FileName) == L".zip") {
      placed = UnZip(stagedFile, folder, swap, &error);
    } else {
      std::wstring target = installFolder + L"\\" + entry->FileName;
      if (IsUpdaterItself(target)) {
        // The running updater is never overwritten: its new copy waits in
        // Temp, as an archive's copy of it does.
        (void)EnsureDirectory(folder + L"\\Temp");
        target = folder + L"\\Temp\\" + GetFileNameFromPath(target);
      }
      placed = swap.PlaceFile(stagedFile, target, &error);
      const auto timed = publishedTimes_.find(stagedFile);
      const bool timeGiven = timed != publishedTimes_.end() && timed->second == entry->DateTime;
      if (!placed) {
        Log(L"DownloadFile : the new file could not be put in place -> " + target + L", Error:" +
            std::to_wstring(error));
      } else if (!entry->DateTime.empty() && !timeGiven && !ApplyPublishedTime(target, entry->DateTime)) {
        // The published time, so that the next run finds the file current.
        Log(L"DownloadFile : published time not set -> " + entry->FileName + L" (" + entry->DateTime + L")");
      }
    }
    if (!placed) {
      // Undone whole, the module is as it was and its staged files go too:
      // what failed here may be in them. Undone in part, the journal stays
      // for the next run's repair.
      if (swap.Undo()) {
        Log(L"Swap undone, every file of the module is as it was -> " + installFolder);
        (void)RemoveStagingFolder(installFolder);
      } else {
        Log(L"Swap undone in part, the journal is kept for the next run -> " + installFolder);
      }
      return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, error);
    }
  }
  swap.Commit();
  Log(L"Swap : done -> " + installFolder);
  return {};
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
    if (ReadBody(request, piece, sizeof piece, &got) != 0) return {};
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
