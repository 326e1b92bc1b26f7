#include "tool_publish.h"

#include <map>
#include <set>

#include "engine/safe_path.h"
#include "manifest/local_file_info.h"
#include "manifest/trust_formats.h"
#include "manifest/update_list.h"
#include "manifest/update_manifest.h"
#include "manifest/update_trust.h"
#include "platform/cp1252.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tool_args.h"
#include "tool_files.h"
#include "tool_server_paths.h"
#include "tool_sign.h"
#include "tool_zip_writer.h"
#include "xml/entities.h"
#include "xml/xml_document.h"

namespace VireoTool {
namespace {

std::string Utf8(const std::wstring& text) { return Platform::ToUtf8(text); }

// The texts may not hold what XML 1.0 cannot carry at all.
bool IsXmlText(const std::wstring& text) {
  for (const wchar_t c : text) {
    if (c < 0x20 && c != L'\t') return false;
    if (c == 0xFFFE || c == 0xFFFF) return false;
  }
  return true;
}

const char* EncodingName(unsigned codePage) {
  switch (codePage) {
    case 65001: return "UTF-8";
    case 874: return "windows-874";
    case 932: return "Shift_JIS";
    case 936: return "GBK";
    case 949: return "EUC-KR";
    case 950: return "Big5";
    default: return codePage >= 1250 && codePage <= 1258 ? "" : nullptr;
  }
}

// A character that a Windows file name cannot hold, or that would change the
// meaning of the request URL ("#" starts a fragment, "%" an escape).
bool IsUnusableNameCharacter(wchar_t c) {
  return c < 0x20 || c == 0x7F || c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' ||
         c == L'|' || c == L'#' || c == L'%';
}

bool GlobAt(const std::wstring& p, std::size_t pi, const std::wstring& n, std::size_t ni) {
  while (pi < p.size()) {
    if (p[pi] == L'*') {
      const bool crossLevels = pi + 1 < p.size() && p[pi + 1] == L'*';
      const std::size_t rest = pi + (crossLevels ? 2 : 1);
      for (std::size_t k = ni; k <= n.size(); ++k) {
        if (GlobAt(p, rest, n, k)) return true;
        if (k < n.size() && n[k] == L'/' && !crossLevels) return false;
      }
      return false;
    }
    if (ni >= n.size()) return false;
    if (p[pi] == L'?' ? n[ni] == L'/' : p[pi] != n[ni]) return false;
    ++pi;
    ++ni;
  }
  return ni == n.size();
}

std::wstring SlashFolded(const std::wstring& text) {
  std::wstring out = FoldCase(text);
  for (wchar_t& c : out) {
    if (c == L'\\') c = L'/';
  }
  return out;
}

// Text of an update list in the code pages this build can read back.
bool DecodeCodePage(const std::string& bytes, unsigned codePage, std::wstring* text) {
  const std::string cut = bytes.substr(0, bytes.find('\0'));
  if (codePage == 65001) {
    *text = Platform::FromUtf8(cut);
    return true;
  }
  if (codePage != 1252) return false;
  text->clear();
  for (const char c : cut) text->push_back(static_cast<wchar_t>(Platform::Cp1252ToUnit(static_cast<unsigned char>(c))));
  return true;
}

struct PlannedFile {
  std::wstring source;      // file in the release
  std::wstring entryName;   // as listed
  bool archive = false;
  std::vector<std::wstring> serverSegments;
  std::uint64_t modificationTime = 0;
};

// update.xml as the tree holds it: its modules with their pins, its root
// attributes and its bytes (empty, with *exists false, for a new tree).
struct ExistingManifest {
  bool exists = false;
  std::string bytes;
  std::vector<ManifestModule> modules;
  ManifestRoot root;
};

bool ReadExistingManifest(const std::wstring& path, ExistingManifest* existing, std::string* error) {
  *existing = ExistingManifest();
  if (!Platform::PathExists(path)) return true;
  std::string bytes;
  if (!ReadWholeFile(path, &bytes)) {
    *error = Utf8(path) + ": cannot be read (" + LastErrorText() + ")";
    return false;
  }
  existing->exists = true;
  existing->bytes = bytes;
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  const std::wstring text = Platform::FromUtf8(bytes);
  CXmlDocument document;
  const bool wellFormed = document.SetText(text);
  if (!wellFormed || !document.FindElement(L"update")) {
    *error = Utf8(path) + ": not a well-formed manifest; left unchanged " + Utf8(document.GetDiagnostics());
    return false;
  }
  UpdateModuleList list;
  ManifestAttributes attributes;
  const bool parsed = ParseManifest(text, list, &attributes);
  using State = ManifestAttributes::State;
  if (attributes.serialState == State::Malformed) {
    *error = Utf8(path) + ": its serial '" + Utf8(attributes.serialText) + "' is not a number of 1 or more; left unchanged";
    return false;
  }
  if (attributes.expiresState == State::Malformed) {
    *error = Utf8(path) + ": its expires '" + Utf8(attributes.expiresText) +
             "' is not YYYY-MM-DDTHH:MM:SSZ; left unchanged";
    return false;
  }
  existing->root.serial = attributes.serial;
  if (attributes.expiresState == State::Present) existing->root.expires = attributes.expires;
  document.EnterElement();
  if (!document.FindElement()) return true;  // "update" without modules
  if (!parsed) {
    *error = Utf8(path) + ": a module lacks its update_list; left unchanged";
    return false;
  }
  for (const auto& module : list) {
    if (!module) continue;
    ManifestModule m{module->Name, module->UpdateListPath, module->InstallPath, module->ProcessImage};
    m.pinned = module->ListSizeDeclared && module->ListSha256Declared;
    m.listSize = module->ListSize;
    m.listSha256 = module->ListSha256;
    existing->modules.push_back(std::move(m));
  }
  return true;
}

// The manifest to write: with the tree's serial when nothing else changed,
// else with the next one (1 for a new tree). False when the serial cannot
// rise any more.
bool NextManifest(const ExistingManifest& existing, const std::vector<ManifestModule>& modules, ManifestRoot root,
                  bool forceNewSerial, std::string* bytes, std::uint64_t* serial, std::string* error) {
  root.serial = existing.root.serial;
  *bytes = FormatManifest(modules, root);
  if (existing.exists && root.serial != 0 && *bytes == existing.bytes && !forceNewSerial) {
    *serial = root.serial;
    return true;
  }
  if (existing.root.serial == UINT64_MAX) {
    *error = "update.xml: its serial cannot rise any further";
    return false;
  }
  root.serial = existing.root.serial + 1;
  *bytes = FormatManifest(modules, root);
  *serial = root.serial;
  return true;
}

}  // namespace

bool IsModuleName(const std::wstring& name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const wchar_t c = name[i];
    const bool letter = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || c == L'_';
    const bool other = (c >= L'0' && c <= L'9') || c == L'-' || c == L'.';
    if (!letter && (i == 0 || !other)) return false;
  }
  return true;
}

bool MatchZipGlob(const std::wstring& pattern, const std::wstring& relativeName) {
  const std::wstring p = SlashFolded(pattern);
  std::wstring n = SlashFolded(relativeName);
  if (p.find(L'/') == std::wstring::npos) n = BaseName(n);
  return GlobAt(p, 0, n, 0);
}

std::string FormatManifest(const std::vector<ManifestModule>& modules, const ManifestRoot& root) {
  std::wstring text = L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<update";
  if (root.serial != 0) text += L" serial=\"" + std::to_wstring(root.serial) + L"\"";
  if (root.expires) text += L" expires=\"" + FormatUtcTime(*root.expires) + L"\"";
  text += L">\r\n";
  for (const auto& m : modules) {
    text += L"\t<" + m.name + L">\r\n";
    text += L"\t\t<update_list";
    if (m.pinned)
      text += L" size=\"" + std::to_wstring(m.listSize) + L"\" sha256=\"" + FormatSha256Hex(m.listSha256) + L"\"";
    text += L">" + EscapeText(m.updateList) + L"</update_list>\r\n";
    text += L"\t\t<install_path>" + EscapeText(m.installPath) + L"</install_path>\r\n";
    text += L"\t\t<process_image>" + EscapeText(m.processImage) + L"</process_image>\r\n";
    text += L"\t</" + m.name + L">\r\n";
  }
  text += L"</update>\r\n";
  return Platform::ToUtf8(text);
}

bool FormatUpdateList(const std::vector<PublishedEntry>& entries, unsigned codePage, std::string* bytes,
                      std::string* error) {
  std::wstring text = L"<?xml version=\"1.0\"";
  const char* encoding = EncodingName(codePage);
  if (encoding && *encoding) {
    text += L" encoding=\"" + Platform::FromUtf8(encoding) + L"\"";
  } else if (encoding) {
    text += L" encoding=\"windows-" + std::to_wstring(codePage) + L"\"";
  }
  text += L"?>\r\n<update>\r\n";
  for (const auto& e : entries) {
    text += L"\t<module filename=\"" + EscapeText(e.fileName) + L"\" version=\"" + EscapeText(e.version) +
            L"\" datetime=\"" + EscapeText(e.dateTime) + L"\"";
    if (e.hasDigest) {
      text += L" size=\"" + std::to_wstring(e.size) + L"\" sha256=\"" + FormatSha256Hex(e.sha256) + L"\"";
    }
    if (e.hasItem) {
      text += L" item_size=\"" + std::to_wstring(e.itemSize) + L"\" item_sha256=\"" + FormatSha256Hex(e.itemSha256) +
              L"\"";
    }
    if (e.patches.empty()) {
      text += L"/>\r\n";
      continue;
    }
    text += L">\r\n";
    for (const auto& p : e.patches) text += PatchElementText(p);
    text += L"\t</module>\r\n";
  }
  text += L"</update>\r\n";
  if (!Platform::WideToCodePage(text, codePage, bytes)) {
    *error = "the update list cannot be written in code page " + std::to_string(codePage);
    return false;
  }
  return true;
}

namespace {

// Where the module's list goes and where its files are fetched from.
struct ServerLayout {
  std::wstring listPath;                  // "update_list" as written into update.xml
  std::vector<std::wstring> listSegments;  // the list's place in the server tree
  std::wstring serverFolder;              // request folder of the module's files
};

// Step 1: everything that can be refused before a file is examined. Loads
// the signing key when one is given.
bool ValidateOptions(const PublishOptions& options, ServerLayout* layout, CSigningKey* key, std::string* error) {
  if (!IsModuleName(options.module)) {
    *error = "module name '" + Utf8(options.module) + "' is not usable as an element name";
    return false;
  }
  if (!IsXmlText(options.installPath) || !IsXmlText(options.processImage) || !IsXmlText(options.updateListPath)) {
    *error = "install path, process image and update list may not hold control characters";
    return false;
  }
  if (options.stampLength < 1 || options.stampLength > 12) {
    *error = "stamp length must be 1 to 12";
    return false;
  }
  std::string probe;
  if (!Platform::WideToCodePage(L"a", options.codePage, &probe)) {
    *error = "code page " + std::to_string(options.codePage) + " is not available in this build";
    return false;
  }
  if (!Platform::IsDirectory(options.releaseDir)) {
    *error = Utf8(options.releaseDir) + ": not a folder";
    return false;
  }
  const std::wstring releaseKey = SlashFolded(options.releaseDir) + L"/";
  const std::wstring outKey = SlashFolded(options.outDir) + L"/";
  if (outKey.compare(0, releaseKey.size(), releaseKey) == 0) {
    *error = "the output folder may not lie inside the release folder";
    return false;
  }
  layout->listPath = options.updateListPath.empty() ? L"/update/" + options.module + L"/UpdateList.xml"
                                                    : options.updateListPath;
  const std::wstring listRequest = UpdateListRequestPath(L"/", layout->listPath);
  if (!ResolveServerPath(listRequest, &layout->listSegments)) {
    *error = "update list path '" + Utf8(layout->listPath) + "' does not name a file inside the server tree";
    return false;
  }
  layout->serverFolder = ServerFolderOf(listRequest);
  if (!options.signKeyPath.empty() && !key->Load(options.signKeyPath, error)) return false;
  return true;
}

// True when two server paths name the same file of the tree (the server
// may fold case).
bool SameTreePlace(const std::vector<std::wstring>& a, const std::vector<std::wstring>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

// Step 2: examines every file of the release (names, code page, clashes,
// version and time stamp) and lists it; nothing is written.
bool PlanFiles(const PublishOptions& options, const ServerLayout& layout, std::vector<PlannedFile>* planned,
               std::vector<PublishedEntry>* entries, std::string* error) {
  std::vector<std::wstring> files;
  if (!ListFilesBelow(options.releaseDir, &files)) {
    *error = Utf8(options.releaseDir) + ": cannot be listed (" + LastErrorText() + ")";
    return false;
  }
  std::vector<std::wstring> listSignature = layout.listSegments;
  listSignature.back() = SignaturePathOf(listSignature.back());
  std::map<std::wstring, std::wstring> claimed;  // folded server name or carried name -> file
  for (const std::wstring& relative : files) {
    PlannedFile file;
    file.source = JoinPath(options.releaseDir, relative);
    for (const auto& glob : options.zipGlobs) file.archive = file.archive || MatchZipGlob(glob, relative);
    file.entryName = file.archive ? relative + L".zip" : relative;
    const std::string shown = Utf8(relative);
    for (const wchar_t c : relative) {
      if (IsUnusableNameCharacter(c)) {
        *error = "'" + shown + "': its name holds a character the updater cannot request or install";
        return false;
      }
    }
    std::string encoded;
    if (!Platform::WideToCodePage(file.entryName, options.codePage, &encoded)) {
      *error = "'" + shown + "': its name cannot be written in code page " + std::to_string(options.codePage);
      return false;
    }
    if (!IsContainedRelativePath(file.entryName)) {
      *error = "'" + shown + "': the updater would not install this name";
      return false;
    }
    if (!ResolveServerPath(layout.serverFolder + file.entryName, &file.serverSegments)) {
      *error = "'" + shown + "': no server path";
      return false;
    }
    if (SameTreePlace(file.serverSegments, layout.listSegments)) {
      *error = "'" + shown + "' has the update list's own name and place";
      return false;
    }
    if (SameTreePlace(file.serverSegments, listSignature)) {
      *error = "'" + shown + "' would take the place of the update list's signature";
      return false;
    }
    if (file.serverSegments.size() == 1 &&
        (FoldCase(file.serverSegments[0]) == L"UPDATE.XML" || FoldCase(file.serverSegments[0]) == L"UPDATE.XML.SIG")) {
      *error = "'" + shown + "' would take the place of update.xml or its signature";
      return false;
    }
    if (IsDeltaFolderName(relative)) {
      *error = "'" + shown + "': the folders " + Utf8(kPatchFolder) + " and " + Utf8(kBaseFolder) +
               " of the server tree hold patches";
      return false;
    }
    if (!file.archive && IsArchiveName(relative)) {
      *error = "'" + shown + "': a name ending in .zip is taken for an archive by the updater";
      return false;
    }
    for (const std::wstring& key : {FoldCase(file.entryName), L"\x1" + FoldCase(relative)}) {
      auto [it, fresh] = claimed.emplace(key, relative);
      if (!fresh) {
        *error = "'" + shown + "' and '" + Utf8(it->second) + "' would be published under the same name";
        return false;
      }
    }
    Platform::FileTimes times;
    if (!Platform::GetFileTimes(file.source, &times)) {
      *error = "'" + shown + "': its time cannot be read (" + LastErrorText() + ")";
      return false;
    }
    file.modificationTime = times.lastWrite;
    const CLocalFileInfo info(file.source);
    if (info.LastWriteTimeUtc.year == 0) {
      *error = "'" + shown + "': its time cannot be read";
      return false;
    }
    // The same facts the updater reads from the installed copy.
    PublishedEntry entry;
    entry.fileName = file.entryName;
    entry.version = info.FileVersion;
    entry.dateTime = MakeLocalTimeStamp(info, L"", options.stampLength);
    entries->push_back(std::move(entry));
    planned->push_back(std::move(file));
  }
  return true;
}

// Step 3: writes every file as served (a one-file archive for --zip
// matches) and records its size and SHA-256 in its entry.
bool WriteServedFiles(const PublishOptions& options, const ServerLayout& layout, const std::vector<PlannedFile>& planned,
                      const FileDataArray& previous, std::vector<PublishedEntry>* entries, PublishReport* report,
                      std::set<std::wstring>* keep, std::string* error) {
  int* written = &report->filesWritten;
  const DeltaContext deltaContext{options.outDir, layout.serverFolder, options.deltas};
  std::map<std::wstring, const CFileData*> previousByName;
  for (const auto& entry : previous) previousByName.emplace(FoldCase(entry->FileName), entry.get());
  if (!EnsureFolderChain(options.outDir)) {
    *error = Utf8(options.outDir) + ": cannot be created (" + LastErrorText() + ")";
    return false;
  }
  for (std::size_t i = 0; i < planned.size(); ++i) {
    const PlannedFile& file = planned[i];
    std::string bytes;
    if (!ReadWholeFile(file.source, &bytes)) {
      *error = Utf8(file.source) + ": cannot be read (" + LastErrorText() + ")";
      return false;
    }
    PublishedEntry& entry = (*entries)[i];
    const std::string item = bytes;
    Platform::Sha256Digest itemSha256{};
    if (!Platform::Sha256Of(item.data(), item.size(), &itemSha256)) {
      *error = Utf8(file.source) + ": SHA-256 failed";
      return false;
    }
    if (file.archive) {
      std::string storedName;
      (void)Platform::WideToCodePage(BaseName(CarriedFileName(file.entryName)), options.codePage, &storedName);
      std::string archive;
      if (!BuildZipArchive({{storedName, bytes, file.modificationTime}}, &archive, error)) return false;
      bytes = std::move(archive);
      entry.hasItem = true;
      entry.itemSize = item.size();
      entry.itemSha256 = itemSha256;
    }
    entry.size = bytes.size();
    if (!Platform::Sha256Of(bytes.data(), bytes.size(), &entry.sha256)) {
      *error = Utf8(file.source) + ": SHA-256 failed";
      return false;
    }
    entry.hasDigest = true;
    const std::wstring target = TreePath(options.outDir, file.serverSegments);
    // Patches from the version being replaced (still at `target`) and the
    // ones before it.
    DeltaInput deltaInput;
    deltaInput.entryName = file.entryName;
    deltaInput.carriedName = CarriedFileName(file.entryName);
    deltaInput.servedPath = target;
    deltaInput.archive = file.archive;
    deltaInput.item = &item;
    deltaInput.itemSha256 = itemSha256;
    deltaInput.servedSize = bytes.size();
    const auto old = previousByName.find(FoldCase(file.entryName));
    deltaInput.previous = old == previousByName.end() ? nullptr : old->second;
    DeltaResult deltas;
    if (!PublishFileDeltas(deltaContext, deltaInput, &deltas, error)) return false;
    entry.patches = std::move(deltas.patches);
    report->patchesListed += static_cast<int>(entry.patches.size());
    *written += deltas.filesWritten;
    keep->insert(deltas.keep.begin(), deltas.keep.end());
    for (auto& warning : deltas.warnings) report->warnings.push_back(std::move(warning));
    bool changed = false;
    if (!WriteFileIfChanged(target, bytes, &changed)) {
      *error = Utf8(target) + ": cannot be written (" + LastErrorText() + ")";
      return false;
    }
    *written += changed ? 1 : 0;
  }
  return true;
}

// The module's previous update list, as published before this run; empty
// when there is none or it cannot be read in the code page (a warning).
FileDataArray ReadPreviousList(const PublishOptions& options, const ServerLayout& layout, PublishReport* report) {
  FileDataArray old;
  const std::wstring listTarget = TreePath(options.outDir, layout.listSegments);
  std::string oldBytes;
  std::wstring oldText;
  if (!ReadWholeFile(listTarget, &oldBytes)) return old;
  if (!DecodeCodePage(oldBytes, options.codePage, &oldText)) {
    report->warnings.push_back("files and patches that the previous update list named are not cleaned up in code page " +
                               std::to_string(options.codePage));
    return old;
  }
  CXmlDocument document;
  (void)document.SetText(oldText);
  ParseUpdateList(document, old);
  return old;
}

// Step 4: removes the files that the module's previous list named and the
// new one does not. Failures are warnings: the new tree is complete anyway.
void PruneStaleFiles(const PublishOptions& options, const ServerLayout& layout, const FileDataArray& old,
                     const std::vector<PublishedEntry>& entries, PublishReport* report) {
  std::set<std::wstring> current;
  for (const auto& e : entries) current.insert(FoldCase(e.fileName));
  for (const auto& entry : old) {
    std::vector<std::wstring> segments;
    if (current.count(FoldCase(entry->FileName)) || !IsContainedRelativePath(entry->FileName) ||
        !ResolveServerPath(layout.serverFolder + entry->FileName, &segments))
      continue;
    const std::wstring stale = TreePath(options.outDir, segments);
    if (Platform::PathExists(stale) && !Platform::IsDirectory(stale)) {
      if (Platform::RemoveFile(stale)) {
        ++report->filesRemoved;
      } else {
        report->warnings.push_back(Utf8(stale) + ": no longer listed, but cannot be removed (" + LastErrorText() +
                                   ")");
      }
    }
  }
}

// The signature beside a document just written. With a key: kept when it
// already verifies (signatures are randomised, so re-signing would change
// an unchanged tree), otherwise made anew. Without a key: a signature of a
// document that changed no longer fits and is removed.
bool UpdateSignature(const std::wstring& document, const std::string& bytes, bool documentChanged,
                     const CSigningKey* key, PublishReport* report, std::string* error) {
  const std::wstring path = SignaturePathOf(document);
  std::string existing;
  const bool present = Platform::PathExists(path) && ReadWholeFile(path, &existing);
  if (!key) {
    if (present && documentChanged) {
      if (Platform::RemoveFile(path)) {
        ++report->filesRemoved;
        report->warnings.push_back(Utf8(path) + ": removed; it signed the previous " + Utf8(BaseName(document)) +
                                   " (publish with --sign-key to sign the new one)");
      } else {
        report->warnings.push_back(Utf8(path) + ": no longer fits its document, but cannot be removed (" +
                                   LastErrorText() + ")");
      }
    }
    return true;
  }
  CUpdateKey publicKey;
  publicKey.state = UpdateKeyState::Keyed;
  publicKey.keys = {key->PublicKey()};
  if (present && VerifyDocumentSignature(publicKey, bytes, existing) == DocumentTrust::Trusted) return true;
  std::string signature;
  if (!key->Sign(bytes, &signature, error)) return false;
  if (VerifyDocumentSignature(publicKey, bytes, signature) != DocumentTrust::Trusted) {
    *error = Utf8(document) + ": the new signature does not verify";
    return false;
  }
  bool changed = false;
  if (!WriteFileIfChanged(path, signature, &changed)) {
    *error = Utf8(path) + ": cannot be written (" + LastErrorText() + ")";
    return false;
  }
  report->filesWritten += changed ? 1 : 0;
  return true;
}

// Step 5: the update list, then update.xml with this module added or
// replaced, each followed by its signature.
bool WriteDocuments(const PublishOptions& options, const ServerLayout& layout, const std::string& listBytes,
                    const std::string& manifestBytes, const CSigningKey* key, PublishReport* report,
                    std::string* error) {
  const std::wstring listTarget = TreePath(options.outDir, layout.listSegments);
  const std::wstring manifestPath = JoinPath(options.outDir, L"update.xml");
  for (const auto& [path, bytes] : {std::pair{listTarget, &listBytes}, std::pair{manifestPath, &manifestBytes}}) {
    bool changed = false;
    if (!WriteFileIfChanged(path, *bytes, &changed)) {
      *error = Utf8(path) + ": cannot be written (" + LastErrorText() + ")";
      return false;
    }
    report->filesWritten += changed ? 1 : 0;
    if (!UpdateSignature(path, *bytes, changed, key, report, error)) return false;
  }
  return true;
}

}  // namespace

bool PublishModule(const PublishOptions& options, PublishReport* report, std::string* error) {
  *report = PublishReport();
  ServerLayout layout;
  CSigningKey key;
  if (!ValidateOptions(options, &layout, &key, error)) return false;
  std::vector<PlannedFile> planned;
  if (!PlanFiles(options, layout, &planned, &report->entries, error)) return false;
  // The list's names must be writable, and update.xml readable, before
  // anything is written; the list is formatted again once sizes and hashes
  // are known.
  std::string listBytes;
  if (!FormatUpdateList(report->entries, options.codePage, &listBytes, error)) return false;
  ExistingManifest existing;
  if (!ReadExistingManifest(JoinPath(options.outDir, L"update.xml"), &existing, error)) return false;

  const FileDataArray previous = ReadPreviousList(options, layout, report);
  std::set<std::wstring> deltaFiles;
  if (!WriteServedFiles(options, layout, planned, previous, &report->entries, report, &deltaFiles, error)) return false;
  PruneStaleFiles(options, layout, previous, report->entries, report);
  std::vector<std::wstring> entryNames;
  for (const auto& e : report->entries) entryNames.push_back(e.fileName);
  for (const auto& e : previous) entryNames.push_back(e->FileName);
  PruneDeltaFiles(DeltaContext{options.outDir, layout.serverFolder, options.deltas}, entryNames, deltaFiles,
                  &report->filesRemoved, &report->warnings);
  if (!FormatUpdateList(report->entries, options.codePage, &listBytes, error)) return false;
  // The manifest pins the list's exact bytes.
  ManifestModule self{options.module, layout.listPath, options.installPath, options.processImage};
  self.pinned = true;
  self.listSize = listBytes.size();
  if (!Platform::Sha256Of(listBytes.data(), listBytes.size(), &self.listSha256)) {
    *error = "the update list's SHA-256 failed";
    return false;
  }
  std::vector<ManifestModule> modules = existing.modules;
  bool replaced = false;
  for (auto& m : modules) {
    if (m.name == options.module) {
      m = self;
      replaced = true;
    }
  }
  if (!replaced) modules.push_back(self);
  ManifestRoot root = existing.root;
  if (options.expiresAt) root.expires = options.expiresAt;
  std::string manifestBytes;
  if (!NextManifest(existing, modules, root, false, &manifestBytes, &report->serial, error)) return false;
  return WriteDocuments(options, layout, listBytes, manifestBytes, options.signKeyPath.empty() ? nullptr : &key,
                        report, error);
}

bool ResignTree(const std::wstring& root, const std::wstring& signKeyPath, std::optional<std::uint64_t> expiresAt,
                PublishReport* report, std::string* error) {
  *report = PublishReport();
  CSigningKey key;
  if (!key.Load(signKeyPath, error)) return false;
  const std::wstring manifestPath = JoinPath(root, L"update.xml");
  ExistingManifest existing;
  if (!ReadExistingManifest(manifestPath, &existing, error)) return false;
  if (!existing.exists || existing.modules.empty()) {
    *error = Utf8(manifestPath) + ": no manifest with modules to sign";
    return false;
  }
  std::vector<ManifestModule> modules = existing.modules;
  for (auto& m : modules) {
    std::vector<std::wstring> segments;
    std::string bytes;
    if (!ResolveServerPath(UpdateListRequestPath(L"/", m.updateList), &segments) ||
        !ReadWholeFile(TreePath(root, segments), &bytes)) {
      *error = "module " + Utf8(m.name) + ": its update list " + Utf8(m.updateList) + " cannot be read in the tree";
      return false;
    }
    m.pinned = true;
    m.listSize = bytes.size();
    if (!Platform::Sha256Of(bytes.data(), bytes.size(), &m.listSha256)) {
      *error = "module " + Utf8(m.name) + ": SHA-256 failed";
      return false;
    }
  }
  ManifestRoot next = existing.root;
  if (expiresAt) next.expires = expiresAt;
  std::string bytes;
  if (!NextManifest(existing, modules, next, true, &bytes, &report->serial, error)) return false;
  bool changed = false;
  if (!WriteFileIfChanged(manifestPath, bytes, &changed)) {
    *error = Utf8(manifestPath) + ": cannot be written (" + LastErrorText() + ")";
    return false;
  }
  report->filesWritten += changed ? 1 : 0;
  return UpdateSignature(manifestPath, bytes, changed, &key, report, error);
}

bool ExpiryFromOptions(const std::string& in, const std::string& at, std::uint64_t now,
                       std::optional<std::uint64_t>* expires, std::string* error) {
  expires->reset();
  if (!in.empty() && !at.empty()) {
    *error = "give --expires-in or --expires-at, not both";
    return false;
  }
  constexpr std::uint64_t kTicksPerSecond = 10000000ULL;
  std::uint64_t value = 0;
  if (!in.empty()) {
    if (!ParseDuration(in, &value)) {
      *error = "--expires-in '" + in + "' is not a duration such as 12h or 7d";
      return false;
    }
    value += now - now % kTicksPerSecond;
  } else if (!at.empty()) {
    if (!ParseUtcTime(Platform::FromUtf8(at), &value)) {
      *error = "--expires-at '" + at + "' is not a UTC time YYYY-MM-DDTHH:MM:SSZ";
      return false;
    }
    if (value <= now) {
      *error = "--expires-at " + at + " has already passed";
      return false;
    }
  } else {
    return true;
  }
  *expires = value;
  return true;
}

bool ParseDuration(const std::string& text, std::uint64_t* ticks) {
  if (text.size() < 2 || text.size() > 8) return false;
  std::uint64_t seconds = 0;
  switch (text.back()) {
    case 's': seconds = 1; break;
    case 'm': seconds = 60; break;
    case 'h': seconds = 3600; break;
    case 'd': seconds = 86400; break;
    default: return false;
  }
  unsigned long count = 0;
  if (!ParseNumber(text.substr(0, text.size() - 1), 1, 36600UL * 86400 / seconds, &count)) return false;
  *ticks = count * seconds * 10000000ULL;
  return true;
}

}  // namespace VireoTool
