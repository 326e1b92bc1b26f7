// The swap: a module's staged files put in place together. Each replaced
// file is kept as a ".bak" copy until the whole module is in place, and a
// failure at any step puts every file back. A journal in the staging folder
// records the swap as it goes, so that a run killed in the middle of one is
// completed or undone by the next run.
//
// Everything here runs on the update worker's thread and only logs; the
// caller decides what a failure means for the run. Only the removal of a
// committed swap's leftovers (CSwapCleanup) has a thread of its own.
#pragma once
#include <cstdint>
#include <string>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"

// One target of a swap, as the journal records it: where it is, where its
// new file came from (empty: not a staged file), and the attributes of the
// file it replaced (0: there was none).
struct SwapRecord {
  std::wstring target;
  std::wstring staged;
  std::uint32_t attributes = 0;
};

// What a committed swap leaves behind: the ".bak" copies of the files it
// replaced, and the staging folder with the journal.
struct SwapLeftovers {
  std::wstring installFolder;
  std::vector<std::wstring> backups;
};

// One swap of one module. Start it, set aside or place every file, then
// Commit, or Undo after a failed step. A swap dropped without either (the
// process killed) leaves its journal for RepairInterruptedSwap.
class CModuleSwap {
 public:
  explicit CModuleSwap(std::wstring installFolder);
  ~CModuleSwap();
  CModuleSwap(const CModuleSwap&) = delete;
  CModuleSwap& operator=(const CModuleSwap&) = delete;

  // Creates the journal. False, with *error, when it cannot be written.
  [[nodiscard]] bool Start(Platform::ErrorCode* error);
  // Makes way for a new file at `target` (below the install folder): the
  // journal records it first, then the old file, if any, becomes
  // target+".bak" (read-only or not). A target this swap has already set
  // aside holds only this swap's own file, which is deleted. `staged` is
  // where the new file comes from when it is a staged file (empty for an
  // archive item): an undo returns it there. False, with *error, when the
  // old file could not be moved aside (it is then untouched).
  [[nodiscard]] bool SetAside(const std::wstring& target, const std::wstring& staged, Platform::ErrorCode* error);
  // Whether this swap has set `target` aside already.
  bool Holds(const std::wstring& target) const;
  // False when nothing of the name `path` stands in its folder, as a listing
  // of the folder (taken once per swap, kept up to date with the swap's own
  // renames) says; true when something may. The platform's question for a
  // name that is not there reads the whole folder each time.
  bool MayExist(const std::wstring& path);
  // Renames `from` to `target`, which SetAside has made way for. False (the
  // platform's last error says why) when it could not be.
  [[nodiscard]] bool PlaceItem(const std::wstring& from, const std::wstring& target);
  // SetAside, then the staged file is renamed to `target`.
  [[nodiscard]] bool PlaceFile(const std::wstring& staged, const std::wstring& target, Platform::ErrorCode* error);
  // Every file is in place: the journal says so, and the module is whole.
  // What is left to remove (RemoveSwapLeftovers) is given back; until it is
  // removed, a killed run's leftovers are removed by the next run's repair.
  SwapLeftovers Commit();
  // A step failed: every target back as it was before the swap (new files
  // removed, or returned to the staging folder when they came from there),
  // then the journal goes. The staged files stay for the next run. False
  // when something could not be put back (logged).
  bool Undo();

 private:
  bool Append(const std::string& line, Platform::ErrorCode* error);

  std::wstring installFolder_;
  std::wstring journalPath_;
  Platform::CFile journal_;
  std::vector<SwapRecord> records_;
  std::unordered_set<std::wstring> touched_;  // targets, case folded
  std::unordered_set<std::wstring> noLinks_;  // folders found not to be links
  // Per folder (case folded), the case-folded names in it; no entry for a
  // folder not yet listed, an empty optional for one that could not be.
  std::unordered_map<std::wstring, std::optional<std::unordered_set<std::wstring>>> listed_;
  void Listed(const std::wstring& path);  // `path` now exists
};

// Deletes the backups (a line each), then the staging folder with the
// journal, last, so that a run killed on the way leaves a committed journal.
// What cannot be removed is logged and left to the next run.
void RemoveSwapLeftovers(const SwapLeftovers& leftovers);

// Removes committed swaps' leftovers on a thread of its own, beside what
// comes next: the module's program starting, the end of the run. The
// installation is whole before one begins, so it is never cancelled; the
// run waits for it before it touches another module's folder, and before
// it ends.
class CSwapCleanup {
 public:
  CSwapCleanup() = default;
  ~CSwapCleanup() { Wait(); }
  CSwapCleanup(const CSwapCleanup&) = delete;
  CSwapCleanup& operator=(const CSwapCleanup&) = delete;

  // Waits for the one begun earlier, then begins removing these (here,
  // when no thread can be had). The update worker's.
  void Begin(SwapLeftovers leftovers);
  // Returns when the removal begun last, if any, has ended. The update
  // worker's (and the owner's, when it goes).
  void Wait();

 private:
  SwapLeftovers pending_;  // the thread's, while it runs
  std::thread thread_;
};

// What the next run made of a swap that a killed run left unfinished.
enum class SwapRepair {
  kNothing,    // no journal: no swap was under way
  kCompleted,  // the swap had put everything in place: its backups removed
  kUndone,     // it had not: every target back as it was
  kFailed,     // a step of the repair failed (logged); the journal is kept
};
// Repairs the install folder's interrupted swap, if any, writing one log line
// that names what was done. To be called before anything of the module is
// fetched. *error is the platform error for kFailed.
SwapRepair RepairInterruptedSwap(const std::wstring& installFolder, Platform::ErrorCode* error);
