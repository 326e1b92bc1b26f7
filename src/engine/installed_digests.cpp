#include "engine/installed_digests.h"

#include <cstdlib>
#include <string_view>

#include "engine/engine_log.h"
#include "engine/file_replace.h"
#include "engine/module_staging.h"
#include "engine/safe_path.h"
#include "engine/update_decision.h"
#include "manifest/trust_formats.h"
#include "platform/case_fold.h"
#include "platform/file.h"
#include "platform/safe_name.h"
#include "platform/text.h"

namespace {

constexpr char kHeader[] = "vireo-digests 1";
// A suite of tens of thousands of files fits well within these.
constexpr std::size_t kMaxRecordBytes = 16 * 1024 * 1024;
constexpr std::size_t kMaxLines = 200000;

std::wstring RecordPathOf(const std::wstring& installFolder) { return installFolder + L"\\" + kInstalledDigestsName; }

// A decimal number of at most 20 digits that fits 64 bits.
bool ParseNumber(std::string_view text, std::uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

}  // namespace

CInstalledDigests CInstalledDigests::Load(const std::wstring& installFolder) {
  CInstalledDigests record;
  const std::wstring path = RecordPathOf(installFolder);
  std::string text;
  // Only the updater's own file: not through a link someone put there.
  if (Platform::IsLink(path) || !Platform::ReadWholeFile(path, kMaxRecordBytes, &text)) return record;
  std::string_view rest(text);
  const std::size_t first = rest.find('\n');
  if (first == std::string_view::npos || rest.substr(0, first) != kHeader) return record;
  rest.remove_prefix(first + 1);
  for (std::size_t count = 0; !rest.empty() && count < kMaxLines; ++count) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    std::string_view fields[4];
    std::string_view left = line;
    bool inForm = true;
    for (int i = 0; i < 3 && inForm; ++i) {
      const std::size_t tab = left.find('\t');
      inForm = tab != std::string_view::npos;
      if (!inForm) break;
      fields[i] = left.substr(0, tab);
      left.remove_prefix(tab + 1);
    }
    fields[3] = left;
    Line entry;
    if (!inForm || fields[3].empty() ||
        !ParseSha256Hex(Platform::FromUtf8(std::string(fields[0])), &entry.digest) ||
        !ParseNumber(fields[1], &entry.size) || !ParseNumber(fields[2], &entry.lastWrite))
      continue;
    entry.name = Platform::FromUtf8(std::string(fields[3]));
    if (entry.name.find(L'\t') != std::wstring::npos) continue;
    record.lines_[Platform::FoldCase(entry.name)] = std::move(entry);
  }
  return record;
}

bool CInstalledDigests::Find(const std::wstring& relativeName, std::uint64_t size, std::uint64_t lastWrite,
                             Platform::Sha256Digest* digest) const {
  const auto it = lines_.find(Platform::FoldCase(relativeName));
  if (it == lines_.end() || it->second.size != size || it->second.lastWrite != lastWrite) return false;
  *digest = it->second.digest;
  return true;
}

void CInstalledDigests::Set(const std::wstring& relativeName, std::uint64_t size, std::uint64_t lastWrite,
                            const Platform::Sha256Digest& digest) {
  if (relativeName.empty() || relativeName.find_first_of(L"\t\r\n") != std::wstring::npos) {
    Forget(relativeName);
    return;
  }
  lines_[Platform::FoldCase(relativeName)] = Line{relativeName, size, lastWrite, digest};
}

void CInstalledDigests::Forget(const std::wstring& relativeName) { lines_.erase(Platform::FoldCase(relativeName)); }

bool CInstalledDigests::Save(const std::wstring& installFolder) const {
  const std::wstring path = RecordPathOf(installFolder);
  const std::wstring fresh = path + L".new";
  std::string text = std::string(kHeader) + "\n";
  for (const auto& [key, line] : lines_) {
    text += Platform::ToUtf8(FormatSha256Hex(line.digest)) + "\t" + std::to_string(line.size) + "\t" +
            std::to_string(line.lastWrite) + "\t" + Platform::ToUtf8(line.name) + "\n";
  }
  // The new record is written only as a file of its own, never through a
  // link that stands at its name.
  bool written = (!Platform::IsLink(fresh) || Platform::RemoveLink(fresh));
  if (written) {
    Platform::CFile file;
    written = file.Create(fresh, Platform::kShareRead, Platform::CreateMode::CreateAlways) &&
              file.Write(text.data(), text.size());
    file.Close();
  }
  if (written && Platform::ReplaceWithFile(fresh, path)) return true;
  (void)RemoveFileForcibly(fresh);
  if (Platform::IsLink(path)) {
    (void)Platform::RemoveLink(path);
  } else {
    (void)RemoveFileForcibly(path);
  }
  return false;
}

void CInstalledDigests::KeepAfterSwap(const std::wstring& installFolder, const std::vector<const CFileData*>& placed,
                                      bool listNamesPatches) {
  if (!listNamesPatches && Empty()) return;
  for (const CFileData* entry : placed) {
    const std::wstring name = LocalNameOf(entry->FileName);
    if (!IsContainedRelativePath(name) || NamesStagingFolder(name)) continue;  // never put in place
    const std::wstring path = installFolder + L"\\" + name;
    std::uint64_t size = 0;
    Platform::Sha256Digest digest{};
    Platform::FileTimes times;
    std::uint64_t onDisk = 0;
    if (entry->GetPatchTarget(&size, &digest) && !IsUpdaterItself(path) &&
        Platform::GetFileTimes(path, &times, &onDisk) && onDisk == size) {
      Set(name, size, times.lastWrite, digest);
    } else {
      Forget(name);
    }
  }
  if (!Save(installFolder))
    Log(L"Swap : the record of installed files could not be written -> " + installFolder + L"\\" +
        kInstalledDigestsName);
}
