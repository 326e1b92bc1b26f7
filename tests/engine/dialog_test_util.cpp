#include "engine/dialog_test_util.h"

#include "app/folder_table.h"
#include "engine/module_swap.h"
#include "engine/staged_prepare.h"
#include "engine_resource.h"

#include <chrono>

namespace EngineTest {

void CRecordingProgress::SetStatus(const std::wstring& text) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    statuses_.push_back(text);
    ++reports_;
  }
  if (onStatus) onStatus(text);
}
void CRecordingProgress::SetFileLabel(const std::wstring&, const std::wstring&) {
  std::lock_guard<std::mutex> hold(lock_);
  ++reports_;
}
void CRecordingProgress::SetFileRange(std::uint64_t) {
  std::lock_guard<std::mutex> hold(lock_);
  ++reports_;
}
void CRecordingProgress::SetPercentage(unsigned percent, std::uint32_t) {
  std::lock_guard<std::mutex> hold(lock_);
  percentages_.push_back(percent);
  ++reports_;
}
void CRecordingProgress::SetTransferRate(double) {
  std::lock_guard<std::mutex> hold(lock_);
  ++reports_;
}
void CRecordingProgress::SetTimeLeft(std::uint32_t, std::uint64_t, std::uint64_t) {
  std::lock_guard<std::mutex> hold(lock_);
  ++reports_;
}
void CRecordingProgress::SetTotalLabel(const std::wstring& text) {
  std::lock_guard<std::mutex> hold(lock_);
  totalLabels_.push_back(text);
  ++reports_;
}
void CRecordingProgress::SetTotalRange(int, int) {
  std::lock_guard<std::mutex> hold(lock_);
  ++reports_;
}
void CRecordingProgress::SetTotalPosition(int position) {
  std::lock_guard<std::mutex> hold(lock_);
  totalPositions_.push_back(position);
  ++reports_;
}
std::vector<std::wstring> CRecordingProgress::Statuses() const {
  std::lock_guard<std::mutex> hold(lock_);
  return statuses_;
}
std::vector<std::wstring> CRecordingProgress::TotalLabels() const {
  std::lock_guard<std::mutex> hold(lock_);
  return totalLabels_;
}
std::vector<int> CRecordingProgress::TotalPositions() const {
  std::lock_guard<std::mutex> hold(lock_);
  return totalPositions_;
}
std::vector<unsigned> CRecordingProgress::Percentages() const {
  std::lock_guard<std::mutex> hold(lock_);
  return percentages_;
}
std::size_t CRecordingProgress::Reports() const {
  std::lock_guard<std::mutex> hold(lock_);
  return reports_;
}

RunOutcome CTestRun::Job(const std::function<FetchResult(CServerConnection&)>& job) {
  RunOutcome outcome;
  try {
    const std::wstring failure = server.OpenConnection();
    if (!failure.empty()) {
      outcome = {RunEnd::kFailed, failure};
    } else {
      const FetchResult result = job(server);
      if (result.Failed()) outcome = {RunEnd::kFailed, result.error};
    }
  } catch (const CAbortSignal&) {
    outcome = {RunEnd::kCancelled, {}};
  }
  server.CloseConnection();
  return outcome;
}

INT_PTR CTestDownloadDlg::RunJob(std::function<FetchResult(CServerConnection&)> job) {
  SetWorkerJobForTesting([this, job](IUpdateProgress& progress, const std::atomic<bool>& abort) {
    CServerConnection server(url_, progress, abort);
    RunOutcome outcome;
    const std::wstring failure = server.OpenConnection();
    if (!failure.empty()) return RunOutcome{RunEnd::kFailed, failure};
    const FetchResult result = job(server);
    if (result.Failed()) outcome = {RunEnd::kFailed, result.error};
    return outcome;
  });
  return DoModal();
}

CCanceller::CCanceller(std::atomic<bool>& abort, std::function<bool()> ready, std::function<void()> afterCancel)
    : thread_([this, &abort, ready, afterCancel] {
        using namespace std::chrono_literals;
        bool isReady = false;
        for (int i = 0; i < 3000 && !stop_; ++i) {
          if (ready()) {
            isReady = true;
            break;
          }
          std::this_thread::sleep_for(10ms);
        }
        if (!isReady) return;
        abort = true;
        cancelled_ = true;
        if (afterCancel) afterCancel();
      }) {}

CCanceller::~CCanceller() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

FetchResult UpdateFile(CServerConnection& server, const std::wstring& serverPath, const CFileData& entry) {
  StagedFile staged{&entry, false};
  FetchResult fetched = CFileTransfer(server).DownloadFile(serverPath, entry, &staged.publishedTimeSet);
  if (fetched.Failed()) return fetched;
  if (GetFileExtension(entry.FileName) == L".zip") {
    // Unpacked into staging first, as the module's fetch loop does.
    CStagedPreparer preparer(entry.Folder, server.AbortFlag());
    preparer.Add(0, entry.FileName);
    PrepareOutcome outcome = preparer.Finish();
    if (outcome.state == PrepareOutcome::State::kCancelled) throw CAbortSignal();
    if (outcome.state == PrepareOutcome::State::kFailed) return ReportError(IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, outcome.error);
    staged.items = std::move(outcome.items[0]);
  }
  CSwapCleanup cleanup;
  if (FetchResult installed = InstallModule(entry.Folder, {staged}, server.Progress(), server.AbortFlag(), cleanup);
      installed.Failed())
    return installed;
  return fetched;
}

}  // namespace EngineTest
