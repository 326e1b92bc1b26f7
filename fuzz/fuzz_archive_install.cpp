// Fuzz target: archive installation (UnZip into staging, then the swap's
// renames) of arbitrary bytes into a temporary folder. Nothing may be written outside that folder, and no more
// bytes may be installed than the archive's readable items declare.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/folder_table.h"
#include "engine/archive_install.h"
#include "engine/module_staging.h"
#include "engine/module_swap.h"
#include "platform/file.h"
#include "zip/zip_reader.h"
#include "zip/zip_source.h"

namespace {

struct Tree {
  std::uint64_t bytes = 0;
  int entries = 0;
};

// Adds up the files below `folder`; with `remove`, deletes them and their
// folders on the way back.
void Walk(const std::wstring& folder, Tree* tree, bool remove) {
  std::vector<Platform::DirectoryEntry> entries;
  if (!Platform::ListDirectory(folder, &entries)) return;
  for (const Platform::DirectoryEntry& e : entries) {
    const std::wstring path = folder + L"\\" + e.name;
    ++tree->entries;
    if (e.isDirectory) {
      Walk(path, tree, remove);
      if (remove) (void)Platform::RemoveEmptyDirectory(path);
      continue;
    }
    Platform::CFile file;
    std::uint64_t size = 0;
    if (file.OpenRead(path) && file.GetSize(&size)) tree->bytes += size;
    file.Close();
    if (remove) {
      (void)Platform::SetAttributes(path, Platform::kAttrNormal);
      (void)Platform::RemoveFile(path);
    }
  }
}

// Three empty folders under the temporary folder are left behind when the
// fuzzer ends (libFuzzer leaves without running exit handlers), so each run
// takes a root of its own: one named after this process, and after the first
// free number when an earlier run of the same pid left its root behind.
const std::wstring& Root() {
  static const std::wstring root = [] {
    const std::wstring base =
        Platform::GetTempFolder() + L"\\vireo-fuzz-install-" + std::to_wstring(::getpid()) + L"-";
    for (int n = 0; n < 1000; ++n) {
      const std::wstring r = base + std::to_wstring(n);
      if (!Platform::MakeDirectory(r)) continue;
      if (!Platform::MakeDirectory(r + L"\\cage") || !Platform::MakeDirectory(r + L"\\cage\\app")) break;
      return r;
    }
    std::abort();
  }();
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // What the archive declares: the sizes of the items whose records can be
  // read (the others are skipped by the installation).
  std::uint64_t declared = 0;
  {
    ZipHandle* raw = nullptr;
    if (OpenZipSource(std::make_unique<CZipMemorySource>(data, size), &raw) == kZipOk) {
      CScopedZipHandle zip(raw);
      ZipItem count;
      if (GetZipItem(zip.get(), -1, &count) != kZipOk) std::abort();
      for (std::int32_t i = 0; i < count.index; ++i) {
        ZipItem item;
        if (GetZipItem(zip.get(), i, &item) == kZipOk) declared += item.uncompressedSize;
      }
    }
  }

  // The archive is staged and installed as a module's swap does it:
  // committed when every item went in, undone (and the staging folder
  // removed) when one did not.
  const std::wstring& root = Root();
  const std::wstring app = root + L"\\cage\\app";
  const std::wstring staged = StagedPathsOf(StagingFolderOf(app), L"pack.zip").data;
  if (!EnsureDirectory(staged.substr(0, staged.rfind(L'\\')))) std::abort();
  Platform::CFile archive;
  if (!archive.Create(staged) || !archive.Write(data, size)) std::abort();
  archive.Close();
  bool installed = false;
  {
    // Unpacked into staging first, then renamed in within the swap.
    Platform::ErrorCode error = 0;
    std::vector<PreparedItem> items;
    if (!MakeStagedItemsFolder(app, L"pack.zip")) std::abort();
    const bool unpacked =
        UnZip(staged, app, StagedItemsFolderOf(StagingFolderOf(app), L"pack.zip"), {}, &items, &error);
    CModuleSwap swap(app);
    if (!swap.Start(&error)) std::abort();
    installed = unpacked && InstallArchiveItems(items, swap, &error);
    if (installed) {
      RemoveSwapLeftovers(swap.Commit());
    } else if (!swap.Undo() || !RemoveStagingFolder(app)) {
      __builtin_trap();  // nothing here is held: an undo cannot fail
    }
  }

  // The install folder sits two levels below the root, so that a name that
  // climbs out shows here: each level holds only the next. The install
  // folder holds no more than was declared (the staged archive is gone),
  // and nothing at all after an undo.
  for (const wchar_t* level : {L"", L"\\cage"}) {
    std::vector<Platform::DirectoryEntry> inside;
    if (!Platform::ListDirectory(root + level, &inside) || inside.size() != 1) __builtin_trap();
  }
  if (Platform::PathExists(StagingFolderOf(app))) __builtin_trap();
  Tree tree;
  Walk(app, &tree, true);
  if (tree.bytes > declared) __builtin_trap();
  if (!installed && tree.bytes != 0) __builtin_trap();
  return 0;
}
