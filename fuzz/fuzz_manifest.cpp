// Fuzz target: the manifest and an update list from bytes to records, as the
// updater reads them (the manifest decoded as UTF-8, the list with the ANSI
// code page), and a keyed updater's judgement of the manifest: its serial,
// expiry and list pins against a state file read from the same bytes.
// Whatever the bytes, a parsed manifest names an update list for every
// module it returns, every list record is a "module" entry of the module
// folder, a value read as present is in its strict form, and a pin checks
// the same bytes the same way every time.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/folder_table.h"
#include "manifest/release_state.h"
#include "manifest/trust_formats.h"
#include "manifest/update_list.h"
#include "manifest/update_trust.h"
#include "manifest/update_manifest.h"
#include "platform/safe_name.h"
#include "xml/utf8.h"
#include "xml/xml_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::size_t total = 0;

  UpdateModuleList modules;
  ManifestAttributes attributes;
  const bool parsed = ParseManifest(Utf8ToWide(bytes), modules, &attributes);
  if (parsed && modules.empty()) __builtin_trap();
  for (const auto& module : modules) {
    if (!module || module->UpdateListPath.empty()) __builtin_trap();
    total += module->Name.size() + module->InstallPath.size() + module->ProcessImage.size();
    total += IsContainedRelativePath(module->ProcessImage) ? 1 : 0;
    if (module->ListPinMalformed && (module->ListSizeDeclared || module->ListSha256Declared)) __builtin_trap();
    // The list pinned against the same bytes: a size mismatch only when a size is declared.
    const ListPinCheck pin = CheckListPin(*module, bytes);
    if (pin == ListPinCheck::SizeMismatch && (!module->ListSizeDeclared || module->ListSize == size)) __builtin_trap();
    if (pin != CheckListPin(*module, bytes)) __builtin_trap();
  }
  using State = ManifestAttributes::State;
  if (attributes.serialState == State::Present && attributes.serial == 0) __builtin_trap();
  if (attributes.expiresState == State::Present && FormatUtcTime(attributes.expires) != attributes.expiresText)
    __builtin_trap();

  // The same bytes as a state file; what reads back writes back alike.
  CReleaseState kept;
  const bool stateRead = ParseReleaseState(bytes, &kept);
  if (stateRead) {
    CReleaseState again;
    if (!ParseReleaseState(FormatReleaseState(kept), &again) || again.serial != kept.serial ||
        again.manifestSha256 != kept.manifestSha256)
      __builtin_trap();
  }
  Platform::Sha256Digest digest{};
  for (std::size_t i = 0; i < size && i < digest.size(); ++i) digest[i] = data[i];
  const ManifestReleaseVerdict verdict =
      JudgeManifestRelease(attributes, modules, digest, stateRead ? &kept : nullptr, 0x01DC000000000000ULL);
  const bool accepted = verdict.verdict == ManifestRelease::Accepted || verdict.verdict == ManifestRelease::AcceptedUnserialed;
  if (!accepted && verdict.logLine.empty()) __builtin_trap();
  if (verdict.keep && (!accepted || verdict.newState.serial != attributes.serial)) __builtin_trap();
  if (accepted && stateRead && attributes.serial < kept.serial) __builtin_trap();

  CXmlDocument document;
  FileDataArray entries;
  LoadUpdateListBytes(bytes, document, entries);
  const std::wstring folder = GetFolderTable().GetModuleDir();
  for (const auto& entry : entries) {
    if (!entry || entry->Module != kUpdateListEntryModule || entry->Folder != folder) __builtin_trap();
    total += entry->Version.size() + entry->DateTime.size();
    total += IsContainedRelativePath(entry->FileName) ? 1 : 0;
  }
  // The document holds no more elements than the text has '<' units.
  if (static_cast<std::size_t>(document.GetElementCount()) > size) __builtin_trap();
  return total == static_cast<std::size_t>(-1) ? 1 : 0;
}
