#include "engine/module_staging.h"

#include <cwctype>

#include "app/folder_table.h"
#include "app/update_log.h"
#include "engine/file_replace.h"
#include "platform/safe_name.h"
#include "platform/text.h"

namespace {

constexpr char kJournalHeader[] = "vireo-swap 1";
constexpr wchar_t kJournalName[] = L"journal";
constexpr wchar_t kFilesFolder[] = L"files";
constexpr wchar_t kNotesFolder[] = L"resume";
// Staged names are list names, whose depth the name check bounds by length;
// a folder tree deeper than this is not ours.
constexpr int kMaxRemoveDepth = 128;

void Log(const std::wstring& text) { GetUpdateLog().WriteLog(text); }

std::wstring ErrorText(Platform::ErrorCode code) { return L", Error:" + std::to_wstring(code); }

bool IsFile(const std::wstring& path) { return Platform::PathExists(path) && !Platform::IsDirectory(path); }

// The attributes of the file at `path` (never 0), or 0 when no file is
// there (nothing, or a folder): one question to the file system.
std::uint32_t FileAttributesOf(const std::wstring& path) {
  std::uint32_t attributes = 0;
  if (!Platform::GetAttributes(path, &attributes) || (attributes & Platform::kAttrDirectory) != 0) return 0;
  return attributes != 0 ? attributes : Platform::kAttrNormal;
}

std::wstring Folded(const std::wstring& text) {
  std::wstring out = text;
  for (wchar_t& c : out) c = static_cast<wchar_t>(std::towupper(c));
  return out;
}

// `path` relative to `folder` + "\"; empty when it is not below it.
std::wstring RelativeTo(const std::wstring& folder, const std::wstring& path) {
  const std::wstring prefix = folder + L"\\";
  if (path.size() <= prefix.size() || Folded(path.substr(0, prefix.size())) != Folded(prefix)) return {};
  return path.substr(prefix.size());
}

// Deletes the folder's files and folders, depth first. True when it is gone.
bool RemoveTree(const std::wstring& folder, int depth) {
  if (depth > kMaxRemoveDepth) return false;
  std::vector<Platform::DirectoryEntry> entries;
  if (!Platform::ListDirectory(folder, &entries)) return !Platform::PathExists(folder);
  bool ok = true;
  for (const auto& e : entries) {
    const std::wstring path = folder + L"\\" + e.name;
    ok &= e.isDirectory ? RemoveTree(path, depth + 1) : RemoveFileForcibly(path);
  }
  return Platform::RemoveEmptyDirectory(folder) && ok;
}

// Whether the folder tree holds any file.
bool HoldsFiles(const std::wstring& folder, int depth) {
  std::vector<Platform::DirectoryEntry> entries;
  if (depth > kMaxRemoveDepth || !Platform::ListDirectory(folder, &entries)) return true;
  for (const auto& e : entries) {
    if (!e.isDirectory || HoldsFiles(folder + L"\\" + e.name, depth + 1)) return true;
  }
  return false;
}

}  // namespace

// One target of a swap: where it is, where its new file came from, and the
// attributes of the file it replaced (0: there was none).
struct CModuleSwap::Record {
  std::wstring target;
  std::wstring staged;
  std::uint32_t attributes = 0;
};

namespace {

// Puts one target back as it was before the swap. The journal was written
// before the target was touched, so each state the target can be in is
// told apart by what stands there: a backup means the old file was moved
// aside; without an old file, whatever stands at the target is new.
bool UndoTarget(const std::wstring& target, const std::wstring& staged, std::uint32_t attributes) {
  const std::wstring backup = target + L".bak";
  const bool hadOld = attributes != 0;
  if (hadOld && !IsFile(backup)) return true;  // never moved aside
  if (IsFile(target)) {
    const bool returned = !staged.empty() && !Platform::PathExists(staged) && Platform::MoveItem(target, staged);
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
  if (attributes & Platform::kAttrReadOnly) (void)Platform::SetAttributes(target, attributes);
  return true;
}

// The staging folder's contents other than the journal, then the journal,
// then the folder: a staging folder with a journal is always one whose
// swap needs a repair.
bool ClearStaging(const std::wstring& staging) {
  bool ok = RemoveTree(staging + L"\\" + kFilesFolder, 0) & RemoveTree(staging + L"\\" + kNotesFolder, 0);
  ok &= RemoveFileForcibly(staging + L"\\" + kJournalName);
  return RemoveTree(staging, 0) && ok;
}

}  // namespace

bool NamesStagingFolder(const std::wstring& relativeName) {
  const std::wstring name = Folded(kStagingFolderName);
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = relativeName.find_first_of(L"\\/", start);
    const std::wstring part = relativeName.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    if (Folded(part) == name) return true;
    if (end == std::wstring::npos) return false;
    start = end + 1;
  }
}

std::wstring StagingFolderOf(const std::wstring& installFolder) { return installFolder + L"\\" + kStagingFolderName; }

StagedPaths StagedPathsOf(const std::wstring& stagingFolder, const std::wstring& fileName) {
  return {stagingFolder + L"\\" + kFilesFolder + L"\\" + fileName,
          stagingFolder + L"\\" + kNotesFolder + L"\\" + fileName};
}

std::uint64_t StagedLength(const std::wstring& path) {
  Platform::CFile file;
  std::uint64_t size = 0;
  if (!file.OpenRead(path) || !file.GetSize(&size)) return 0;
  return size;
}

bool ReadStagedNote(const std::wstring& path, StagedNote* note) {
  Platform::CFile file;
  if (!file.OpenRead(path)) return false;
  char buffer[4096];
  std::size_t got = 0;
  if (!file.Read(buffer, sizeof buffer, &got) || got == sizeof buffer) return false;
  // Three lines: url, validator, total length ("-" when unknown).
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < got; ++i) {
    if (buffer[i] != '\n') {
      line += buffer[i];
      continue;
    }
    lines.push_back(line);
    line.clear();
  }
  if (lines.size() != 3 || !line.empty()) return false;
  StagedNote read;
  read.url = Platform::FromUtf8(lines[0]);
  read.validator = Platform::FromUtf8(lines[1]);
  if (lines[2] != "-") {
    if (lines[2].empty() || lines[2].size() > 19) return false;
    for (char c : lines[2]) {
      if (c < '0' || c > '9') return false;
      read.total = read.total * 10 + static_cast<std::uint64_t>(c - '0');
    }
    read.totalKnown = true;
  }
  *note = std::move(read);
  return true;
}

bool WriteStagedNote(const std::wstring& path, const StagedNote& note) {
  if (note.url.find(L'\n') != std::wstring::npos || note.validator.find(L'\n') != std::wstring::npos) return false;
  const std::string text = Platform::ToUtf8(note.url) + "\n" + Platform::ToUtf8(note.validator) + "\n" +
                           (note.totalKnown ? std::to_string(note.total) : std::string("-")) + "\n";
  Platform::CFile file;
  return file.Create(path) && file.Write(text.data(), text.size());
}

bool RemoveStagingFolder(const std::wstring& installFolder) {
  const std::wstring staging = StagingFolderOf(installFolder);
  if (!Platform::PathExists(staging)) return true;
  return ClearStaging(staging);
}

void RemoveStagingFolderIfEmpty(const std::wstring& installFolder) {
  const std::wstring staging = StagingFolderOf(installFolder);
  if (Platform::IsDirectory(staging) && !HoldsFiles(staging, 0)) (void)RemoveTree(staging, 0);
}

CModuleSwap::CModuleSwap(std::wstring installFolder)
    : installFolder_(std::move(installFolder)),
      journalPath_(StagingFolderOf(installFolder_) + L"\\" + kJournalName) {}

CModuleSwap::~CModuleSwap() = default;

bool CModuleSwap::Append(const std::string& line, Platform::ErrorCode* error) {
  if (journal_.Write(line.data(), line.size())) return true;
  *error = Platform::LastError();
  return false;
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
  const std::wstring key = Folded(target);
  if (touched_.count(key) != 0) {
    // Set aside once already: what stands there now is this swap's own,
    // and what comes next is not the first record's staged file, which an
    // undo must no longer claim back.
    for (Record& r : records_) {
      if (Folded(r.target) == key) r.staged.clear();
    }
    if (!IsFile(target) || RemoveFileForcibly(target)) return true;
    *error = Platform::LastError();
    return false;
  }
  const std::wstring relative = RelativeTo(installFolder_, target);
  const std::wstring stagedRelative = staged.empty() ? std::wstring() : RelativeTo(StagingFolderOf(installFolder_), staged);
  if (!IsContainedRelativePath(relative) || (!staged.empty() && !IsContainedRelativePath(stagedRelative))) {
    *error = 161;  // ERROR_BAD_PATHNAME: not below the install folder
    return false;
  }
  // A backup that no journal accounts for was left by an updater of an
  // older kind; the target beside it is whole.
  if (Platform::PathExists(target + L".bak") && !ResolveStaleBackup(target, false)) {
    *error = Platform::LastError();
    return false;
  }
  const Record record{target, staged, FileAttributesOf(target)};
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
    if (record.attributes & Platform::kAttrReadOnly) (void)Platform::SetAttributes(target, record.attributes);
    return false;
  }
  return true;
}

bool CModuleSwap::Holds(const std::wstring& target) const { return touched_.count(Folded(target)) != 0; }

bool CModuleSwap::PlaceFile(const std::wstring& staged, const std::wstring& target, Platform::ErrorCode* error) {
  if (!SetAside(target, staged, error)) return false;
  if (Platform::MoveItem(staged, target)) return true;
  *error = Platform::LastError();
  return false;
}

void CModuleSwap::Commit() {
  Platform::ErrorCode error = 0;
  if (!Append("C\n", &error) || !journal_.Flush()) error = Platform::LastError();
  journal_.Close();
  if (error != 0) {
    // Without its mark the journal would have the next run undo a module
    // that is whole; without a journal the backups are only leftovers.
    Log(L"Swap : the journal could not be closed, removing it" + ErrorText(error));
    (void)RemoveFileForcibly(journalPath_);
  }
  for (const Record& r : records_) {
    if (r.attributes == 0) continue;
    const std::wstring backup = r.target + L".bak";
    Log(L"Delete file : " + backup);
    if (!RemoveFileForcibly(backup)) Log(L"Backup could not be deleted : " + backup + ErrorText(Platform::LastError()));
  }
  if (!RemoveStagingFolder(installFolder_))
    Log(L"Staging folder could not be removed : " + StagingFolderOf(installFolder_) + ErrorText(Platform::LastError()));
}

bool CModuleSwap::Undo() {
  journal_.Close();
  bool ok = true;
  for (auto r = records_.rbegin(); r != records_.rend(); ++r) ok &= UndoTarget(r->target, r->staged, r->attributes);
  // A journal whose targets could not all be put back stays for the next
  // run to try again.
  if (ok) (void)RemoveFileForcibly(journalPath_);
  records_.clear();
  touched_.clear();
  return ok;
}

SwapRepair RepairInterruptedSwap(const std::wstring& installFolder, Platform::ErrorCode* error) {
  const std::wstring staging = StagingFolderOf(installFolder);
  const std::wstring journalPath = staging + L"\\" + kJournalName;
  if (!IsFile(journalPath)) return SwapRepair::kNothing;

  std::string text;
  {
    Platform::CFile file;
    if (!file.OpenRead(journalPath)) {
      *error = Platform::LastError();
      Log(L"Interrupted installation could not be repaired : " + installFolder + ErrorText(*error));
      return SwapRepair::kFailed;
    }
    // One line per file of a module; far more than any module has.
    constexpr std::size_t kMaxJournalBytes = 64 * 1024 * 1024;
    char piece[65536];
    for (;;) {
      std::size_t got = 0;
      if (!file.Read(piece, sizeof piece, &got) || text.size() + got > kMaxJournalBytes) {
        *error = got == 0 ? Platform::LastError() : 13;  // ERROR_INVALID_DATA
        Log(L"Interrupted installation could not be repaired : " + installFolder + ErrorText(*error));
        return SwapRepair::kFailed;
      }
      if (got == 0) break;
      text.append(piece, got);
    }
  }

  // Complete lines only: a line cut short by the kill was written before
  // its target was touched.
  struct Entry {
    std::wstring target;
    std::wstring staged;
    std::uint32_t attributes;
  };
  std::vector<Entry> entries;
  bool committed = false;
  std::size_t start = 0;
  bool first = true;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = text.substr(start, end - start);
    if (first) {
      first = false;
      if (line != kJournalHeader) break;
      continue;
    }
    if (line == "C") {
      committed = true;
      continue;
    }
    // "T", attributes, target, staged copy: tab-separated.
    std::vector<std::string> fields;
    for (std::size_t at = 0;;) {
      const std::size_t tab = line.find('\t', at);
      fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
      if (tab == std::string::npos) break;
      at = tab + 1;
    }
    if (fields.size() != 4 || fields[0] != "T" || fields[1].empty() || fields[1].size() > 10) continue;
    std::uint64_t attributes = 0;
    bool digits = true;
    for (char c : fields[1]) {
      digits &= c >= '0' && c <= '9';
      attributes = attributes * 10 + static_cast<std::uint64_t>(c - '0');
    }
    const std::wstring target = Platform::FromUtf8(fields[2]);
    const std::wstring staged = Platform::FromUtf8(fields[3]);
    // The journal lies in a folder anyone with the install folder can
    // write: it names nothing outside the module.
    if (!digits || attributes > 0xFFFFFFFFu || !IsContainedRelativePath(target) ||
        (!staged.empty() && !IsContainedRelativePath(staged)))
      continue;
    entries.push_back({installFolder + L"\\" + target, staged.empty() ? std::wstring() : staging + L"\\" + staged,
                       static_cast<std::uint32_t>(attributes)});
  }

  const std::wstring count = L" (" + std::to_wstring(entries.size()) + L" files)";
  if (committed) {
    for (const Entry& e : entries) {
      if (e.attributes != 0 && IsFile(e.target + L".bak")) {
        Log(L"Delete file : " + e.target + L".bak");
        (void)RemoveFileForcibly(e.target + L".bak");
      }
    }
    (void)ClearStaging(staging);
    Log(L"Interrupted installation completed : " + installFolder + count);
    return SwapRepair::kCompleted;
  }
  bool ok = true;
  for (auto e = entries.rbegin(); e != entries.rend(); ++e) ok &= UndoTarget(e->target, e->staged, e->attributes);
  if (!ok || !RemoveFileForcibly(journalPath)) {
    *error = Platform::LastError();
    Log(L"Interrupted installation could not be repaired : " + installFolder + ErrorText(*error));
    return SwapRepair::kFailed;
  }
  Log(L"Interrupted installation undone : " + installFolder + count);
  return SwapRepair::kUndone;
}
