#include "engine/patch_fetch.h"

#include <memory>

#include "app/folder_table.h"
#include "engine/delta_patch.h"
#include "engine/engine_log.h"
#include "engine/file_replace.h"
#include "engine/module_staging.h"
#include "engine/published_time.h"
#include "engine/update_decision.h"
#include "manifest/trust_formats.h"
#include "platform/crypto.h"
#include "platform/file.h"

namespace {

constexpr std::size_t kHashPieceSize = 1024 * 1024;

// The SHA-256 and length of the file at `path`, read through `piece`
// (made when missing, kHashPieceSize bytes). False when it cannot be read.
// Raises the cancellation signal between pieces.
bool HashFile(const CServerConnection& server, const std::wstring& path, std::unique_ptr<char[]>& piece,
              Platform::Sha256Digest* digest, std::uint64_t* size) {
  Platform::CFile file;
  if (!file.OpenRead(path)) return false;
  if (!piece) piece.reset(new char[kHashPieceSize]);
  Platform::CSha256 hasher;
  *size = 0;
  for (;;) {
    server.CheckAbort();
    std::size_t got = 0;
    if (!file.Read(piece.get(), kHashPieceSize, &got)) return false;
    if (got == 0) break;
    if (!hasher.Update(piece.get(), got)) return false;
    *size += got;
  }
  return hasher.Finish(digest);
}

void RemoveStaged(const StagedPaths& staged) {
  (void)RemoveFileForcibly(staged.data);
  (void)RemoveFileForcibly(staged.note);
}

}  // namespace

namespace {

// The line for a patch not used.
bool FallBack(const std::wstring& fileName, const std::wstring& why) {
  Log(L"DownloadFile : " + fileName + L" not patched, " + why + L", the whole file is fetched");
  return false;
}

}  // namespace

bool CPatchFetch::FetchPatch(const std::wstring& serverPath, const CFileData& entry, StagedPatch* staged) {
  std::uint64_t targetSize = 0;
  Platform::Sha256Digest targetSha{};
  if (entry.Patches.empty() || !entry.GetPatchTarget(&targetSize, &targetSha)) return false;
  const std::wstring baseName = LocalNameOf(entry.FileName);
  const std::wstring base = entry.Folder + L"\\" + baseName;
  std::uint64_t baseSize = 0;
  Platform::Sha256Digest baseSha{};
  Platform::FileTimes baseTimes;
  const bool recorded = installed_ && Platform::GetFileTimes(base, &baseTimes, &baseSize) &&
                        installed_->Find(baseName, baseSize, baseTimes.lastWrite, &baseSha);
  if (!recorded && !HashFile(server_, base, hashPiece_, &baseSha, &baseSize)) return false;
  const CPatchRef* patch = nullptr;
  for (const CPatchRef& p : entry.Patches) {
    if (p.BaseSha256 == baseSha) patch = &p;
  }
  if (!patch) return FallBack(entry.FileName, L"the installed copy is no base of its patches");
  if (!DeltaPatchFits(baseSize, targetSize, DeltaPatchLimits()))
    return FallBack(entry.FileName, L"base and result exceed the memory a patch may use");

  CFileData patchEntry(entry.Module, patch->FileName, L"", L"", entry.Folder);
  patchEntry.Size = patch->Size;
  patchEntry.SizeDeclared = true;
  patchEntry.Sha256 = patch->Sha256;
  patchEntry.Sha256Declared = true;
  const StagedPaths stagedPatch = StagedPathsOf(StagingFolderOf(entry.Folder), patch->FileName);
  const FetchResult fetched = transfer_.DownloadFile(serverPath, patchEntry);
  if (fetched.Failed()) {
    RemoveStaged(stagedPatch);
    return FallBack(entry.FileName, L"its patch could not be fetched");
  }
  const bool item = GetFileExtension(entry.FileName) == L".zip";
  // The result's folders in staging, made as a whole file's are (never
  // through a link).
  const std::wstring output =
      StagedPathsOf(StagingFolderOf(entry.Folder), item ? entry.FileName + L".item" : entry.FileName).data;
  if (StagedPathsCrossLink(entry.Folder, entry.FileName) || !EnsureDirectory(output.substr(0, output.rfind(L'\\')))) {
    RemoveStaged(stagedPatch);
    return FallBack(entry.FileName, L"its folder in the staging folder could not be made");
  }
  *staged = StagedPatch{entry.FileName,
                        base,
                        stagedPatch,
                        output,
                        item,
                        targetSize,
                        targetSha,
                        entry.DateTime,
                        patch->Size,
                        entry.SizeDeclared ? entry.Size : targetSize,
                        static_cast<std::uint64_t>(fetched.bytes)};
  return true;
}

bool ApplyStagedPatch(const StagedPatch& patch, const std::atomic<bool>& cancel, CDeltaPatchMemory& memory) {
  const DeltaPatchOutcome applied = ApplyDeltaPatchFile(patch.base, patch.patch.data, patch.stagedPath,
                                                        patch.targetSize, cancel, memory);
  RemoveStaged(patch.patch);
  if (applied.result == DeltaPatchResult::kCancelled) {
    (void)RemoveFileForcibly(patch.stagedPath);
    return false;
  }
  if (!applied.Applied())
    return FallBack(patch.fileName, std::wstring(L"its patch failed: ") + DescribeDeltaPatchResult(applied.result));
  if (applied.sha256 != patch.targetSha) {
    (void)RemoveFileForcibly(patch.stagedPath);
    return FallBack(patch.fileName,
                    L"its patch gave other bytes than published (sha256 " + FormatSha256Hex(applied.sha256) + L")");
  }
  // The published time, so that the next run finds the file current.
  if (!patch.dateTime.empty()) (void)ApplyPublishedTime(patch.stagedPath, patch.dateTime);
  Log(L"DownloadFile : " + patch.fileName + L" came as a patch, " + std::to_wstring(patch.patchSize) + L" bytes for " +
      std::to_wstring(patch.wholeSize));
  return true;
}
