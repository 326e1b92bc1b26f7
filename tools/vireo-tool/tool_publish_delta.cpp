#include "tool_publish_delta.h"

#include <atomic>
#include <memory>

#include "engine/delta_patch.h"
#include "manifest/trust_formats.h"
#include "manifest/update_list.h"
#include "platform/file.h"
#include "platform/safe_name.h"
#include "platform/text.h"
#include "xml/entities.h"
#include "tool_delta.h"
#include "tool_files.h"
#include "tool_server_paths.h"
#include "zip/zip_reader.h"
#include "zip/zip_source.h"

namespace VireoTool {
namespace {

std::string U8(const std::wstring& text) { return Platform::ToUtf8(text); }

class CCollect final : public IZipOutput {
 public:
  bool Write(const void* data, std::size_t size) override {
    bytes.append(static_cast<const char*>(data), size);
    return true;
  }
  std::string bytes;
};

// The installed bytes of the file as served now: the file itself, or the
// carried item of an archive. False when it is missing or unreadable.
bool ReadServedItem(const DeltaInput& input, std::string* item) {
  if (input.servedPath.empty() || !Platform::PathExists(input.servedPath)) return false;
  std::string served;
  if (!ReadWholeFile(input.servedPath, &served)) return false;
  if (!input.archive) {
    *item = std::move(served);
    return true;
  }
  ZipHandle* raw = nullptr;
  if (OpenZipSource(std::make_unique<CZipMemorySource>(served.data(), served.size()), &raw) != kZipOk) return false;
  CScopedZipHandle handle(raw);
  std::int32_t index = -1;
  ZipItem record;
  if (LocateZipItem(handle.get(), input.carriedName, &index, &record) != kZipOk) return false;
  CCollect output;
  if (UnzipItemTo(handle.get(), index, output) != kZipOk) return false;
  *item = std::move(output.bytes);
  return true;
}

// The tree path of a name below the module's server folder; empty when it
// does not resolve.
std::wstring TreeFile(const DeltaContext& context, const std::wstring& name) {
  std::vector<std::wstring> segments;
  if (!ResolveServerPath(context.serverFolder + name, &segments)) return std::wstring();
  return TreePath(context.outDir, segments);
}

struct EarlierVersion {
  Platform::Sha256Digest sha256{};
  std::string bytes;
};

// True when `patch` turns `base` into exactly `target`.
bool PatchYields(const std::string& base, const std::string& patch, const std::string& target,
                 const Platform::Sha256Digest& targetSha256) {
  const std::atomic<bool> never{false};
  std::string output;
  const DeltaPatchOutcome outcome = ApplyDeltaPatchBytes(base, patch, target.size(), never, &output);
  return outcome.Applied() && outcome.sha256 == targetSha256 && output == target;
}

}  // namespace

std::wstring PatchElementText(const PublishedPatch& patch) {
  return L"\t\t<patch base=\"" + FormatSha256Hex(patch.base) + L"\" size=\"" + std::to_wstring(patch.size) +
         L"\" sha256=\"" + FormatSha256Hex(patch.sha256) + L"\" filename=\"" + EscapeText(patch.fileName) + L"\"/>\r\n";
}

std::wstring PatchEntryName(const std::wstring& entryName, const Platform::Sha256Digest& base,
                            const Platform::Sha256Digest& target) {
  return std::wstring(kPatchFolder) + L"\\" + entryName + L"\\" + FormatSha256Hex(base).substr(0, 16) + L"-" +
         FormatSha256Hex(target).substr(0, 16) + L".zst";
}

std::wstring BaseEntryName(const std::wstring& carriedName, const Platform::Sha256Digest& base) {
  return std::wstring(kBaseFolder) + L"\\" + carriedName + L"\\" + FormatSha256Hex(base);
}

bool IsDeltaFolderName(const std::wstring& relativeName) {
  const std::wstring first = FoldCase(relativeName.substr(0, relativeName.find_first_of(L"\\/")));
  return first == FoldCase(kPatchFolder) || first == FoldCase(kBaseFolder);
}

bool PublishFileDeltas(const DeltaContext& context, const DeltaInput& input, DeltaResult* result,
                       std::string* error) {
  *result = DeltaResult();
  if (context.deltas == 0) return true;
  const std::string shown = U8(input.entryName);

  // The earlier versions, newest first: the one being replaced, then the
  // bases of the previous list's patches, as far as their bytes are kept.
  std::vector<EarlierVersion> earlier;
  const auto known = [&](const Platform::Sha256Digest& sha) {
    if (sha == input.itemSha256) return true;
    for (const auto& e : earlier) {
      if (e.sha256 == sha) return true;
    }
    return false;
  };
  EarlierVersion replaced;
  if (ReadServedItem(input, &replaced.bytes) &&
      Platform::Sha256Of(replaced.bytes.data(), replaced.bytes.size(), &replaced.sha256) && !known(replaced.sha256))
    earlier.push_back(std::move(replaced));
  if (input.previous) {
    for (const CPatchRef& ref : input.previous->Patches) {
      if (earlier.size() >= context.deltas) break;
      if (known(ref.BaseSha256)) continue;
      EarlierVersion version;
      const std::wstring path = TreeFile(context, BaseEntryName(input.carriedName, ref.BaseSha256));
      if (path.empty() || !ReadWholeFile(path, &version.bytes) ||
          !Platform::Sha256Of(version.bytes.data(), version.bytes.size(), &version.sha256) ||
          version.sha256 != ref.BaseSha256) {
        result->warnings.push_back(shown + ": the earlier version " + U8(FormatSha256Hex(ref.BaseSha256)) +
                                   " is not kept in " + U8(kBaseFolder) + "; no patch from it");
        continue;
      }
      earlier.push_back(std::move(version));
    }
  }
  if (earlier.size() > context.deltas) earlier.resize(context.deltas);

  bool warnedEncoder = false;
  for (const EarlierVersion& version : earlier) {
    const std::wstring basePath = TreeFile(context, BaseEntryName(input.carriedName, version.sha256));
    const std::wstring patchName = PatchEntryName(input.entryName, version.sha256, input.itemSha256);
    const std::wstring patchPath = TreeFile(context, patchName);
    if (basePath.empty() || patchPath.empty()) {
      *error = shown + ": no server path for its patches";
      return false;
    }
    if (!DeltaPatchFits(version.bytes.size(), input.item->size(), DeltaPatchLimits())) continue;

    // A patch already in the tree is kept when it still yields the file.
    std::string patch;
    const bool reused = Platform::PathExists(patchPath) && ReadWholeFile(patchPath, &patch) &&
                        PatchYields(version.bytes, patch, *input.item, input.itemSha256);
    if (!reused) {
      if (!CanMakeDeltaPatches()) {
        if (!warnedEncoder) result->warnings.push_back(shown + ": no patch made (this build has no zstd encoder)");
        warnedEncoder = true;
        continue;
      }
      std::string why;
      if (!MakeDeltaPatch(version.bytes, *input.item, &patch, &why)) {
        result->warnings.push_back(shown + ": no patch: " + why);
        continue;
      }
      if (!PatchYields(version.bytes, patch, *input.item, input.itemSha256)) {
        result->warnings.push_back(shown + ": the patch made does not yield the file; not published");
        continue;
      }
    }
    PublishedPatch listed;
    listed.base = version.sha256;
    listed.size = patch.size();
    listed.fileName = patchName;
    if (!Platform::Sha256Of(patch.data(), patch.size(), &listed.sha256)) {
      *error = shown + ": SHA-256 failed";
      return false;
    }
    // Worth serving only when the patch and its line in the list, which
    // every workstation fetches, come to well under the whole file (a small
    // file's patch may not). An earlier version without a patch is not
    // kept: the next release's patches start from the versions listed now.
    if ((patch.size() + PatchElementText(listed).size()) * 2 >= input.servedSize) continue;
    bool changed = false;
    const std::string& patchBytes = patch;
    for (const auto& [path, bytes] : {std::pair{&basePath, &version.bytes}, std::pair{&patchPath, &patchBytes}}) {
      if (!WriteFileIfChanged(*path, *bytes, &changed)) {
        *error = U8(*path) + ": cannot be written (" + LastErrorText() + ")";
        return false;
      }
      result->filesWritten += changed ? 1 : 0;
      result->keep.insert(FoldCase(*path));
    }
    result->patches.push_back(std::move(listed));
  }
  return true;
}

void PruneDeltaFiles(const DeltaContext& context, const std::vector<std::wstring>& entryNames,
                     const std::set<std::wstring>& keep, int* removed, std::vector<std::string>* warnings) {
  // A folder's tree path: that of a name inside it, less the name.
  const auto folderOf = [&](const std::wstring& name) {
    const std::wstring probe = TreeFile(context, name + L"\\x");
    return probe.size() < 2 ? std::wstring() : probe.substr(0, probe.size() - 2);
  };
  std::set<std::wstring> seen;
  for (const std::wstring& entryName : entryNames) {
    // A name from the previous list is checked as the updater checks it.
    if (!IsContainedRelativePath(entryName)) continue;
    for (const std::wstring& name : {std::wstring(kPatchFolder) + L"\\" + entryName,
                                     std::wstring(kBaseFolder) + L"\\" + CarriedFileName(entryName)}) {
      const std::wstring folder = folderOf(name);
      const std::wstring top = folderOf(name.substr(0, name.find(L'\\')));
      // Only an entry's own folder strictly inside the patch or base folder.
      if (folder.empty() || top.empty() || folder.size() <= top.size() + 1 ||
          FoldCase(folder.substr(0, top.size() + 1)) != FoldCase(top + L"\\"))
        continue;
      if (!seen.insert(FoldCase(folder)).second || !Platform::IsDirectory(folder)) continue;
      std::vector<std::wstring> files;
      if (!ListFilesBelow(folder, &files)) {
        warnings->push_back(U8(folder) + ": cannot be listed to remove patches no longer needed");
        continue;
      }
      for (const std::wstring& relative : files) {
        const std::wstring path = JoinPath(folder, relative);
        if (keep.count(FoldCase(path))) continue;
        if (Platform::RemoveFile(path)) {
          ++*removed;
        } else {
          warnings->push_back(U8(path) + ": no longer needed, but cannot be removed (" + LastErrorText() + ")");
        }
      }
      // The entry's folder and its parents up to the patch or base folder,
      // where they are left empty.
      std::wstring level = folder;
      while (level.size() >= top.size() && Platform::RemoveEmptyDirectory(level)) {
        const std::size_t cut = level.find_last_of(L'\\');
        if (cut == std::wstring::npos || level == top) break;
        level.erase(cut);
      }
    }
  }
}

}  // namespace VireoTool
