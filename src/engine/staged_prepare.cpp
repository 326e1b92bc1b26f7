#include "engine/staged_prepare.h"

#include <system_error>

#include "engine/engine_log.h"
#include "engine/module_staging.h"

CStagedPreparer::CStagedPreparer(std::wstring installFolder, const std::atomic<bool>& abort)
    : installFolder_(std::move(installFolder)), abort_(abort) {}

CStagedPreparer::~CStagedPreparer() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_.store(true);
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void CStagedPreparer::Add(std::size_t slot, const std::wstring& fileName) {
  Queue(Job{slot, fileName, nullptr, std::wstring()});
}

void CStagedPreparer::AddPatch(std::size_t slot, std::function<bool()> apply) {
  Queue(Job{slot, std::wstring(), std::move(apply), std::wstring()});
}

void CStagedPreparer::AddFlush(const std::wstring& path) { Queue(Job{0, std::wstring(), nullptr, path}); }

void CStagedPreparer::Queue(Job job) {
  bool threadless = false;
  const std::wstring name = job.fileName;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(job));
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread(&CStagedPreparer::Work, this);
      } catch (const std::system_error&) {
        threadless = true;  // no thread to be had: unpacked here, at once
      }
    }
  }
  if (!threadless) {
    changed_.notify_all();
    return;
  }
  if (!name.empty()) Log(L"UnZip : no thread to unpack beside the transfers, unpacking now -> " + name);
  Job next;
  while (TakeJob(&next, false)) RunJob(next);
}

PrepareOutcome CStagedPreparer::Finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  // Each job ends (whole, failed, or stopped by the cancel between chunks)
  // and says so: the wait needs no time limit of its own.
  changed_.wait(lock, [this] {
    return outcome_.state != PrepareOutcome::State::kDone || (queue_.empty() && !busy_);
  });
  PrepareOutcome outcome = std::move(outcome_);
  outcome_ = PrepareOutcome();
  outcome_.state = outcome.state;  // a failure or a cancel stays for later calls
  outcome_.error = outcome.error;
  return outcome;
}

bool CStagedPreparer::TakeJob(Job* job, bool wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (wait) changed_.wait(lock, [this] { return stop_.load() || !queue_.empty(); });
  if (stop_.load() || queue_.empty()) return false;
  *job = std::move(queue_.front());
  queue_.pop_front();
  busy_ = true;
  return true;
}

void CStagedPreparer::RunJob(const Job& job) {
  if (!job.flush.empty()) {
    if (!Cancelled()) (void)FlushStagedFile(job.flush);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      busy_ = false;
    }
    changed_.notify_all();
    return;
  }
  if (job.apply) {
    const bool staged = job.apply();
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      busy_ = false;
      outcome_.patched[job.slot] = staged;
      if (!staged && abort_.load() && outcome_.state == PrepareOutcome::State::kDone) {
        outcome_.state = PrepareOutcome::State::kCancelled;
        failed_.store(true);
        queue_.clear();
      }
    }
    changed_.notify_all();
    return;
  }
  std::vector<PreparedItem> items;
  Platform::ErrorCode error = 0;
  const bool prepared = Prepare(job, &items, &error);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    busy_ = false;
    if (prepared) {
      outcome_.items[job.slot] = std::move(items);
    } else if (outcome_.state == PrepareOutcome::State::kDone) {
      // The first failure decides; what is still queued is not unpacked.
      outcome_.state = Cancelled() ? PrepareOutcome::State::kCancelled : PrepareOutcome::State::kFailed;
      outcome_.error = error;
      failed_.store(true);
      queue_.clear();
    }
  }
  changed_.notify_all();
}

void CStagedPreparer::Work() {
  Job job;
  while (TakeJob(&job, true)) RunJob(job);
}

bool CStagedPreparer::Prepare(const Job& job, std::vector<PreparedItem>* items, Platform::ErrorCode* error) const {
  const std::wstring staging = StagingFolderOf(installFolder_);
  const std::wstring itemsFolder = StagedItemsFolderOf(staging, job.fileName);
  if (!MakeStagedItemsFolder(installFolder_, job.fileName)) {
    *error = Platform::LastError();
    if (*error == 0) *error = Platform::kErrorAccessDenied;
    Log(L"UnZip : the staging folder for its items could not be made -> " + itemsFolder + ErrorText(*error));
    return false;
  }
  const std::size_t slash = job.fileName.find_last_of(L'\\');
  const std::wstring folder =
      slash == std::wstring::npos ? installFolder_ : installFolder_ + L"\\" + job.fileName.substr(0, slash);
  return UnZip(StagedPathsOf(staging, job.fileName).data, folder, itemsFolder, [this] { return Cancelled(); }, items,
               error);
}
