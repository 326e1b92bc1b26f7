#include "engine/module_staging.h"

#include <vector>

#include "app/folder_table.h"
#include "engine/engine_log.h"
#include "engine/file_replace.h"
#include "platform/case_fold.h"
#include "platform/safe_name.h"
#include "platform/text.h"

namespace {

constexpr wchar_t kJournalName[] = L"journal";
constexpr wchar_t kFilesFolder[] = L"files";
constexpr wchar_t kNotesFolder[] = L"resume";
constexpr wchar_t kItemsFolder[] = L"items";
// Staged names are list names, whose depth the name check bounds by length;
// a folder tree deeper than this is not ours.
constexpr int kMaxRemoveDepth = 128;

// Removes a link found in the staging folder, as a link.
bool RemoveStagingLink(const std::wstring& path) {
  const bool removed = Platform::RemoveLink(path);
  const Platform::ErrorCode error = Platform::LastError();
  Log(removed ? L"Staging : link removed, not followed -> " + path
              : L"Staging : link could not be removed -> " + path + ErrorText(error));
  Platform::SetLastErrorCode(error);
  return removed;
}

// Deletes the folder's files and folders, depth first, and links as links
// (never what they lead to). True when it is gone.
bool RemoveTree(const std::wstring& folder, int depth) {
  if (depth > kMaxRemoveDepth) return false;
  if (Platform::IsLink(folder)) return RemoveStagingLink(folder);
  std::vector<Platform::DirectoryEntry> entries;
  if (!Platform::ListDirectory(folder, &entries)) return !Platform::PathExists(folder);
  bool ok = true;
  for (const auto& e : entries) {
    const std::wstring path = folder + L"\\" + e.name;
    if (e.isLink) {
      ok &= RemoveStagingLink(path);
    } else {
      ok &= e.isDirectory ? RemoveTree(path, depth + 1) : RemoveFileForcibly(path);
    }
  }
  return Platform::RemoveEmptyDirectory(folder) && ok;
}

// Whether the folder tree holds any file (a link counts as one: it is not
// followed).
bool HoldsFiles(const std::wstring& folder, int depth) {
  std::vector<Platform::DirectoryEntry> entries;
  if (depth > kMaxRemoveDepth || !Platform::ListDirectory(folder, &entries)) return true;
  for (const auto& e : entries) {
    if (!e.isDirectory || e.isLink || HoldsFiles(folder + L"\\" + e.name, depth + 1)) return true;
  }
  return false;
}

// The first "\"- or "/"-separated part of `name`.
std::wstring FirstPart(const std::wstring& name) { return name.substr(0, name.find_first_of(L"\\/")); }

}  // namespace

bool NamesStagingFolder(const std::wstring& relativeName) {
  // The record of installed files, at the top of the install folder.
  if (Platform::EqualsIgnoringCase(relativeName, kInstalledDigestsName) ||
      Platform::EqualsIgnoringCase(relativeName, std::wstring(kInstalledDigestsName) + L".new"))
    return true;
  return AnyPathPart(relativeName,
                     [](std::wstring_view part) { return Platform::EqualsIgnoringCase(part, kStagingFolderName); });
}

bool ReachesStagingFolder(const std::wstring& installFolder, const std::wstring& relativeName) {
  if (NamesStagingFolder(relativeName)) return true;
  const std::wstring first = FirstPart(relativeName);
  if (first.find(L'~') == std::wstring::npos) return false;
  const std::wstring staging = Platform::ComparablePath(StagingFolderOf(installFolder));
  return !staging.empty() && Platform::ComparablePath(installFolder + L"\\" + first) == staging;
}

bool IsInsideStagingFolder(const std::wstring& folder) {
  // Resolved, the path's parts are long names, folded.
  const std::wstring resolved = Platform::ComparablePath(folder);
  return NamesStagingFolder(resolved.empty() ? folder : resolved);
}

bool CrossesLink(const std::wstring& base, const std::wstring& relativePath,
                 std::unordered_set<std::wstring>* noLinks) {
  for (std::size_t end = relativePath.find_first_of(L"\\/"); end != std::wstring::npos;
       end = relativePath.find_first_of(L"\\/", end + 1)) {
    std::wstring folder = base + L"\\" + relativePath.substr(0, end);
    if (noLinks && noLinks->count(folder) != 0) continue;
    if (Platform::IsLink(folder)) return true;
    if (noLinks) noLinks->insert(std::move(folder));
  }
  return false;
}

bool StagedPathsCrossLink(const std::wstring& installFolder, const std::wstring& fileName) {
  // The staging folder and its two folders were cleared of links when the
  // module began (RemoveStagingLinks): only the entry's own folders are
  // asked about, so a name without a folder part costs no question.
  const std::wstring staging = StagingFolderOf(installFolder);
  return CrossesLink(staging + L"\\" + kFilesFolder, fileName) ||
         CrossesLink(staging + L"\\" + kNotesFolder, fileName);
}

bool RemoveStagingLinks(const std::wstring& installFolder) {
  const std::wstring staging = StagingFolderOf(installFolder);
  if (Platform::IsLink(staging)) return RemoveStagingLink(staging);
  bool ok = true;
  for (const wchar_t* name : {kFilesFolder, kNotesFolder, kItemsFolder, kJournalName}) {
    if (Platform::IsLink(staging + L"\\" + name)) ok &= RemoveStagingLink(staging + L"\\" + name);
  }
  return ok;
}

std::wstring StagingFolderOf(const std::wstring& installFolder) { return installFolder + L"\\" + kStagingFolderName; }

std::wstring JournalPathOf(const std::wstring& installFolder) {
  return StagingFolderOf(installFolder) + L"\\" + kJournalName;
}

StagedPaths StagedPathsOf(const std::wstring& stagingFolder, const std::wstring& fileName) {
  return {stagingFolder + L"\\" + kFilesFolder + L"\\" + fileName,
          stagingFolder + L"\\" + kNotesFolder + L"\\" + fileName};
}

std::wstring StagedItemsFolderOf(const std::wstring& stagingFolder, const std::wstring& fileName) {
  return stagingFolder + L"\\" + kItemsFolder + L"\\" + fileName;
}

bool MakeStagedItemsFolder(const std::wstring& installFolder, const std::wstring& fileName) {
  const std::wstring itemsRoot = StagingFolderOf(installFolder) + L"\\" + kItemsFolder;
  // The archive's own folders below the items folder: a link among them is
  // removed as a link, and one that will not go stops the unpacking.
  for (std::size_t end = fileName.find_first_of(L"\\/"); end != std::wstring::npos;
       end = fileName.find_first_of(L"\\/", end + 1)) {
    const std::wstring folder = itemsRoot + L"\\" + fileName.substr(0, end);
    if (Platform::IsLink(folder) && !RemoveStagingLink(folder)) return false;
  }
  const std::wstring folder = StagedItemsFolderOf(StagingFolderOf(installFolder), fileName);
  if (Platform::PathExists(folder) && !RemoveTree(folder, 0)) return false;
  return EnsureDirectory(folder);
}

std::uint64_t StagedLength(const std::wstring& path) {
  Platform::CFile file;
  std::uint64_t size = 0;
  if (!file.OpenRead(path) || !file.GetSize(&size)) return 0;
  return size;
}

bool FlushStagedFile(const std::wstring& path) {
  Platform::CFile file;
  return file.Create(path, Platform::kShareRead, Platform::CreateMode::OpenExisting) && file.Flush();
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
  if (Platform::IsLink(staging)) return RemoveStagingLink(staging);
  if (!Platform::PathExists(staging)) return true;
  bool ok = RemoveTree(staging + L"\\" + kFilesFolder, 0) & RemoveTree(staging + L"\\" + kNotesFolder, 0) &
            RemoveTree(staging + L"\\" + kItemsFolder, 0);
  const std::wstring journal = JournalPathOf(installFolder);
  ok &= Platform::IsLink(journal) ? RemoveStagingLink(journal) : RemoveFileForcibly(journal);
  return RemoveTree(staging, 0) && ok;
}

void RemoveStagingFolderIfEmpty(const std::wstring& installFolder) {
  const std::wstring staging = StagingFolderOf(installFolder);
  if (Platform::IsDirectory(staging) && !HoldsFiles(staging, 0)) (void)RemoveTree(staging, 0);
}
