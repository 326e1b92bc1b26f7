#include "engine/file_transfer.h"

#include <memory>
#include <optional>

#include "app/folder_table.h"
#include "engine/engine_log.h"
#include "engine/body_receiver.h"
#include "engine/engine_strings.h"
#include "engine/file_replace.h"
#include "engine/module_staging.h"
#include "engine/published_time.h"
#include "engine/safe_path.h"
#include "engine_resource.h"
#include "manifest/update_trust.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace {

constexpr std::uint32_t kStatusOk = 200;
constexpr std::uint32_t kStatusPartial = 206;
constexpr std::uint32_t kStatusRangeNotSatisfiable = 416;
// The piece in which staged bytes are read back to be checked, and in which
// a body is counted.
constexpr std::size_t kPieceSize = 256 * 1024;
// The most a file whose size neither its entry nor the server gives may
// have: what the system's signed 32-bit totals can count.
constexpr std::uint64_t kMaxUndeclaredBytes = 2ull << 30;

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
  std::unique_ptr<char[]> buffer(new char[kPieceSize]);
  while (length > 0) {
    std::size_t got = 0;
    const std::size_t want = length < kPieceSize ? static_cast<std::size_t>(length) : kPieceSize;
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

// One file on its way into the staging folder.
class CStagedFetch {
 public:
  CStagedFetch(CServerConnection& server, CBodyBuffers& buffers, std::wstring url, const CFileData& entry,
               std::uint64_t announced)
      : server_(server),
        buffers_(buffers),
        url_(std::move(url)),
        entry_(entry),
        staged_(StagedPathsOf(StagingFolderOf(entry.Folder), entry.FileName)),
        // A file the entry gives no size stops at what the size query
        // announced, or at the most any file may have.
        cap_(entry.SizeDeclared ? UINT64_MAX : announced != 0 ? announced : kMaxUndeclaredBytes),
        // A file whose size and hash the entry declares is checked by its
        // bytes when it is staged whole: only a part of one needs its note.
        // Such a note is written when the first bytes of an unfinished
        // transfer reach the disk, and not at all for a file that arrives
        // whole before that (most files).
        declared_(entry.SizeDeclared && entry.Sha256Declared) {}

  FetchResult Run(bool* publishedTimeSet) {
    // Nothing is staged through a link (one in place of a folder of the
    // entry's name, made by someone with the install folder).
    if (StagedPathsCrossLink(entry_.Folder, entry_.FileName)) {
      Log(L"DownloadFile : a folder in the staging folder is a link, not followed -> " + entry_.FileName);
      return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, Platform::kErrorBadPathName);
    }
    if (!EnsureDirectory(ParentOf(staged_.data)) || (!declared_ && !EnsureDirectory(ParentOf(staged_.note))))
      return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, Platform::LastError());
    if (!TakeEarlierPart()) return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, Platform::LastError());
    // The whole file, staged and checked: as it must be whatever the server
    // holds now, it is not asked for again.
    if (have_ > 0 && declared_ && have_ == entry_.Size) {
      if (AlreadyStaged()) return FetchResult::Bytes(0);
      StartOver();
    }
    CheckStagedPart();
    bool whole = false;
    if (FetchResult sent = Request(&whole); sent.Failed() || whole) {
      if (sent.Failed()) DiscardMade();
      return sent;
    }
    server_.Progress().SetStatus(LoadEngineString(IDS_HTTPDOWNLOAD_GETTING_FILE_INFORMATION));

    const std::function<void()> writeNote = NoteWriter();
    if (FetchResult opened = OpenStagedFile(); opened.Failed()) return opened;
    BodyTarget target{file_, *check_, entry_, buffers_, have_, sizeKnown_, size_, cap_, 0, writeNote};
    bool discard = false;
    const FetchResult result = ReceiveBody(server_, request_, target, &discard);
    // The published time is given to the staged file while it is open; the
    // rename into place keeps it.
    const bool timed = !result.Failed() && SetPublishedTime(file_);
    if (publishedTimeSet) *publishedTimeSet = timed;
    file_.Close();
    if (result.Failed()) {
      if (discard) DiscardStaged(staged_);
      return result;
    }
    Log(L"DownloadFile : " + entry_.FileName);
    return result;
  }

 private:
  // What an earlier run left of this file continues only when its note
  // says it came from this path, with a validator in its standard form to
  // ask the server by, and its bytes still fit the entry. Anything else is
  // discarded (and logged), never a reason for the run to fail. False only
  // when the staged file cannot be made, or what stands there is a link
  // that cannot be removed: nothing is written through it.
  bool TakeEarlierPart() {
    check_.emplace(entry_);
    // Most files have nothing staged: their staged file is made at once,
    // which never goes through a link and asks nothing more of the folder
    // (where a name that is not there costs a whole folder scan under Wine).
    if (file_.Create(staged_.data, Platform::kShareRead, Platform::CreateMode::CreateNew)) return true;
    const Platform::ErrorCode made = Platform::LastError();
    if (made != Platform::kErrorFileExists && made != Platform::kErrorAlreadyExists) return false;
    // A link is never continued (asked only of something that is there: a
    // name that is not costs a whole folder scan under Wine).
    have_ = StagedLength(staged_.data);
    if (have_ > 0 && Platform::IsLink(staged_.data)) {
      Log(L"DownloadFile : the staged part of " + entry_.FileName + L" is a link, not followed");
      if (!Platform::RemoveLink(staged_.data)) return false;
      have_ = 0;
    }
    if (have_ == 0) return true;
    const bool usable = ReadStagedNote(staged_.note, &note_) && note_.url == url_ &&
                        Platform::IsStandardValidator(note_.validator) &&
                        (!note_.totalKnown || have_ <= note_.total) && (!entry_.SizeDeclared || have_ <= entry_.Size) &&
                        have_ <= cap_;
    if (!usable && !(declared_ && have_ == entry_.Size)) {
      Log(L"DownloadFile : the staged part of " + entry_.FileName + L" cannot be continued, fetched whole");
      StartOver();
    }
    return true;
  }

  // The staged part goes: the file is fetched from its beginning.
  void StartOver() {
    DiscardStaged(staged_);
    have_ = 0;
    check_.emplace(entry_);
  }

  // Feeds the staged part to the check before it is continued; a part
  // whose bytes no longer fit the entry is discarded (logged).
  void CheckStagedPart() {
    if (have_ == 0 || CheckStagedBytes(staged_.data, have_, *check_)) return;
    Log(L"DownloadFile : the staged part of " + entry_.FileName + L" does not match its entry, discarded");
    StartOver();
  }

  bool AlreadyStaged() {
    CDownloadCheck check(entry_);
    if (!CheckStagedBytes(staged_.data, have_, check) || check.Finish().verdict != FileVerdict::Match) return false;
    Log(L"DownloadFile : " + entry_.FileName + L" already staged");
    return true;
  }

  // Sends the request, for the rest of the staged part when there is one.
  // *whole when the staged part turned out to be the whole file.
  FetchResult Request(bool* whole) {
    const Platform::HttpResume resume{have_, note_.validator};
    if (FetchResult sent = server_.Send(Platform::HttpMethod::Get, url_, &request_, have_ > 0 ? &resume : nullptr);
        sent.Failed())
      return sent;
    if (have_ > 0) {
      if (FetchResult answered = TakeResumeAnswer(whole); answered.Failed() || *whole) return answered;
    }
    if (have_ > 0) return {};
    if (request_.Status() != kStatusOk) {
      // Also a 401/407 whose authentication was not retried: its page is
      // not the file.
      Log(L"Failed to retrieve a HTTP 200 status, Status Code:" + std::to_wstring(request_.Status()));
      return ReportError(IDS_HTTPDOWNLOAD_INVALID_HTTP_RESPONSE, request_.Status());
    }
    sizeKnown_ = request_.ContentLength(&size_);
    return {};
  }

  // The server's answer to a ranged request: the rest of the document, the
  // news that nothing is left, or the whole document anew.
  FetchResult TakeResumeAnswer(bool* whole) {
    Platform::HttpContentRange range;
    const bool ranged = request_.ContentRange(&range);
    if (request_.Status() == kStatusPartial && ranged && !range.unsatisfied && range.first == have_ &&
        range.totalKnown) {
      Log(L"DownloadFile : resuming " + entry_.FileName + L" at byte " + std::to_wstring(have_));
      sizeKnown_ = true;
      size_ = range.total;
      return {};
    }
    if (request_.Status() == kStatusRangeNotSatisfiable && ranged && range.unsatisfied && range.totalKnown &&
        range.total == have_) {
      // Nothing past the staged bytes, and the document unchanged: whole.
      request_.Close();
      *whole = AlreadyStaged();
      if (!*whole) StartOver();
      return {};
    }
    // The document changed, or the server does not serve parts (or served
    // another part than asked): from the beginning.
    Log(L"DownloadFile : resume refused, " + entry_.FileName + L" fetched whole");
    if (request_.Status() != kStatusOk) {
      request_.Close();
      if (FetchResult sent = server_.Send(Platform::HttpMethod::Get, url_, &request_); sent.Failed()) return sent;
    }
    // The old note goes with the old part: a new one may not be written.
    (void)RemoveFileForcibly(staged_.note);
    have_ = 0;
    check_.emplace(entry_);
    return {};
  }

  // The note first, then the bytes: a staged part is never without the
  // validator of the response it came from. Written now for a file whose
  // entry declares no size and hash; for the others, returned to be run
  // before the first bytes reach the disk. Empty when the note stands.
  std::function<void()> NoteWriter() {
    if (have_ > 0 && note_.validator == request_.ResumeValidator()) return nullptr;
    note_ = StagedNote{url_, request_.ResumeValidator(), sizeKnown_, size_};
    std::function<void()> write = [this] {
      if (!EnsureDirectory(ParentOf(staged_.note)) || !WriteStagedNote(staged_.note, note_))
        (void)RemoveFileForcibly(staged_.note);
    };
    if (declared_) return write;
    write();
    return nullptr;
  }

  // A staged file made by this call that never got its bytes goes again.
  void DiscardMade() {
    if (!file_.IsOpen() || have_ != 0) return;
    file_.Close();
    (void)RemoveFileForcibly(staged_.data);
  }

  // Opens the staged file: at the end of the staged part (whose bytes the
  // check has had), or anew; made already when nothing was staged.
  FetchResult OpenStagedFile() {
    if (file_.IsOpen()) return {};
    if (have_ == 0) {
      if (!file_.Create(staged_.data, Platform::kShareRead, Platform::CreateMode::CreateAlways))
        return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, Platform::LastError());
      return {};
    }
    std::uint64_t end = 0;
    if (!file_.Create(staged_.data, Platform::kShareRead, Platform::CreateMode::OpenExisting) ||
        !file_.Seek(0, Platform::SeekFrom::End, &end) || end != have_)
      return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, Platform::LastError());
    return {};
  }

  // Gives the open staged file the entry's published time (archives keep
  // their own). True when it has it.
  bool SetPublishedTime(Platform::CFile& file) const {
    std::uint64_t published = 0;
    return !entry_.DateTime.empty() && GetFileExtension(entry_.FileName) != L".zip" &&
           PublishedStampToFileTime(entry_.DateTime, &published) &&
           file.SetTimes(Platform::FileTimes{0, published, published});
  }

  CServerConnection& server_;
  CBodyBuffers& buffers_;
  const std::wstring url_;
  const CFileData& entry_;
  const StagedPaths staged_;
  const std::uint64_t cap_;
  const bool declared_;
  std::optional<CDownloadCheck> check_;  // fed every byte of the file so far
  std::uint64_t have_ = 0;  // bytes of the file staged by an earlier run
  StagedNote note_;
  Platform::CFile file_;  // the staged file, once open
  Platform::CHttpRequest request_;
  bool sizeKnown_ = false;
  std::uint64_t size_ = 0;
};

}  // namespace

FetchResult CFileTransfer::GetRemoteFileSize(const std::wstring& serverPath, const CFileData& entry) {
  if (!IsContainedRelativePath(entry.FileName)) return FetchResult::Bytes(0);
  // A size the list declares needs no request (and the download holds the
  // file to it).
  if (entry.SizeDeclared) return FetchResult::Bytes(entry.Size);
  Platform::CHttpRequest request;
  FetchResult sent = server_.Send(Platform::HttpMethod::Head, serverPath + entry.FileName, &request);
  if (sent.Failed()) return sent;
  std::uint64_t size = 0;
  if (request.Status() == 405 || request.Status() == 501) {
    // A server that refuses HEAD: its GET's length, or its body counted.
    sent = server_.Send(Platform::HttpMethod::Get, serverPath + entry.FileName, &request);
    if (sent.Failed()) return sent;
    if (request.Status() != kStatusOk) return FetchResult::Bytes(0);
    if (request.ContentLength(&size)) return FetchResult::Bytes(size);
    std::unique_ptr<char[]> buffer(new char[kPieceSize]);
    Platform::CTransferPace pace(Platform::GetTickCountMs());
    for (;;) {
      server_.CheckAbort();
      std::size_t got = 0;
      if (server_.ReadBody(request, buffer.get(), kPieceSize, &got) != 0 || got == 0) break;
      size += got;
      if (size > kMaxUndeclaredBytes) return FetchResult::Bytes(kMaxUndeclaredBytes);
      if (!pace.Advance(size, Platform::GetTickCountMs())) break;  // counted so far: the download will say why
    }
    return FetchResult::Bytes(size);
  }
  // An error page is not the file: it counts nothing. Nor does a response
  // without a length, whose size shows only when it is fetched.
  if (request.Status() != kStatusOk || !request.ContentLength(&size)) return FetchResult::Bytes(0);
  return FetchResult::Bytes(size);
}

FetchResult CFileTransfer::Download(const std::wstring& serverPath, const CFileData& entry, std::uint64_t cap) {
  Platform::CHttpRequest request;
  if (FetchResult sent = server_.Send(Platform::HttpMethod::Get, serverPath + entry.FileName, &request); sent.Failed())
    return sent;
  if (request.Status() != kStatusOk) {
    Log(L"Failed to retrieve a HTTP 200 status, Status Code:" + std::to_wstring(request.Status()));
    return ReportError(IDS_HTTPDOWNLOAD_INVALID_HTTP_RESPONSE, request.Status());
  }
  server_.Progress().SetStatus(LoadEngineString(IDS_HTTPDOWNLOAD_GETTING_FILE_INFORMATION));
  std::uint64_t size = 0;
  const bool sizeKnown = request.ContentLength(&size);
  Platform::CFile file;
  if (!file.Create(entry.Folder + L"\\" + entry.FileName, Platform::kShareRead, Platform::CreateMode::CreateAlways))
    return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, Platform::LastError());
  CDownloadCheck check(entry);
  BodyTarget target{file, check, entry, buffers_, 0, sizeKnown, size, cap, Platform::CTransferDeadline::kDefaultMs, {}};
  bool discard = false;
  FetchResult result = ReceiveBody(server_, request, target, &discard);
  if (!result.Failed()) Log(L"DownloadFile : " + entry.FileName);
  return result;
}

FetchResult CFileTransfer::DownloadFile(const std::wstring& serverPath, const CFileData& entry,
                                        bool* publishedTimeSet, std::uint64_t announced) {
  if (publishedTimeSet) *publishedTimeSet = false;
  if (!IsContainedRelativePath(entry.FileName) || NamesStagingFolder(entry.FileName)) {
    Log(L"DownloadFile : file outside the install folder skipped -> " + entry.FileName);
    return FetchResult::Bytes(0);
  }
  return CStagedFetch(server_, buffers_, serverPath + entry.FileName, entry, announced).Run(publishedTimeSet);
}
