#include "tool_publish.h"

#include <map>
#include <set>

#include "engine/safe_path.h"
#include "manifest/local_file_info.h"
#include "manifest/update_list.h"
#include "manifest/update_manifest.h"
#include "platform/cp1252.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tool_files.h"
#include "tool_server_paths.h"
#include "tool_zip_writer.h"
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

std::wstring EscapeXml(const std::wstring& text, bool attribute) {
  std::wstring out;
  for (const wchar_t c : text) {
    switch (c) {
      case L'&': out += L"&amp;"; break;
      case L'<': out += L"&lt;"; break;
      case L'>': out += L"&gt;"; break;
      case L'"': out += attribute ? L"&quot;" : L"\""; break;
      case L'\t': out += attribute ? L"&#9;" : L"\t"; break;
      default: out += c;
    }
  }
  return out;
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

bool ReadExistingManifest(const std::wstring& path, std::vector<ManifestModule>* modules, std::string* error) {
  modules->clear();
  if (!Platform::PathExists(path)) return true;
  std::string bytes;
  if (!ReadWholeFile(path, &bytes)) {
    *error = Utf8(path) + ": cannot be read (" + LastErrorText() + ")";
    return false;
  }
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  const std::wstring text = Platform::FromUtf8(bytes);
  CXmlDocument document;
  const bool wellFormed = document.SetText(text);
  if (!wellFormed || !document.FindElement(L"update")) {
    *error = Utf8(path) + ": not a well-formed manifest; left unchanged " + Utf8(document.GetDiagnostics());
    return false;
  }
  document.EnterElement();
  if (!document.FindElement()) return true;  // "update" without modules
  UpdateModuleList list;
  if (!ParseManifest(text, list)) {
    *error = Utf8(path) + ": a module lacks its update_list; left unchanged";
    return false;
  }
  for (const auto& module : list) {
    if (module) modules->push_back({module->Name, module->UpdateListPath, module->InstallPath, module->ProcessImage});
  }
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

std::string FormatManifest(const std::vector<ManifestModule>& modules) {
  std::wstring text = L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<update>\r\n";
  for (const auto& m : modules) {
    text += L"\t<" + m.name + L">\r\n";
    text += L"\t\t<update_list>" + EscapeXml(m.updateList, false) + L"</update_list>\r\n";
    text += L"\t\t<install_path>" + EscapeXml(m.installPath, false) + L"</install_path>\r\n";
    text += L"\t\t<process_image>" + EscapeXml(m.processImage, false) + L"</process_image>\r\n";
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
    text += L"\t<module filename=\"" + EscapeXml(e.fileName, true) + L"\" version=\"" + EscapeXml(e.version, true) +
            L"\" datetime=\"" + EscapeXml(e.dateTime, true) + L"\"/>\r\n";
  }
  text += L"</update>\r\n";
  if (!Platform::WideToCodePage(text, codePage, bytes)) {
    *error = "the update list cannot be written in code page " + std::to_string(codePage);
    return false;
  }
  return true;
}

bool PublishModule(const PublishOptions& options, PublishReport* report, std::string* error) {
  *report = PublishReport();
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

  // Where the list goes and where the files are fetched from.
  std::wstring listPath = options.updateListPath.empty() ? L"/update/" + options.module + L"/UpdateList.xml"
                                                         : options.updateListPath;
  const std::wstring listRequest = UpdateListRequestPath(L"/", listPath);
  std::vector<std::wstring> listSegments;
  if (!ResolveServerPath(listRequest, &listSegments)) {
    *error = "update list path '" + Utf8(listPath) + "' does not name a file inside the server tree";
    return false;
  }
  const std::wstring serverFolder = ServerFolderOf(listRequest);

  // Examine every file before anything is written.
  std::vector<std::wstring> files;
  if (!ListFilesBelow(options.releaseDir, &files)) {
    *error = Utf8(options.releaseDir) + ": cannot be listed (" + LastErrorText() + ")";
    return false;
  }
  std::vector<PlannedFile> planned;
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
    if (!ResolveServerPath(serverFolder + file.entryName, &file.serverSegments)) {
      *error = "'" + shown + "': no server path";
      return false;
    }
    if (file.serverSegments.size() == listSegments.size()) {
      bool same = true;
      for (std::size_t i = 0; same && i < listSegments.size(); ++i)
        same = FoldCase(file.serverSegments[i]) == FoldCase(listSegments[i]);
      if (same) {
        *error = "'" + shown + "' has the update list's own name and place";
        return false;
      }
    }
    if (file.serverSegments.size() == 1 && FoldCase(file.serverSegments[0]) == L"UPDATE.XML") {
      *error = "'" + shown + "' would take the place of update.xml";
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
    report->entries.push_back({file.entryName, info.FileVersion, MakeLocalTimeStamp(info, L"", options.stampLength)});
    planned.push_back(std::move(file));
  }

  std::string listBytes;
  if (!FormatUpdateList(report->entries, options.codePage, &listBytes, error)) return false;
  std::vector<ManifestModule> modules;
  const std::wstring manifestPath = JoinPath(options.outDir, L"update.xml");
  if (!ReadExistingManifest(manifestPath, &modules, error)) return false;
  const ManifestModule self{options.module, listPath, options.installPath, options.processImage};
  bool replaced = false;
  for (auto& m : modules) {
    if (m.name == options.module) {
      m = self;
      replaced = true;
    }
  }
  if (!replaced) modules.push_back(self);

  // The files.
  if (!EnsureFolderChain(options.outDir)) {
    *error = Utf8(options.outDir) + ": cannot be created (" + LastErrorText() + ")";
    return false;
  }
  for (const PlannedFile& file : planned) {
    std::string bytes;
    if (!ReadWholeFile(file.source, &bytes)) {
      *error = Utf8(file.source) + ": cannot be read (" + LastErrorText() + ")";
      return false;
    }
    if (file.archive) {
      std::string storedName;
      (void)Platform::WideToCodePage(BaseName(CarriedFileName(file.entryName)), options.codePage, &storedName);
      std::string archive;
      if (!BuildZipArchive({{storedName, bytes, file.modificationTime}}, &archive, error)) return false;
      bytes = std::move(archive);
    }
    const std::wstring target = TreePath(options.outDir, file.serverSegments);
    bool changed = false;
    if (!WriteFileIfChanged(target, bytes, &changed)) {
      *error = Utf8(target) + ": cannot be written (" + LastErrorText() + ")";
      return false;
    }
    report->filesWritten += changed ? 1 : 0;
  }

  // Files that the previous list of this module named and this one does not.
  const std::wstring listTarget = TreePath(options.outDir, listSegments);
  std::string oldBytes;
  std::wstring oldText;
  if (ReadWholeFile(listTarget, &oldBytes)) {
    if (DecodeCodePage(oldBytes, options.codePage, &oldText)) {
      std::set<std::wstring> current;
      for (const auto& e : report->entries) current.insert(FoldCase(e.fileName));
      CXmlDocument document;
      (void)document.SetText(oldText);
      FileDataArray old;
      ParseUpdateList(document, old);
      for (const auto& entry : old) {
        std::vector<std::wstring> segments;
        if (current.count(FoldCase(entry->FileName)) || !IsContainedRelativePath(entry->FileName) ||
            !ResolveServerPath(serverFolder + entry->FileName, &segments))
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
    } else {
      report->warnings.push_back("files that the previous update list named are not cleaned up in code page " +
                                 std::to_string(options.codePage));
    }
  }

  bool changed = false;
  if (!WriteFileIfChanged(listTarget, listBytes, &changed)) {
    *error = Utf8(listTarget) + ": cannot be written (" + LastErrorText() + ")";
    return false;
  }
  report->filesWritten += changed ? 1 : 0;
  if (!WriteFileIfChanged(manifestPath, FormatManifest(modules), &changed)) {
    *error = Utf8(manifestPath) + ": cannot be written (" + LastErrorText() + ")";
    return false;
  }
  report->filesWritten += changed ? 1 : 0;
  return true;
}

}  // namespace VireoTool
