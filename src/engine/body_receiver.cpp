#include "engine/body_receiver.h"

#include <cstring>
#include <memory>

#include "engine/engine_log.h"
#include "engine/engine_strings.h"
#include "engine/progress_text.h"
#include "engine_resource.h"
#include "platform/clock.h"

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

// Gathers the data of several reads and writes it to the file in blocks.
// `beforeFirstWrite` (may be empty) runs once, before the first bytes go to
// the file, unless Whole() said that no more will come.
class CBlockWriter {
 public:
  // `block` holds kWriteBlockSize bytes.
  CBlockWriter(Platform::CFile& file, char* block, std::function<void()> beforeFirstWrite)
      : file_(file), block_(block), beforeFirstWrite_(std::move(beforeFirstWrite)) {}
  // False when a write failed (the platform's last error says why).
  [[nodiscard]] bool Append(const char* data, std::size_t size) {
    if (used_ + size > kWriteBlockSize && !WriteOut()) return false;
    if (size >= kWriteBlockSize) return Write(data, size);
    std::memcpy(block_ + used_, data, size);
    used_ += size;
    return true;
  }
  // Writes what is still gathered.
  [[nodiscard]] bool WriteOut() {
    if (used_ == 0) return true;
    const std::size_t size = used_;
    used_ = 0;
    return Write(block_, size);
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
  char* block_;
  std::size_t used_ = 0;
  std::function<void()> beforeFirstWrite_;
};

// One body on its way into its file.
class CBodyReceiver {
 public:
  CBodyReceiver(CServerConnection& server, Platform::CHttpRequest& request, BodyTarget& target, bool* discard)
      : server_(server),
        progress_(server.Progress()),
        request_(request),
        target_(target),
        discard_(discard),
        buffers_(Buffers(target)),
        writer_(target.file, buffers_.block.get(), target.beforePartWritten),
        bytesSoFar_(target.already) {}

  FetchResult Receive() {
    *discard_ = false;
    if (target_.sizeKnown && target_.size > target_.cap) return TooLarge(target_.size);
    ShowStart();
    if (FetchResult read = ReadAll(); read.Failed()) return read;
    return Finish();
  }

 private:
  void ShowStart() {
    if (target_.sizeKnown) progress_.SetFileRange((target_.size + 512) / 1024);
    progress_.SetStatus(LoadEngineString(IDS_HTTPDOWNLOAD_RETRIEVEING_FILE));
    progress_.SetFileLabel(
        FormatEngineString(IDS_HTTPDOWNLOAD_FILESTATUS, target_.entry.FileName, server_.ServerName()),
        target_.entry.FileName);
    counters_.startTick = counters_.lastTick = Platform::GetTickCountMs();
    counters_.startBytes = counters_.lastBytes = target_.already;
  }

  // Reads until the body ends; what was received is kept on every way out
  // but a mismatch, so that the next run can continue it.
  FetchResult ReadAll() {
    char* const buffer = buffers_.read.get();
    Platform::CTransferPace pace(counters_.startTick);
    const Platform::CTransferDeadline deadline(counters_.startTick, target_.deadlineMs);
    std::uint32_t lastWriteOut = counters_.startTick;
    for (;;) {
      std::size_t got = 0;
      if (const Platform::ErrorCode error = server_.ReadBody(request_, buffer, kReadSize, &got); error != 0) {
        Log(L"Failed in call to InternetReadFile, Error:" + std::to_wstring(error));
        return KeepReceived(ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, error));
      }
      if (got == 0) return {};
      if (server_.Aborted()) {
        (void)KeepReceived({});
        throw CAbortSignal();
      }
      if (!pace.Advance(bytesSoFar_ - target_.already + got, Platform::GetTickCountMs())) {
        Log(L"DownloadFile : the server sent less than 1 KiB in 30 s, transfer stopped -> " + target_.entry.FileName);
        return KeepReceived(ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, Platform::kErrorTransferStalled));
      }
      if (target_.deadlineMs != 0 && deadline.Expired(Platform::GetTickCountMs())) {
        Log(L"DownloadFile : " + target_.entry.FileName + L" did not arrive within " +
            std::to_wstring(target_.deadlineMs / 1000) + L" s, transfer stopped");
        return KeepReceived(ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, Platform::kErrorTransferStalled));
      }
      if (bytesSoFar_ + got > target_.cap) return TooLarge(bytesSoFar_ + got);
      if (!target_.check.Add(buffer, got)) return Mismatch(target_.check.Finish());  // past the declared size
      // A slow transfer's bytes reach the disk at least a few times a
      // second, so that a run killed in the middle leaves them staged.
      const std::uint32_t now = Platform::GetTickCountMs();
      const bool due = static_cast<std::uint32_t>(now - lastWriteOut) >= kWriteOutIntervalMs;
      if (!writer_.Append(buffer, got) || (due && !writer_.WriteOut())) return WriteFailed();
      if (due) lastWriteOut = now;
      bytesSoFar_ += got;
      ShowProgress();
    }
  }

  FetchResult Finish() {
    request_.Close();
    if (target_.sizeKnown && bytesSoFar_ != target_.size) {
      // The platform ends a body cut short by the server like a complete one.
      Log(L"Failed in call to InternetReadFile, Error:" + std::to_wstring(kErrorBodyCutShort) + L" (" +
          std::to_wstring(bytesSoFar_) + L" of " + std::to_wstring(target_.size) + L" bytes)");
      if (!writer_.WriteOut()) return WriteFailed();
      return ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, kErrorBodyCutShort);
    }
    // Checked before the last bytes are written: a file that does not match
    // is discarded unwritten.
    if (const FileCheckResult verdict = target_.check.Finish(); verdict.verdict != FileVerdict::Match)
      return Mismatch(verdict);
    writer_.Whole();
    if (!writer_.WriteOut()) return WriteFailed();
    return FetchResult::Bytes(bytesSoFar_ - target_.already);
  }

  // After every read: the bar and title when the whole percentage changed,
  // rate and time left a few times a second.
  void ShowProgress() {
    const ProgressChange change =
        StepProgress(counters_, Platform::GetTickCountMs(), bytesSoFar_, target_.sizeKnown, target_.size);
    if (change.percentChanged) progress_.SetPercentage(change.percent, change.barPosition);
    if (change.rateChanged) progress_.SetTransferRate(change.rate);
    if (change.timeLeftChanged) progress_.SetTimeLeft(change.secondsLeft, bytesSoFar_, target_.size);
  }

  // The target's buffers, made when missing.
  static CBodyBuffers& Buffers(BodyTarget& target) {
    CBodyBuffers& buffers = target.buffers;
    if (!buffers.read) buffers.read.reset(new char[kReadSize]);
    if (!buffers.block) buffers.block.reset(new char[kWriteBlockSize]);
    return buffers;
  }

  FetchResult KeepReceived(FetchResult failure) {
    if (!writer_.WriteOut()) *discard_ = true;
    return failure;
  }
  FetchResult TooLarge(std::uint64_t bytes) {
    Log(L"DownloadFile : " + target_.entry.FileName + L" is larger than the " + std::to_wstring(target_.cap) +
        L" bytes such a document may have (" + std::to_wstring(bytes) + L" bytes)");
    *discard_ = true;
    return ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, kErrorFileMismatch);
  }
  FetchResult Mismatch(const FileCheckResult& verdict) {
    Log(DescribeFileMismatch(target_.entry, verdict));
    *discard_ = true;
    return ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, kErrorFileMismatch);
  }
  FetchResult WriteFailed() {
    const Platform::ErrorCode error = Platform::LastError();
    *discard_ = true;
    Log(L"An exception occured while writing to the download file");
    return ReportError(IDS_HTTPDOWNLOAD_ERROR_READFILE, error);
  }

  CServerConnection& server_;
  IUpdateProgress& progress_;
  Platform::CHttpRequest& request_;
  BodyTarget& target_;
  bool* discard_;
  CBodyBuffers& buffers_;
  CBlockWriter writer_;
  ProgressCounters counters_;
  std::uint64_t bytesSoFar_;
};

}  // namespace

FetchResult ReceiveBody(CServerConnection& server, Platform::CHttpRequest& request, BodyTarget& target,
                        bool* discard) {
  return CBodyReceiver(server, request, target, discard).Receive();
}
