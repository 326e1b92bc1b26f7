// A module's update list: one "module" element per published file, with its
// name, version and time stamp, read into CFileData records.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto.h"

class CXmlDocument;

// A delta patch an entry names ("patch" child of "module"): a zstd frame
// that turns the installed file whose SHA-256 is BaseSha256 into the
// entry's file (for an archive entry, into the item it carries, described by
// ItemSize and ItemSha256). It is fetched from FileName, relative to the
// list's folder like entries, and checked by Size and Sha256 as served.
struct CPatchRef {
  Platform::Sha256Digest BaseSha256{};  // "base": the installed file it applies to
  std::uint64_t Size = 0;               // "size": the patch's bytes as served
  Platform::Sha256Digest Sha256{};      // "sha256": their SHA-256
  std::wstring FileName;                // "filename": "\" separated, inside the list's folder
};

// At most this many patches are kept per entry; more are dropped.
inline constexpr std::size_t kMaxPatchesPerEntry = 8;

// One file of an update list. Copied whole when handed to the download
// operations.
class CFileData {
 public:
  CFileData() = default;
  CFileData(std::wstring module, std::wstring fileName, std::wstring version, std::wstring dateTime,
            std::wstring folder)
      : Module(std::move(module)),
        FileName(std::move(fileName)),
        Version(std::move(version)),
        DateTime(std::move(dateTime)),
        Folder(std::move(folder)) {}
  CFileData(const CFileData&) = default;
  CFileData& operator=(const CFileData&) = default;
  virtual ~CFileData() = default;

  std::wstring Module;    // "vireo viewer" for list entries; "UpdateList" for the list file itself
  std::wstring FileName;  // "filename": relative to the module's folder, "\" separated
  std::wstring Version;   // "version": the published version, empty when absent
  std::wstring DateTime;  // "datetime": the published Korea time stamp, up to 12 digits
  std::wstring Folder;    // local folder of the file, without a trailing separator

  // What the entry declares about the file as served (for an archive entry,
  // the ".zip" itself). An empty attribute counts as absent. A value outside
  // its form sets DeclarationMalformed and leaves its Declared flag false:
  // such an entry must not be installed (update_trust.h).
  std::uint64_t Size = 0;           // "size": bytes
  Platform::Sha256Digest Sha256{};  // "sha256": SHA-256 of the bytes
  bool SizeDeclared = false;
  bool Sha256Declared = false;
  bool DeclarationMalformed = false;

  // For an archive entry: the item it carries, as installed ("item_size",
  // "item_sha256"); what a patch of the entry yields. Absent or malformed:
  // ItemDeclared is false and the entry's patches are dropped.
  std::uint64_t ItemSize = 0;
  Platform::Sha256Digest ItemSha256{};
  bool ItemDeclared = false;

  // The patches the entry names, in document order, at most
  // kMaxPatchesPerEntry with distinct bases. Only kept when the entry
  // declares what the result must be (size and sha256, and for an archive
  // the item's); a "patch" element with an attribute missing or out of its
  // form, a name leaving the folder or a repeated base is dropped and
  // counted in PatchesDropped. The entry itself stays usable either way.
  std::vector<CPatchRef> Patches;
  std::uint32_t PatchesDropped = 0;

  // The size and SHA-256 a patch's result must have: the entry's own for a
  // plain file, the item's for an archive. False when undeclared.
  bool GetPatchTarget(std::uint64_t* size, Platform::Sha256Digest* sha256) const;
};

// The entries of one update list, in document order; the array owns them.
using FileDataArray = std::vector<std::unique_ptr<CFileData>>;

// The module text of entries read from an update list.
inline constexpr wchar_t kUpdateListEntryModule[] = L"vireo viewer";

// The whole file decoded with the thread's ANSI code page, up to its first
// zero byte; empty when the file cannot be opened or read.
std::wstring ReadTextFile(const std::wstring& path);

// Reads the file at `path` (ReadTextFile) into `document` and appends its
// entries to `array` (ParseUpdateList). A file that cannot be read gives no
// entries; a malformed one whatever entries the document still finds.
void LoadUpdateList(const std::wstring& path, CXmlDocument& document, FileDataArray& array);
// The same from the list's bytes, decoded as ReadTextFile decodes a file.
void LoadUpdateListBytes(std::string_view bytes, CXmlDocument& document, FileDataArray& array);

// Appends one CFileData per "module" child of the first "update" element,
// with the attributes "filename", "version" and "datetime" (empty when
// absent), the optional "size" and "sha256", "item_size" and "item_sha256",
// the "patch" children (CPatchRef), and the folder table's ModuleDir as
// folder. Other attributes and children are ignored. Other children of
// "update" are skipped; without an "update" element nothing is appended.
// Worker thread.
void ParseUpdateList(CXmlDocument& document, FileDataArray& array);
