#include "tool_check.h"

#include <atomic>
#include <map>

#include "engine/delta_patch.h"
#include "engine/published_time.h"
#include "engine/safe_path.h"
#include "manifest/local_file_info.h"
#include "manifest/pe_version.h"
#include "manifest/trust_formats.h"
#include "manifest/update_list.h"
#include "manifest/update_manifest.h"
#include "manifest/update_trust.h"
#include "manifest/version_compare.h"
#include "platform/crypto.h"
#include "platform/text.h"
#include "tool_publish_delta.h"
#include "tool_server.h"
#include "tool_server_paths.h"
#include "xml/xml_document.h"
#include "zip/zip_reader.h"

namespace VireoTool {
namespace {

std::string U8(const std::wstring& text) { return Platform::ToUtf8(text); }

std::string Hex(std::int32_t code) {
  char text[16];
  if (code < 0) {
    std::snprintf(text, sizeof text, "%d", static_cast<int>(code));
  } else {
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(code));
  }
  return text;
}

// Counts the bytes of an extraction and keeps them when asked to.
class CCollectOutput final : public IZipOutput {
 public:
  explicit CCollectOutput(bool keep) : keep_(keep) {}
  bool Write(const void* data, std::size_t size) override {
    if (keep_) bytes.append(static_cast<const char*>(data), size);
    return true;
  }
  std::string bytes;

 private:
  bool keep_;
};

std::wstring VersionOf(const std::string& bytes) {
  PeVersion::CMemoryByteSource source(bytes.data(), bytes.size());
  PeVersion::FixedFileInfo info;
  if (PeVersion::ReadFixedFileInfo(source, &info) != PeVersion::PeVersionResult::Found) return std::wstring();
  return PeVersion::FormatVersion(info.fileVersionMS, info.fileVersionLS);
}

// The Korea stamp the updater will form for a file with this UTC time.
std::wstring StampOf(std::uint64_t fileTime, std::size_t length) {
  CLocalFileInfo info;
  if (!Platform::FileTimeToFields(fileTime, &info.LastWriteTimeUtc)) return std::wstring();
  info.LastWriteTime = info.LastWriteTimeUtc;
  return MakeLocalTimeStamp(info, L"", length);
}

class CChecker {
 public:
  CChecker(CServerSource& server, CheckReport* report, const CUpdateKey& key, std::uint64_t nowUtc)
      : server_(server), report_(report), key_(key), now_(nowUtc) {}

  bool Run(std::string* error) {
    ServerReply reply;
    if (!server_.Get(server_.ManifestPath(), true, &reply, error)) return false;
    if (reply.status != 200) {
      Add("update.xml: " + U8(server_.ManifestPath()) + " answers status " + std::to_string(reply.status));
      return true;
    }
    if (key_.RequiresSignatures() &&
        !CheckSignature("update.xml", server_.ManifestPath(), reply.body, "a keyed updater stops here", error))
      return false;
    std::string bytes = reply.body;
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      Add("update.xml: starts with a UTF-8 byte-order mark");
      bytes.erase(0, 3);
    }
    const std::wstring text = Platform::FromUtf8(bytes);
    CXmlDocument document;
    const bool wellFormed = document.SetText(text) && document.GetDiagnostics().empty();
    if (!wellFormed) Add("update.xml: not well formed, the updater stops here " + U8(document.GetDiagnostics()));
    UpdateModuleList modules;
    ManifestAttributes attributes;
    const bool parsed = ParseManifest(text, modules, &attributes);
    CheckReleaseAttributes(attributes, modules);
    if (!parsed && wellFormed) {
      Add(modules.empty() ? "update.xml: no module with an update_list, the updater stops here"
                          : "update.xml: the module after '" + U8(modules.back()->Name) +
                                "' has no update_list, the updater stops here");
    }
    std::map<std::wstring, std::wstring> names;
    for (const auto& module : modules) {
      if (!module) continue;
      if (auto [it, fresh] = names.emplace(FoldCase(module->Name), module->Name); !fresh)
        Add("update.xml: module '" + U8(module->Name) + "' appears twice");
      ++report_->modules;
      if (!CheckModule(*module, error)) return false;
    }
    return true;
  }

 private:
  void Add(std::string line) { report_->findings.push_back(std::move(line)); }

  // The root's serial and expiry, and whether a keyed updater finds every
  // list pinned.
  void CheckReleaseAttributes(const ManifestAttributes& attributes, const UpdateModuleList& modules) {
    using State = ManifestAttributes::State;
    if (attributes.serialState == State::Malformed)
      Add("update.xml: serial '" + U8(attributes.serialText) + "' is not a number of 1 or more; a keyed updater stops here");
    if (attributes.expiresState == State::Malformed)
      Add("update.xml: expires '" + U8(attributes.expiresText) +
          "' is not YYYY-MM-DDTHH:MM:SSZ; a keyed updater stops here");
    if (attributes.expiresState == State::Present) {
      const std::string when = U8(FormatUtcTime(attributes.expires));
      if (now_ >= attributes.expires) {
        Add("update.xml: expired at " + when + " (now " + U8(FormatUtcTime(now_)) +
            "); keyed updaters refuse it until the tree is signed again (vireo-tool resign)");
      } else if (attributes.expires - now_ < kExpiryWarningTicks) {
        report_->warnings.push_back("update.xml expires at " + when + ", less than 72 hours from now (" +
                                    U8(FormatUtcTime(now_)) + "); sign it again (vireo-tool resign) before then");
      }
    }
    if (!key_.RequiresSignatures()) return;
    if (attributes.serialState == State::Absent) {
      Add("update.xml: no serial; a keyed updater takes it only until it has taken one with a serial "
          "(publish or resign the tree)");
      return;
    }
    for (const auto& module : modules) {
      if (module && (!module->ListSizeDeclared || !module->ListSha256Declared))
        Add("module " + U8(module->Name) + ": update_list has no size and sha256 pin; a keyed updater stops here");
    }
  }

  // The ".sig" beside a document, checked with the key over the exact bytes
  // served. False only when the server cannot be reached.
  bool CheckSignature(const std::string& what, const std::wstring& documentPath, const std::string& document,
                      const char* consequence, std::string* error) {
    const std::wstring path = SignaturePathOf(documentPath);
    ServerReply reply;
    if (!server_.Get(path, true, &reply, error)) return false;
    if (reply.status != 200) {
      Add(what + ": no signature (" + U8(path) + " answers status " + std::to_string(reply.status) + "); " +
          consequence);
      return true;
    }
    const DocumentTrust trust = VerifyDocumentSignature(key_, document, reply.body);
    if (trust != DocumentTrust::Trusted) Add(what + ": " + U8(DescribeDocumentTrust(trust)) + "; " + consequence);
    return true;
  }

  // The declared size and SHA-256 of an entry against the bytes served.
  void CheckDeclaredFacts(const std::string& what, const CFileData& entry, const std::string& body) {
    if (entry.SizeDeclared && entry.Size != body.size())
      Add(what + ": size " + std::to_string(entry.Size) + " listed, the server sends " + std::to_string(body.size()) +
          " bytes; every updater refuses it");
    if (!entry.Sha256Declared) return;
    Platform::Sha256Digest digest{};
    if (!Platform::Sha256Of(body.data(), body.size(), &digest)) {
      Add(what + ": SHA-256 could not be computed");
      return;
    }
    if (digest != entry.Sha256)
      Add(what + ": sha256 " + U8(FormatSha256Hex(entry.Sha256)) + " listed, the file has " +
          U8(FormatSha256Hex(digest)) + "; every updater refuses it");
  }

  // Every patch the entry names: served with its listed size and SHA-256,
  // its base kept in the tree, and applied to that base it yields exactly
  // the entry's file (for an archive, the item it carries). False only when
  // the server cannot be reached.
  bool CheckPatches(const std::string& what, const std::wstring& folder, const CFileData& entry, std::string* error) {
    if (entry.PatchesDropped > 0)
      Add(what + ": " + std::to_string(entry.PatchesDropped) +
          " patch element(s) malformed, repeated or without item_size and item_sha256; updaters ignore them");
    std::uint64_t targetSize = 0;
    Platform::Sha256Digest targetSha256{};
    if (!entry.GetPatchTarget(&targetSize, &targetSha256)) return true;
    for (const CPatchRef& ref : entry.Patches) {
      const std::string which = what + ": patch '" + U8(ref.FileName) + "'";
      ServerReply patch;
      if (!server_.Get(folder + ref.FileName, true, &patch, error)) return false;
      if (patch.status != 200) {
        Add(which + ": missing on the server (status " + std::to_string(patch.status) + "); updaters fetch the whole file");
        continue;
      }
      Platform::Sha256Digest digest{};
      if (patch.body.size() != ref.Size || !Platform::Sha256Of(patch.body.data(), patch.body.size(), &digest) ||
          digest != ref.Sha256) {
        Add(which + ": its size or SHA-256 is not what the list says; updaters fetch the whole file");
        continue;
      }
      ServerReply base;
      const std::wstring baseName = BaseEntryName(CarriedFileName(entry.FileName), ref.BaseSha256);
      if (!server_.Get(folder + baseName, true, &base, error)) return false;
      if (base.status != 200 || !Platform::Sha256Of(base.body.data(), base.body.size(), &digest) ||
          digest != ref.BaseSha256) {
        Add(which + ": its base " + U8(FormatSha256Hex(ref.BaseSha256)) + " is not kept at " + U8(baseName) +
            "; not verified");
        continue;
      }
      const std::atomic<bool> never{false};
      std::string output;
      const DeltaPatchOutcome outcome = ApplyDeltaPatchBytes(base.body, patch.body, targetSize, never, &output);
      if (!outcome.Applied()) {
        Add(which + ": does not apply to its base (" + U8(DescribeDeltaPatchResult(outcome.result)) +
            (outcome.decoderError.empty() ? "" : ": " + outcome.decoderError) + "); updaters fetch the whole file");
      } else if (outcome.sha256 != targetSha256) {
        Add(which + ": yields other bytes than the entry's; updaters fetch the whole file");
      }
    }
    return true;
  }

  bool CheckModule(const CUpdateModule& module, std::string* error) {
    const std::string where = "module " + U8(module.Name);
    const std::wstring listPath = UpdateListRequestPath(server_.BasePath(), module.UpdateListPath);
    ServerReply reply;
    if (!server_.Get(listPath, true, &reply, error)) return false;
    if (reply.status != 200) {
      Add(where + ": update list " + U8(listPath) + " answers status " + std::to_string(reply.status));
      return true;
    }
    std::wstring pinText;
    const ListPinCheck pin = CheckListPin(module, reply.body, &pinText);
    if (pin != ListPinCheck::NoPin && pin != ListPinCheck::Matches)
      Add(where + ": " + U8(pinText) + "; every updater fails this module");
    // A list pinned whole needs no signature of its own.
    if (key_.RequiresSignatures() && !(pin == ListPinCheck::Matches && ListPinIsWhole(module)) &&
        pin != ListPinCheck::Malformed && pin != ListPinCheck::SizeMismatch && pin != ListPinCheck::HashMismatch &&
        !CheckSignature(where + ": update list", listPath, reply.body, "a keyed updater fails this module", error))
      return false;
    // Read as the updater reads it: the ANSI code page, up to the first zero byte.
    const std::string& bytes = reply.body;
    const std::size_t end = bytes.find('\0');
    if (end != std::string::npos) Add(where + ": update list holds a zero byte; the rest is not read");
    const std::wstring text = Platform::AnsiToWide(bytes.data(), end == std::string::npos ? bytes.size() : end);
    CXmlDocument document;
    if (!document.SetText(text) || !document.GetDiagnostics().empty())
      Add(where + ": update list not well formed " + U8(document.GetDiagnostics()));
    if (!document.FindElement(L"update")) {
      Add(where + ": update list has no update element");
      return true;
    }
    CXmlDocument reading;
    (void)reading.SetText(text);
    FileDataArray entries;
    ParseUpdateList(reading, entries);
    const std::wstring folder = ServerFolderOf(listPath);
    std::map<std::wstring, std::wstring> seen;
    for (const auto& entry : entries) {
      ++report_->files;
      if (!CheckEntry(where, folder, *entry, &seen, error)) return false;
    }
    return true;
  }

  bool CheckEntry(const std::string& where, const std::wstring& folder, const CFileData& entry,
                  std::map<std::wstring, std::wstring>* seen, std::string* error) {
    const std::wstring& name = entry.FileName;
    const std::string what = where + ": '" + U8(name) + "'";
    if (name.empty()) {
      Add(where + ": an entry has no filename");
      return true;
    }
    if (!IsContainedRelativePath(name)) {
      Add(what + ": name leaves the install folder; the updater skips it");
      return true;
    }
    const std::wstring local = CarriedFileName(name);
    if (auto [it, fresh] = seen->emplace(FoldCase(local), name); !fresh) {
      Add(what + ": same installed file as '" + U8(it->second) + "'");
      return true;
    }
    std::uint64_t ignored = 0;
    if (!entry.DateTime.empty() && !PublishedStampToFileTime(entry.DateTime, &ignored))
      Add(what + ": datetime '" + U8(entry.DateTime) + "' is not a time stamp");
    if (entry.DateTime.size() > 12)
      Add(what + ": datetime '" + U8(entry.DateTime) + "' is longer than 12 digits and never matches");
    switch (CheckEntryDeclarations(entry, key_.RequiresSignatures())) {
      case EntryDeclarations::Usable: break;
      case EntryDeclarations::Malformed:
        Add(what + ": size or sha256 is not in its form; every updater refuses it");
        break;
      case EntryDeclarations::Missing:
        Add(what + ": no size or no sha256; a keyed updater fails this module");
        break;
    }
    const bool archive = name != local;
    if (archive && name.compare(name.size() - 4, 4, L".zip") != 0)
      Add(what + ": an archive whose extension is not lower-case .zip is downloaded but never installed");

    const std::wstring path = folder + name;
    ServerReply reply;
    if (!server_.Get(path, true, &reply, error)) return false;
    if (reply.status != 200) {
      Add(what + ": missing on the server (" + U8(path) + " answers status " + std::to_string(reply.status) + ")");
      return true;
    }
    if (reply.truncated || reply.reportedSize != reply.body.size()) {
      Add(what + ": the server reports " + std::to_string(reply.reportedSize) + " bytes but sends " +
          std::to_string(reply.body.size()));
      return true;
    }
    CheckDeclaredFacts(what, entry, reply.body);
    if (!CheckPatches(what, folder, entry, error)) return false;
    if (!archive) {
      const std::wstring version = VersionOf(reply.body);
      if (!entry.Version.empty() && !version.empty() && CompareVersionStrings(entry.Version, version) != kVersionEqual)
        Add(what + ": version " + U8(entry.Version) + " listed, the file has " + U8(version) +
            "; it would be fetched on every run");
      return true;
    }
    CheckArchive(what, entry, local, reply.body);
    return true;
  }

  void CheckArchive(const std::string& what, const CFileData& entry, const std::wstring& local, const std::string& bytes) {
    ZipHandle* raw = nullptr;
    const ZipResult opened = OpenZipSource(std::make_unique<CZipMemorySource>(bytes), &raw);
    if (opened != kZipOk) {
      Add(what + ": archive does not open (" + Hex(opened) + ")");
      return;
    }
    CScopedZipHandle handle(raw);
    ZipItem item;
    if (GetZipItem(handle.get(), -1, &item) != kZipOk) return;
    const std::int32_t count = item.index;
    for (std::int32_t i = 0; i < count; ++i) {
      const ZipResult got = GetZipItem(handle.get(), i, &item);
      if (got != kZipOk) {
        Add(what + ": archive item " + std::to_string(i) + " cannot be read (" + Hex(got) + ")");
        continue;
      }
      if (item.attributes & 0x10) continue;
      if (item.name.find_first_of(L"/\\") != std::wstring::npos) {
        Add(what + ": archive item '" + U8(item.name) + "' is stored under a folder and is never installed");
        continue;
      }
      CCollectOutput output(false);
      const ZipResult unpacked = UnzipItemTo(handle.get(), i, output);
      if (unpacked != kZipOk)
        Add(what + ": archive item '" + U8(item.name) + "' does not extract: data or CRC-32 fails (" + Hex(unpacked) + ")");
    }
    // The installed file is the item found under the carried name.
    std::int32_t index = -1;
    if (LocateZipItem(handle.get(), local, &index, &item) != kZipOk) {
      Add(what + ": archive does not carry '" + U8(BaseName(local)) + "'");
      return;
    }
    CCollectOutput carried(true);
    if (UnzipItemTo(handle.get(), index, carried) != kZipOk) return;  // reported above
    if (entry.ItemDeclared) {
      Platform::Sha256Digest digest{};
      if (carried.bytes.size() != entry.ItemSize ||
          !Platform::Sha256Of(carried.bytes.data(), carried.bytes.size(), &digest) || digest != entry.ItemSha256)
        Add(what + ": item_size or item_sha256 is not what the archive carries; patches of it yield other bytes");
    }
    const std::wstring stamp = StampOf(item.modificationTime, entry.DateTime.size());
    if (!entry.DateTime.empty() && !stamp.empty() && stamp != entry.DateTime)
      Add(what + ": datetime " + U8(entry.DateTime) + " listed, the archive's file has " + U8(stamp) +
          "; it would be fetched on every run");
    const std::wstring version = VersionOf(carried.bytes);
    if (!entry.Version.empty() && !version.empty() && CompareVersionStrings(entry.Version, version) != kVersionEqual)
      Add(what + ": version " + U8(entry.Version) + " listed, the archive's file has " + U8(version) +
          "; it would be fetched on every run");
  }

  CServerSource& server_;
  CheckReport* report_;
  const CUpdateKey& key_;
  std::uint64_t now_;
};

}  // namespace

bool CheckServer(CServerSource& server, CheckReport* report, std::string* error, const CUpdateKey& key,
                 std::uint64_t nowUtc) {
  *report = CheckReport();
  CChecker checker(server, report, key, nowUtc);
  return checker.Run(error);
}

}  // namespace VireoTool
