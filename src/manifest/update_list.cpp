#include "manifest/update_list.h"

#include <cstdint>

#include "app/folder_table.h"
#include "manifest/trust_formats.h"
#include "platform/file.h"
#include "platform/safe_name.h"
#include "platform/text.h"
#include "xml/xml_document.h"

namespace {

// The text ends at the first zero byte.
std::wstring DecodeListBytes(std::string_view bytes) {
  const std::size_t end = bytes.find('\0');
  return Platform::AnsiToWide(bytes.data(), end == std::string_view::npos ? bytes.size() : end);
}

// An entry name standing for an archive (".zip" in any case).
bool IsArchiveEntry(const std::wstring& name) {
  if (name.size() < 4) return false;
  std::wstring tail = name.substr(name.size() - 4);
  for (wchar_t& c : tail) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return tail == L".zip";
}

// How many "patch" elements of one entry are looked at, kept or not.
constexpr std::size_t kMaxPatchElementsRead = 4 * kMaxPatchesPerEntry;

// The "patch" children of the current "module" element.
void ReadPatches(CXmlDocument& document, CFileData* entry) {
  std::uint64_t targetSize = 0;
  Platform::Sha256Digest targetHash{};
  const bool target = entry->GetPatchTarget(&targetSize, &targetHash);
  document.EnterElement();
  for (std::size_t read = 0; read < kMaxPatchElementsRead && document.FindElement(L"patch"); ++read) {
    CPatchRef patch;
    patch.FileName = document.GetAttributeValue(L"filename");
    const bool wellFormed = ParseSha256Hex(document.GetAttributeValue(L"base"), &patch.BaseSha256) &&
                            ParseDecimalSize(document.GetAttributeValue(L"size"), &patch.Size) &&
                            ParseSha256Hex(document.GetAttributeValue(L"sha256"), &patch.Sha256) &&
                            patch.Size > 0 && IsContainedRelativePath(patch.FileName);
    bool repeated = false;
    for (const CPatchRef& kept : entry->Patches) repeated = repeated || kept.BaseSha256 == patch.BaseSha256;
    if (!target || !wellFormed || repeated || entry->Patches.size() >= kMaxPatchesPerEntry) {
      ++entry->PatchesDropped;
      continue;
    }
    entry->Patches.push_back(std::move(patch));
  }
  document.LeaveElement();
}

}  // namespace

bool CFileData::GetPatchTarget(std::uint64_t* size, Platform::Sha256Digest* sha256) const {
  if (DeclarationMalformed || !SizeDeclared || !Sha256Declared) return false;
  if (IsArchiveEntry(FileName)) {
    if (!ItemDeclared) return false;
    *size = ItemSize;
    *sha256 = ItemSha256;
    return true;
  }
  *size = Size;
  *sha256 = Sha256;
  return true;
}

std::wstring ReadTextFile(const std::wstring& path) {
  std::string bytes;
  if (!Platform::ReadWholeFile(path, SIZE_MAX, &bytes)) return std::wstring();
  return DecodeListBytes(bytes);
}

void LoadUpdateList(const std::wstring& path, CXmlDocument& document, FileDataArray& array) {
  // A malformed list still yields what the document can find.
  (void)document.SetText(ReadTextFile(path));
  ParseUpdateList(document, array);
}

void LoadUpdateListBytes(std::string_view bytes, CXmlDocument& document, FileDataArray& array) {
  (void)document.SetText(DecodeListBytes(bytes));
  ParseUpdateList(document, array);
}

void ParseUpdateList(CXmlDocument& document, FileDataArray& array) {
  if (!document.FindElement(L"update")) return;
  document.EnterElement();
  const std::wstring folder = GetFolderTable().GetModuleDir();
  while (document.FindElement(L"module")) {
    auto entry = std::make_unique<CFileData>(kUpdateListEntryModule, document.GetAttributeValue(L"filename"),
                                             document.GetAttributeValue(L"version"),
                                             document.GetAttributeValue(L"datetime"), folder);
    ReadDeclaredFileFacts(document.GetAttributeValue(L"size"), document.GetAttributeValue(L"sha256"), entry.get());
    entry->ItemDeclared = ParseDecimalSize(document.GetAttributeValue(L"item_size"), &entry->ItemSize) &&
                          ParseSha256Hex(document.GetAttributeValue(L"item_sha256"), &entry->ItemSha256);
    if (!entry->ItemDeclared) {
      entry->ItemSize = 0;
      entry->ItemSha256 = {};
    }
    ReadPatches(document, entry.get());
    array.push_back(std::move(entry));
  }
  document.LeaveElement();
}
