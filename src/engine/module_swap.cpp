#include "engine/module_swap.h"

#include <exception>
#include <system_error>

#include "app/folder_table.h"
#include "engine/engine_log.h"
#include "engine/file_replace.h"
#include "engine/module_staging.h"
#include "platform/case_fold.h"
#include "platform/safe_name.h"
#include "platform/text.h"

namespace {

constexpr char kJournalHeader[] = "vireo-swap 1";
// One line per file of a module; far more than any module has.
constexpr std::size_t kMaxJournalBytes = 64 * 1024 * 1024;

// The attributes of the file at `path` (never 0), or 0 when no file is
// there (nothing, or a folder): one question to the file system.
std::uint32_t FileAttributesOf(const std::wstring& path) {
  std::uint32_t attributes = 0;
  if (!Platform::GetAttributes(path, &attributes) || (attributes & Platform::kAttrDirectory) != 0) return 0;
  return attributes != 0 ? attributes : Platform::kAttrNormal;
}

// `path` relative to `folder` + "\"; empty when it is not below it.
std::wstring RelativeTo(const std::wstring& folder, const std::wstring& path) {
  const std::wstring prefix = folder + L"\\";
  if (path.size() <= prefix.size() || !Platform::EqualsIgnoringCase(std::wstring_view(path).substr(0, prefix.size()), prefix))
    return {};
  return path.substr(prefix.size());
}

// Puts one target back as it was before the swap. The journal was written
// before the target was touched, so each state the target can be in is
// told apart by what stands there: a backup means the old file was moved
// aside; without an old file, whatever stands at the target is new.
bool UndoTarget(const SwapRecord& record) {
  const std::wstring& target = record.target;
  const std::wstring backup = target + L".bak";
  const bool hadOld = record.attributes != 0;
  if (hadOld && !Platform::IsFile(backup)) return true;  // never moved aside
  // Nothing stood there, and the new file never left the staging folder:
  // whatever stands there now is someone else's (put there once the swap
  // had looked), and stays.
  if (!hadOld && !record.staged.empty() && Platform::PathExists(record.staged)) return true;
  if (Platform::IsFile(target)) {
    const bool returned = !record.staged.empty() && !Platform::PathExists(record.staged) &&
                          Platform::MoveItem(target, record.staged);
    if (!returned && !RemoveFileForcibly(target)) {
      Log(L"Undo : new file could not be removed -> " + target + ErrorText(Platform::LastError()));
      return false;
    }
    if (!hadOld) Log(L"Undo : new file removed -> " + target);
  }
  if (!hadOld) return true;
  Log(L"Restore file : " + backup);
  if (!Platform::MoveItem(backup, target)) {
    Log(L"Restore failed : " + backup + ErrorText(Platform::LastError()));
    return false;
  }
  if (record.attributes & Platform::kAttrReadOnly) (void)Platform::SetAttributes(target, record.attributes);
  return true;
}

// Puts every target back, the last recorded first. False when one could not be.
bool UndoAll(const std::vector<SwapRecord>& records) {
  bool ok = true;
  for (auto r = records.rbegin(); r != records.rend(); ++r) ok &= UndoTarget(*r);
  return ok;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  for (std::size_t at = 0;;) {
    const std::size_t tab = line.find('\t', at);
    fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
    if (tab == std::string::npos) return fields;
    at = tab + 1;
  }
}

// One target line of a journal ("T", attributes, target, staged copy:
// tab-separated, paths relative to the install and staging folders). False
// for a line not in that form or naming anything outside the module: the
// journal lies in a folder anyone with the install folder can write.
bool ParseTargetLine(const std::string& line, const std::wstring& installFolder, SwapRecord* record) {
  const std::vector<std::string> fields = SplitTabs(line);
  if (fields.size() != 4 || fields[0] != "T" || fields[1].empty() || fields[1].size() > 10) return false;
  std::uint64_t attributes = 0;
  for (char c : fields[1]) {
    if (c < '0' || c > '9') return false;
    attributes = attributes * 10 + static_cast<std::uint64_t>(c - '0');
  }
  const std::wstring target = Platform::FromUtf8(fields[2]);
  const std::wstring staged = Platform::FromUtf8(fields[3]);
  if (attributes > 0xFFFFFFFFu || !IsContainedRelativePath(target) ||
      (!staged.empty() && !IsContainedRelativePath(staged)))
    return false;
  // Nor anything beyond a link, which leads out of the module.
  if (CrossesLink(installFolder, target) ||
      (!staged.empty() && CrossesLink(StagingFolderOf(installFolder), staged))) {
    Log(L"Interrupted installation : a line that runs through a link ignored -> " + installFolder + L"\\" + target);
    return false;
  }
  record->target = installFolder + L"\\" + target;
  record->staged = staged.empty() ? std::wstring() : StagingFolderOf(installFolder) + L"\\" + staged;
  record->attributes = static_cast<std::uint32_t>(attributes);
  return true;
}

// The journal's records and whether it was committed. Complete lines only:
// a line cut short by the kill was written before its target was touched.
void ParseJournal(const std::string& text, const std::wstring& installFolder, std::vector<SwapRecord>* records,
                  bool* committed) {
  *committed = false;
  std::size_t start = 0;
  bool first = true;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = text.substr(start, end - start);
    if (first) {
      first = false;
      if (line != kJournalHeader) return;
      continue;
    }
    if (line == "C") {
      *committed = true;
      continue;
    }
    SwapRecord record;
    if (ParseTargetLine(line, installFolder, &record)) records->push_back(std::move(record));
  }
}

SwapRepair RepairFailed(const std::wstring& installFolder, Platform::ErrorCode error) {
  Log(L"Interrupted installation could not be repaired : " + installFolder + ErrorText(error));
  return SwapRepair::kFailed;
}

}  // namespace

CModuleSwap::CModuleSwap(std::wstring installFolder)
    : installFolder_(std::move(installFolder)), journalPath_(JournalPathOf(installFolder_)) {}

CModuleSwap::~CModuleSwap() = default;

bool CModuleSwap::Append(const std::string& line, Platform::ErrorCode* error) {
  if (journal_.Write(line.data(), line.size())) return true;
  *error = Platform::LastError();
  return false;
}

namespace {

// `path` split at its last "\\" into folder and name, both case folded.
std::pair<std::wstring, std::wstring> FoldedParts(const std::wstring& path) {
  const std::size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos) return {std::wstring(), Platform::FoldCase(path)};
  return {Platform::FoldCase(path.substr(0, slash)), Platform::FoldCase(path.substr(slash + 1))};
}

}  // namespace

bool CModuleSwap::MayExist(const std::wstring& path) {
  const auto [folder, name] = FoldedParts(path);
  auto it = listed_.find(folder);
  if (it == listed_.end()) {
    std::optional<std::unordered_set<std::wstring>> names;
    std::vector<Platform::DirectoryEntry> entries;
    const std::size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos && Platform::ListDirectory(path.substr(0, slash), &entries)) {
      names.emplace();
      for (const Platform::DirectoryEntry& e : entries) names->insert(Platform::FoldCase(e.name));
    }
    it = listed_.emplace(folder, std::move(names)).first;
  }
  return !it->second || it->second->count(name) != 0;
}

void CModuleSwap::Listed(const std::wstring& path) {
  const auto [folder, name] = FoldedParts(path);
  const auto it = listed_.find(folder);
  if (it != listed_.end() && it->second) it->second->insert(name);
}

bool CModuleSwap::Start(Platform::ErrorCode* error) {
  if (!EnsureDirectory(StagingFolderOf(installFolder_)) ||
      !journal_.Create(journalPath_, Platform::kShareRead, Platform::CreateMode::CreateAlways)) {
    *error = Platform::LastError();
    return false;
  }
  return Append(std::string(kJournalHeader) + "\n", error);
}

bool CModuleSwap::SetAside(const std::wstring& target, const std::wstring& staged, Platform::ErrorCode* error) {
  const std::wstring key = Platform::FoldCase(target);
  if (touched_.count(key) != 0) {
    // Set aside once already: what stands there now is this swap's own,
    // and what comes next is not the first record's staged file, which an
    // undo must no longer claim back.
    for (SwapRecord& r : records_) {
      if (Platform::FoldCase(r.target) == key) r.staged.clear();
    }
    if (!Platform::IsFile(target) || RemoveFileForcibly(target)) return true;
    *error = Platform::LastError();
    return false;
  }
  const std::wstring relative = RelativeTo(installFolder_, target);
  const std::wstring stagedRelative = staged.empty() ? std::wstring() : RelativeTo(StagingFolderOf(installFolder_), staged);
  if (!IsContainedRelativePath(relative) || (!staged.empty() && !IsContainedRelativePath(stagedRelative))) {
    *error = Platform::kErrorBadPathName;  // not below the install folder
    return false;
  }
  // A folder on the way that is a link leads out of the install folder:
  // nothing is put through it.
  // Each folder is asked about once per swap: the swap makes no links.
  if (CrossesLink(installFolder_, relative, &noLinks_) ||
      (!staged.empty() && CrossesLink(StagingFolderOf(installFolder_), stagedRelative, &noLinks_))) {
    Log(L"Swap : a folder on the way is a link, not followed -> " + target);
    *error = Platform::kErrorBadPathName;
    return false;
  }
  // A backup that no journal accounts for was left by an updater of an
  // older kind; the target beside it is whole.
  const bool backupListed = MayExist(target + L".bak");
  if (backupListed && Platform::PathExists(target + L".bak") && !ResolveStaleBackup(target, false)) {
    *error = Platform::LastError();
    return false;
  }
  // A stale backup may have been put back in the target's place.
  const SwapRecord record{target, staged, backupListed || MayExist(target) ? FileAttributesOf(target) : 0};
  if (!Append("T\t" + std::to_string(record.attributes) + "\t" + Platform::ToUtf8(relative) + "\t" +
                  Platform::ToUtf8(stagedRelative) + "\n",
              error))
    return false;
  touched_.insert(key);
  records_.push_back(record);
  if (record.attributes == 0) return true;
  const bool readOnly = (record.attributes & Platform::kAttrReadOnly) != 0;
  std::uint32_t writable = record.attributes & ~Platform::kAttrReadOnly;
  if (writable == 0) writable = Platform::kAttrNormal;
  if ((readOnly && !Platform::SetAttributes(target, writable)) || !Platform::MoveItem(target, target + L".bak")) {
    *error = Platform::LastError();
    if (readOnly) (void)Platform::SetAttributes(target, record.attributes);
    return false;
  }
  Listed(target + L".bak");
  return true;
}

bool CModuleSwap::Holds(const std::wstring& target) const { return touched_.count(Platform::FoldCase(target)) != 0; }

bool CModuleSwap::PlaceItem(const std::wstring& from, const std::wstring& target) {
  if (!Platform::MoveItem(from, target)) return false;
  Listed(target);
  return true;
}

bool CModuleSwap::PlaceFile(const std::wstring& staged, const std::wstring& target, Platform::ErrorCode* error) {
  if (!SetAside(target, staged, error)) return false;
  if (PlaceItem(staged, target)) return true;
  *error = Platform::LastError();
  return false;
}

SwapLeftovers CModuleSwap::Commit() {
  Platform::ErrorCode error = 0;
  if (!Append("C\n", &error) || !journal_.Flush()) error = Platform::LastError();
  journal_.Close();
  if (error != 0) {
    // Without its mark the journal would have the next run undo a module
    // that is whole; without a journal the backups are only leftovers.
    Log(L"Swap : the journal could not be closed, removing it" + ErrorText(error));
    (void)RemoveFileForcibly(journalPath_);
  }
  SwapLeftovers leftovers{installFolder_, {}};
  for (const SwapRecord& r : records_) {
    if (r.attributes != 0) leftovers.backups.push_back(r.target + L".bak");
  }
  return leftovers;
}

void RemoveSwapLeftovers(const SwapLeftovers& leftovers) {
  for (const std::wstring& backup : leftovers.backups) {
    Log(L"Delete file : " + backup);
    if (!RemoveFileForcibly(backup)) Log(L"Backup could not be deleted : " + backup + ErrorText(Platform::LastError()));
  }
  if (!RemoveStagingFolder(leftovers.installFolder))
    Log(L"Staging folder could not be removed : " + StagingFolderOf(leftovers.installFolder) +
        ErrorText(Platform::LastError()));
}

void CSwapCleanup::Begin(SwapLeftovers leftovers) {
  Wait();
  pending_ = std::move(leftovers);
  try {
    thread_ = std::thread([this] {
      // Out of memory: what is left stays for the next run.
      try {
        RemoveSwapLeftovers(pending_);
      } catch (const std::exception&) {
      }
    });
  } catch (const std::system_error&) {
    RemoveSwapLeftovers(pending_);
  }
}

void CSwapCleanup::Wait() {
  if (thread_.joinable()) thread_.join();
}

bool CModuleSwap::Undo() {
  journal_.Close();
  const bool ok = UndoAll(records_);
  // A journal whose targets could not all be put back stays for the next
  // run to try again.
  if (ok) (void)RemoveFileForcibly(journalPath_);
  records_.clear();
  touched_.clear();
  return ok;
}

SwapRepair RepairInterruptedSwap(const std::wstring& installFolder, Platform::ErrorCode* error) {
  const std::wstring journalPath = JournalPathOf(installFolder);
  if (!Platform::IsFile(journalPath)) return SwapRepair::kNothing;

  std::string text;
  if (!Platform::ReadWholeFile(journalPath, kMaxJournalBytes, &text)) {
    *error = Platform::LastError();
    return RepairFailed(installFolder, *error);
  }
  std::vector<SwapRecord> records;
  bool committed = false;
  ParseJournal(text, installFolder, &records, &committed);

  const std::wstring count = L" (" + std::to_wstring(records.size()) + L" files)";
  if (committed) {
    SwapLeftovers leftovers{installFolder, {}};
    for (const SwapRecord& r : records) {
      if (r.attributes != 0 && Platform::IsFile(r.target + L".bak")) leftovers.backups.push_back(r.target + L".bak");
    }
    RemoveSwapLeftovers(leftovers);
    Log(L"Interrupted installation completed : " + installFolder + count);
    return SwapRepair::kCompleted;
  }
  if (!UndoAll(records) || !RemoveFileForcibly(journalPath)) {
    *error = Platform::LastError();
    return RepairFailed(installFolder, *error);
  }
  Log(L"Interrupted installation undone : " + installFolder + count);
  return SwapRepair::kUndone;
}
