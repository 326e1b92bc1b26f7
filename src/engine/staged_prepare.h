// Unpacking staged archives and applying staged patches beside the
// transfers. While the update worker fetches a module's next file, a thread
// of the module's own unpacks each archive already staged into the staging
// folder (archive_install.h), applies each patch staged and forces each
// staged file to the disk, so that the swap only renames. The thread is started with the first archive
// and stopped and joined when the preparer goes; it reads the run's cancel
// flag between items and chunks, and never touches the installation.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/archive_install.h"
#include "platform/error.h"

// What became of the archives queued so far.
struct PrepareOutcome {
  enum class State { kDone, kFailed, kCancelled };
  State state = State::kDone;
  Platform::ErrorCode error = 0;  // the first failure's (kFailed)
  // The unpacked items of each archive, by the slot it was queued with.
  std::map<std::size_t, std::vector<PreparedItem>> items;
  // Whether each patch queued (by its slot) staged its file; one that did
  // not leaves its file to be fetched whole, and fails nothing.
  std::map<std::size_t, bool> patched;
};

class CStagedPreparer {
 public:
  // For the module in `installFolder`; `abort` (the run's cancel flag)
  // outlives the preparer.
  CStagedPreparer(std::wstring installFolder, const std::atomic<bool>& abort);
  // Stops the archive under way (its partial item removed; what it
  // unpacked stays in the staging folder, where no later run trusts it) and
  // waits for the thread.
  ~CStagedPreparer();
  CStagedPreparer(const CStagedPreparer&) = delete;
  CStagedPreparer& operator=(const CStagedPreparer&) = delete;

  // Queues the staged archive of list entry `fileName` (checked, whole),
  // named `slot` in the outcome. Called by the update worker.
  void Add(std::size_t slot, const std::wstring& fileName);
  // Queues `apply`, a staged patch's application (which logs what became of
  // it, and reads the run's cancel flag), named `slot` in the outcome.
  void AddPatch(std::size_t slot, std::function<bool()> apply);
  // Queues forcing the staged file at `path` to the disk (FlushStagedFile),
  // so that the swap, which waits for every job (Finish), renames in only
  // what is on the disk. Its outcome is nobody's: a file that cannot be
  // flushed is put in place all the same.
  void AddFlush(const std::wstring& path);
  // Whether a queued archive has failed already: the module fails, and
  // nothing more need be fetched for it. Any thread.
  bool Failed() const { return failed_.load(); }
  // Waits until every queued archive is unpacked, one failed (the rest are
  // dropped) or the cancel was seen, and gives the outcome. Called by the
  // update worker; more archives may be queued afterwards.
  PrepareOutcome Finish();

 private:
  struct Job {
    std::size_t slot;
    std::wstring fileName;
    std::function<bool()> apply;  // a patch's, instead of an archive
    std::wstring flush;           // a staged file to force to the disk, instead
  };
  // Queues a job, starting the thread with the first (or running the job
  // here when no thread can be had).
  void Queue(Job job);
  // The thread's loop.
  void Work();
  // Takes the next job (waiting for one when `wait`); false at the stop, or
  // without `wait` when none is queued.
  bool TakeJob(Job* job, bool wait);
  // Unpacks one job's archive and records what became of it.
  void RunJob(const Job& job);
  // Unpacks one archive; false with *error when it fails.
  bool Prepare(const Job& job, std::vector<PreparedItem>* items, Platform::ErrorCode* error) const;
  bool Cancelled() const { return stop_.load() || abort_.load(); }

  const std::wstring installFolder_;
  const std::atomic<bool>& abort_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};
  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;  // a job queued, finished, or the stop
  std::deque<Job> queue_;
  bool busy_ = false;  // a job taken from the queue is under way
  PrepareOutcome outcome_;
  std::thread thread_;
};
