// vireo-tool xml-dump: shows how the updater's XML document sees a file, one
// line per element, so that a publisher can check a manifest or update list.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/text.h"
#include "xml/utf8.h"
#include "xml/xml_document.h"

namespace {

const char kUsage[] = "usage: vireo-tool xml-dump [--ansi] [--diagnostics] [--attr NAME]... FILE\n";

// Backslash, tab, CR and LF written as two-character escapes.
std::wstring EscapeField(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (const wchar_t c : text) {
    switch (c) {
      case L'\\': out += L"\\\\"; break;
      case L'\t': out += L"\\t"; break;
      case L'\r': out += L"\\r"; break;
      case L'\n': out += L"\\n"; break;
      default: out += c; break;
    }
  }
  return out;
}


void Flush(std::string& out) {
  std::fwrite(out.data(), 1, out.size(), stdout);
  out.clear();
}

int XmlDump(const std::vector<std::string>& args) {
  bool ansi = false;
  bool diagnostics = false;
  std::vector<std::wstring> attributes;
  std::string file;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--ansi") {
      ansi = true;
    } else if (a == "--diagnostics") {
      diagnostics = true;
    } else if (a == "--attr" && i + 1 < args.size()) {
      attributes.push_back(Platform::FromUtf8(args[++i]));
    } else if (file.empty() && (a.empty() || a[0] != '-' || a == "-")) {
      file = a;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (file.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  std::string bytes;
  if (!Platform::ReadWholeFile(Platform::FromUtf8(file), SIZE_MAX, &bytes)) {
    std::fprintf(stderr, "vireo-tool xml-dump: cannot read %s (error %lu)\n", file.c_str(),
                 static_cast<unsigned long>(Platform::LastError()));
    return 2;
  }
  std::wstring text = ansi ? Platform::AnsiToWide(bytes.data(), bytes.size()) : Utf8ToWide(bytes);
  bytes = std::string();

  CXmlDocument doc;
  const bool wellFormed = doc.SetText(std::move(text));
  std::string out = wellFormed ? "well-formed: yes\n" : "well-formed: no\n";
  std::wstring line;
  int depth = 0;
  for (;;) {
    if (!doc.FindElement(nullptr)) {
      if (depth == 0) break;
      doc.LeaveElement();
      --depth;
      continue;
    }
    line = std::to_wstring(depth);
    line += L'\t';
    line += doc.GetElementName();
    line += L'\t';
    line += EscapeField(doc.GetElementText());
    for (const std::wstring& name : attributes) {
      line += L'\t';
      line += name;
      line += L'=';
      line += EscapeField(doc.GetAttributeValue(name));
    }
    line += L'\n';
    out += Platform::ToUtf8(line);
    if (out.size() > (1 << 20)) Flush(out);
    doc.EnterElement();
    ++depth;
  }
  if (diagnostics) out += "diagnostics: " + Platform::ToUtf8(doc.GetDiagnostics()) + "\n";
  Flush(out);
  return std::fflush(stdout) == 0 ? 0 : 2;
}

}  // namespace

static VireoTool::CommandRegistration reg("xml-dump", "print the elements of an XML file as the updater reads them",
                                          &XmlDump);
