// vireo-tool's publishing, checking and planning against real folders, read
// back with the updater's own parsers and zip reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>

#include "common/test_files.h"
#include "common/test_program_image.h"
#include "manifest/update_list.h"
#include "manifest/update_manifest.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/text.h"
#include "engine/delta_patch.h"
#include "tool_check.h"
#include "tool_files.h"
#include "tool_delta.h"
#include "tool_plan.h"
#include "tool_publish.h"
#include "tool_server.h"
#include "tool_server_paths.h"
#include "tool_sign.h"
#include "tool_zip_writer.h"
#include "manifest/trust_formats.h"
#include "manifest/update_trust.h"
#include "xml/xml_document.h"
#include "zip/zip_reader.h"

namespace {

using namespace VireoTool;
using TestFiles::CTempDir;

std::uint64_t FileTimeOf(Platform::SystemTime utc) {
  std::uint64_t t = 0;
  EXPECT_TRUE(Platform::FieldsToFileTime(utc, &t));
  return t;
}

void SetWriteTime(const std::wstring& path, Platform::SystemTime utc) {
  Platform::FileTimes times;
  times.lastWrite = times.lastAccess = FileTimeOf(utc);
  ASSERT_TRUE(Platform::SetFileTimes(path, times));
}

class CMemoryOutput final : public IZipOutput {
 public:
  bool Write(const void* data, std::size_t size) override {
    bytes.append(static_cast<const char*>(data), size);
    return true;
  }
  std::string bytes;
};

TEST(ZipWriter, ArchivesReadBackThroughTheUpdatersReader) {
  std::string random(100000, '\0');
  unsigned seed = 7;
  for (char& c : random) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
  const std::uint64_t when = FileTimeOf({2024, 3, 0, 1, 0, 5, 31, 0});
  const struct {
    std::string name;
    std::string data;
  } rows[] = {{"empty.txt", ""}, {"Orrery.exe", "MZ small"}, {"random.bin", random}, {"caf\xE9.txt", "1252 name"}};
  for (const auto& row : rows) {
    std::string archive;
    std::string again;
    std::string error;
    ASSERT_TRUE(BuildZipArchive({{row.name, row.data, when}}, &archive, &error)) << error;
    ASSERT_TRUE(BuildZipArchive({{row.name, row.data, when}}, &again, &error));
    EXPECT_EQ(archive, again) << "not reproducible: " << row.name;

    ZipHandle* raw = nullptr;
    ASSERT_EQ(OpenZipSource(std::make_unique<CZipMemorySource>(archive), &raw), kZipOk) << row.name;
    CScopedZipHandle handle(raw);
    ZipItem item;
    ASSERT_EQ(GetZipItem(handle.get(), -1, &item), kZipOk);
    EXPECT_EQ(item.index, 1);
    ASSERT_EQ(GetZipItem(handle.get(), 0, &item), kZipOk);
    EXPECT_EQ(item.name, Platform::AnsiToWide(row.name.data(), row.name.size()));
    EXPECT_EQ(item.attributes, Platform::kAttrNormal) << "extracted files must stay writable";
    EXPECT_EQ(item.modificationTime, when) << "UT time lost";
    EXPECT_EQ(item.uncompressedSize, row.data.size());
    CMemoryOutput out;
    ASSERT_EQ(UnzipItemTo(handle.get(), 0, out), kZipOk);
    EXPECT_EQ(out.bytes, row.data);
  }
  const struct {
    Platform::SystemTime utc;
    bool ok;
  } times[] = {{{1969, 12, 0, 31, 23, 0, 0, 0}, false},
               {{1970, 1, 0, 1, 0, 0, 1, 0}, true},
               {{2038, 1, 0, 19, 3, 14, 7, 0}, true},
               {{2038, 1, 0, 19, 3, 14, 8, 0}, false}};
  for (const auto& row : times) {
    std::string archive;
    std::string error;
    EXPECT_EQ(BuildZipArchive({{"a", "b", FileTimeOf(row.utc)}}, &archive, &error), row.ok) << row.utc.year;
  }
}

TEST(ServerPaths, RequestsAndTreeLookups) {
  EXPECT_EQ(ServerFolderOf(L"//update/viewer/UpdateList.xml"), L"//update/viewer/");
  const struct {
    const wchar_t* request;
    bool ok;
    const wchar_t* tree;
  } rows[] = {
      {L"//update/viewer/bin\\core.dll", true, L"R\\update\\viewer\\bin\\core.dll"},
      {L"/a/./b/../c.txt", true, L"R\\a\\c.txt"},
      {L"/a/../../etc/passwd", false, L""},
      {L"/..\\x", false, L""},
      {L"/update/viewer/", false, L""},
      {L"/", false, L""},
  };
  for (const auto& row : rows) {
    std::vector<std::wstring> segments;
    EXPECT_EQ(ResolveServerPath(row.request, &segments), row.ok) << Platform::ToUtf8(row.request);
    if (row.ok) {
      EXPECT_EQ(TreePath(L"R", segments), row.tree);
    }
  }
  EXPECT_EQ(CarriedFileName(L"bin\\Orrery.exe.ZIP"), L"bin\\Orrery.exe");
  EXPECT_EQ(CarriedFileName(L"zip"), L"zip");
}

TEST(ZipGlob, MatchesNamesAndPaths) {
  const struct {
    const wchar_t* pattern;
    const wchar_t* name;
    bool match;
  } rows[] = {
      {L"*.exe", L"Orrery.exe", true},       {L"*.exe", L"bin\\Agent.EXE", true},
      {L"*.exe", L"Orrery.exe.bak", false},  {L"bin/*.dll", L"bin\\core.dll", true},
      {L"bin/*.dll", L"bin\\x\\core.dll", false}, {L"bin/**.dll", L"bin\\x\\core.dll", true},
      {L"?.txt", L"a.txt", true},            {L"?.txt", L"ab.txt", false},
      {L"bin\\core.dll", L"BIN\\Core.dll", true}, {L"*", L"anything", true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(MatchZipGlob(row.pattern, row.name), row.match)
        << Platform::ToUtf8(row.pattern) << " vs " << Platform::ToUtf8(row.name);
  }
}

// A release: a program (published as an archive), a library in a folder and
// a data file with characters that need escaping.
void MakeRelease(const CTempDir& release) {
  ASSERT_TRUE(TestFiles::WriteBytes(release / L"Orrery.exe", "MZ the program"));
  ASSERT_TRUE(TestFiles::WriteBytes(release / L"bin\\core.dll", "core library"));
  ASSERT_TRUE(TestFiles::WriteBytes(release / L"data\\a & 'b'.txt", "data"));
  SetWriteTime(release / L"Orrery.exe", {2024, 3, 0, 1, 0, 5, 0, 0});
  SetWriteTime(release / L"bin\\core.dll", {2024, 2, 0, 29, 15, 0, 0, 0});
  SetWriteTime(release / L"data\\a & 'b'.txt", {2023, 12, 0, 31, 14, 59, 0, 0});
}

PublishOptions ViewerOptions(const CTempDir& release, const CTempDir& out) {
  PublishOptions options;
  options.releaseDir = release.Path();
  options.outDir = out.Path();
  options.module = L"viewer";
  options.installPath = L"D:\\Suite & Co";
  options.processImage = L"Orrery.exe";
  options.zipGlobs = {L"*.exe"};
  return options;
}

std::string Snapshot(const std::wstring& root) {
  std::string all;
  std::vector<Platform::DirectoryEntry> entries;
  if (!Platform::ListDirectory(root, &entries)) return all;
  for (const auto& e : entries) {
    const std::wstring path = root + L"\\" + e.name;
    all += Platform::ToUtf8(e.name) + (e.isDirectory ? "/{" + Snapshot(path) + "}" : "=" + TestFiles::ReadOrMissing(path)) + ";";
  }
  return all;
}

TEST(Publish, WritesWhatTheUpdaterReadsAndRerunsChangeNothing) {
  CTempDir release, out;
  MakeRelease(release);
  PublishReport report;
  std::string error;
  ASSERT_TRUE(PublishModule(ViewerOptions(release, out), &report, &error)) << error;
  EXPECT_EQ(report.serial, 1u);

  std::string manifest;
  ASSERT_TRUE(TestFiles::ReadBytes(out / L"update.xml", &manifest));
  UpdateModuleList modules;
  ManifestAttributes attributes;
  ASSERT_TRUE(ParseManifest(Platform::FromUtf8(manifest), modules, &attributes));
  EXPECT_EQ(attributes.serialState, ManifestAttributes::State::Present);
  EXPECT_EQ(attributes.expiresState, ManifestAttributes::State::Absent);
  ASSERT_EQ(modules.size(), 1u);
  // The manifest pins the list's exact bytes.
  const std::string listBytes = TestFiles::ReadOrMissing(out / L"update\\viewer\\UpdateList.xml");
  EXPECT_EQ(CheckListPin(*modules[0], listBytes), ListPinCheck::Matches);
  EXPECT_EQ(CheckListPin(*modules[0], listBytes + " "), ListPinCheck::SizeMismatch);
  EXPECT_EQ(modules[0]->Name, L"viewer");
  EXPECT_EQ(modules[0]->UpdateListPath, L"/update/viewer/UpdateList.xml");
  EXPECT_EQ(modules[0]->InstallPath, L"D:\\Suite & Co");
  EXPECT_EQ(modules[0]->ProcessImage, L"Orrery.exe");

  CXmlDocument document;
  FileDataArray entries;
  LoadUpdateList(out / L"update\\viewer\\UpdateList.xml", document, entries);
  ASSERT_EQ(entries.size(), 3u);
  const struct {
    const wchar_t* name;
    const wchar_t* stamp;
  } expected[] = {{L"Orrery.exe.zip", L"202403010905"},
                  {L"bin\\core.dll", L"202403010000"},
                  {L"data\\a & 'b'.txt", L"202312312359"}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(entries[i]->FileName, expected[i].name);
    EXPECT_EQ(entries[i]->DateTime, expected[i].stamp);
    EXPECT_EQ(entries[i]->Version, L"");
  }
  EXPECT_EQ(TestFiles::ReadOrMissing(out / L"update\\viewer\\bin\\core.dll"), "core library");
  EXPECT_EQ(TestFiles::ReadOrMissing(out / L"update\\viewer\\data\\a & 'b'.txt"), "data");
  EXPECT_FALSE(Platform::PathExists(out / L"update\\viewer\\Orrery.exe"));

  // A second run, and a second module, leave the first module's files alone.
  const std::string before = Snapshot(out.Path());
  ASSERT_TRUE(PublishModule(ViewerOptions(release, out), &report, &error)) << error;
  EXPECT_EQ(report.filesWritten, 0);
  EXPECT_EQ(report.serial, 1u);
  EXPECT_EQ(Snapshot(out.Path()), before);

  CTempDir printer;
  ASSERT_TRUE(TestFiles::WriteBytes(printer / L"agent.exe", "agent"));
  PublishOptions second = ViewerOptions(printer, out);
  second.module = L"printer";
  second.installPath = L"";
  second.processImage = L"";
  second.stampLength = 10;
  second.expiresAt = FileTimeOf({2030, 1, 0, 2, 3, 4, 5, 0});
  ASSERT_TRUE(PublishModule(second, &report, &error)) << error;
  EXPECT_EQ(report.entries[0].dateTime.size(), 10u);
  EXPECT_EQ(report.serial, 2u);
  EXPECT_NE(TestFiles::ReadOrMissing(out / L"update.xml").find("<update serial=\"2\" expires=\"2030-01-02T03:04:05Z\">"),
            std::string::npos);
  modules.clear();
  ASSERT_TRUE(TestFiles::ReadBytes(out / L"update.xml", &manifest));
  ASSERT_TRUE(ParseManifest(Platform::FromUtf8(manifest), modules));
  ASSERT_EQ(modules.size(), 2u);
  EXPECT_EQ(modules[1]->Name, L"printer");
  EXPECT_EQ(modules[1]->InstallPath, L"");

  // The viewer again, with a file dropped from the release: replaced in
  // place, the dropped file removed from the server.
  ASSERT_TRUE(Platform::RemoveFile(release / L"bin\\core.dll"));
  ASSERT_TRUE(PublishModule(ViewerOptions(release, out), &report, &error)) << error;
  EXPECT_EQ(report.filesRemoved, 1);
  EXPECT_EQ(report.serial, 3u);  // the expiry is kept, the printer's pin too
  modules.clear();
  ASSERT_TRUE(ParseManifest(Platform::FromUtf8(TestFiles::ReadOrMissing(out / L"update.xml")), modules, &attributes));
  EXPECT_EQ(attributes.expiresText, L"2030-01-02T03:04:05Z");
  ASSERT_EQ(modules.size(), 2u);
  EXPECT_EQ(CheckListPin(*modules[1], TestFiles::ReadOrMissing(out / L"update\\printer\\UpdateList.xml")),
            ListPinCheck::Matches);
  EXPECT_FALSE(Platform::PathExists(out / L"update\\viewer\\bin\\core.dll"));
  modules.clear();
  ASSERT_TRUE(TestFiles::ReadBytes(out / L"update.xml", &manifest));
  ASSERT_TRUE(ParseManifest(Platform::FromUtf8(manifest), modules));
  ASSERT_EQ(modules.size(), 2u);
  EXPECT_EQ(modules[0]->Name, L"viewer");
}

TEST(Publish, RefusesWhatTheUpdaterCouldNotUse) {
  const struct {
    const char* what;
    std::function<void(const CTempDir& release, const CTempDir& out, PublishOptions& options)> setUp;
  } rows[] = {
      {"module name", [](auto&, auto&, PublishOptions& o) { o.module = L"1viewer"; }},
      {"stamp length", [](auto&, auto&, PublishOptions& o) { o.stampLength = 13; }},
      {"name outside the code page",
       [](const CTempDir& r, auto&, auto&) { ASSERT_TRUE(TestFiles::WriteBytes(r / L"\xD55C.txt", "x")); }},
      {"name with #", [](const CTempDir& r, auto&, auto&) { ASSERT_TRUE(TestFiles::WriteBytes(r / L"a#b.txt", "x")); }},
      {"plain file named .zip",
       [](const CTempDir& r, auto&, auto&) { ASSERT_TRUE(TestFiles::WriteBytes(r / L"pack.zip", "x")); }},
      {"same name in two cases",
       [](const CTempDir& r, auto&, auto&) { ASSERT_TRUE(TestFiles::WriteBytes(r / L"ORRERY.EXE", "x")); }},
      {"output inside the release", [](const CTempDir& r, auto&, PublishOptions& o) { o.outDir = r / L"server"; }},
      {"update list outside the tree", [](auto&, auto&, PublishOptions& o) { o.updateListPath = L"/../list.xml"; }},
      {"malformed update.xml",
       [](auto&, const CTempDir& out, auto&) { ASSERT_TRUE(TestFiles::WriteBytes(out / L"update.xml", "<update><a>")); }},
  };
  for (const auto& row : rows) {
    CTempDir release, out;
    MakeRelease(release);
    PublishOptions options = ViewerOptions(release, out);
    // Two names differing in case only exist on case-sensitive file systems.
    if (std::string(row.what) == "same name in two cases" && Platform::PathExists(release / L"orrery.exe")) continue;
    row.setUp(release, out, options);
    const std::string manifestBefore = TestFiles::ReadOrMissing(out / L"update.xml");
    PublishReport report;
    std::string error;
    EXPECT_FALSE(PublishModule(options, &report, &error)) << row.what;
    EXPECT_FALSE(error.empty()) << row.what;
    EXPECT_EQ(TestFiles::ReadOrMissing(out / L"update.xml"), manifestBefore) << row.what;
    EXPECT_FALSE(Platform::PathExists(out / L"update")) << row.what << ": wrote files before refusing";
  }
}

// One defect per row, made in a freshly published tree; the clean tree
// gives no finding.
// Replaces the first `from` in a tree's file with `to`.
void Rewrite(const std::wstring& path, const std::string& from, const std::string& to) {
  std::string text;
  ASSERT_TRUE(TestFiles::ReadBytes(path, &text));
  const std::size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
  ASSERT_TRUE(TestFiles::WriteBytes(path, text));
}

// Pins the viewer's list as it now lies in update.xml, as publish would.
void RepinViewerList(const CTempDir& out) {
  const std::string list = TestFiles::ReadOrMissing(out / L"update\\viewer\\UpdateList.xml");
  Platform::Sha256Digest digest{};
  ASSERT_TRUE(Platform::Sha256Of(list.data(), list.size(), &digest));
  std::string manifest = TestFiles::ReadOrMissing(out / L"update.xml");
  const std::size_t at = manifest.find("<update_list ");
  ASSERT_NE(at, std::string::npos);
  manifest.replace(at, manifest.find('>', at) - at,
                   "<update_list size=\"" + std::to_string(list.size()) + "\" sha256=\"" +
                       Platform::ToUtf8(FormatSha256Hex(digest)) + "\"");
  ASSERT_TRUE(TestFiles::WriteBytes(out / L"update.xml", manifest));
}

TEST(Check, FindsEachDefectOfABrokenTree) {
  const std::wstring list = L"update\\viewer\\UpdateList.xml";
  // A list edited, and pinned again: only what the edit breaks is found.
  auto rewriteList = [&](const CTempDir& out, const std::string& from, const std::string& to) {
    Rewrite(out / list, from, to);
    RepinViewerList(out);
  };
  std::uint64_t june = FileTimeOf({2026, 6, 0, 1, 0, 0, 0, 0});
  auto zipPath = [](const CTempDir& out) { return out / L"update\\viewer\\Orrery.exe.zip"; };
  const char* const kSizeDiffers = "listed, the server sends";
  const char* const kHashDiffers = "listed, the file has";
  const struct {
    const char* what;
    std::function<void(const CTempDir& out)> breakIt;
    std::vector<const char*> findings;  // a piece of each expected line, in order; none for the clean tree
    std::uint64_t now = 0;              // the checker's clock
    const char* warning = nullptr;
  } rows[] = {
      {"clean", [](const CTempDir&) {}, {}},
      {"list changed, pin not", [&](const CTempDir& out) { Rewrite(out / list, "202403010000", "202403010001"); },
       {"the update list does not match the manifest's pin: expected size "}},
      {"pin malformed", [](const CTempDir& out) { Rewrite(out / L"update.xml", "sha256=\"", "sha256=\"0x"); },
       {"the manifest's size or sha256 of the update list is not in its form"}},
      {"serial malformed", [](const CTempDir& out) { Rewrite(out / L"update.xml", "serial=\"1\"", "serial=\"0\""); },
       {"update.xml: serial '0' is not a number of 1 or more"}},
      {"expiry malformed",
       [](const CTempDir& out) { Rewrite(out / L"update.xml", "<update ", "<update expires=\"2026-06-01 00:00:00Z\" "); },
       {"update.xml: expires '2026-06-01 00:00:00Z' is not YYYY-MM-DDTHH:MM:SSZ"}},
      {"expired",
       [](const CTempDir& out) { Rewrite(out / L"update.xml", "<update ", "<update expires=\"2026-06-01T00:00:00Z\" "); },
       {"update.xml: expired at 2026-06-01T00:00:00Z (now 2026-06-01T00:00:00Z)"}, june},
      {"expires within 72 hours",
       [](const CTempDir& out) { Rewrite(out / L"update.xml", "<update ", "<update expires=\"2026-06-03T23:59:59Z\" "); },
       {}, june, "update.xml expires at 2026-06-03T23:59:59Z, less than 72 hours from now"},
      {"manifest not well formed",
       [](const CTempDir& out) {
         std::string text = TestFiles::ReadOrMissing(out / L"update.xml");
         text.insert(text.find("</update>"), "<broken>");
         ASSERT_TRUE(TestFiles::WriteBytes(out / L"update.xml", text));
       },
       {"update.xml: not well formed"}},
      {"module without update list",
       [](const CTempDir& out) {
         std::string text = TestFiles::ReadOrMissing(out / L"update.xml");
         text.insert(text.find("</update>"), "<tools><install_path>x</install_path></tools>");
         ASSERT_TRUE(TestFiles::WriteBytes(out / L"update.xml", text));
       },
       {"has no update_list"}},
      {"update list missing", [&](const CTempDir& out) { ASSERT_TRUE(Platform::RemoveFile(out / list)); },
       {"update list //update/viewer/UpdateList.xml answers status 404"}},
      {"update list not well formed", [&](const CTempDir& out) { rewriteList(out, "</update>", ""); },
       {"update list not well formed"}},
      {"name leaving the folder", [&](const CTempDir& out) { rewriteList(out, "bin\\core.dll", "..\\core.dll"); },
       {"leaves the install folder"}},
      {"duplicate name",
       [&](const CTempDir& out) { rewriteList(out, "bin\\core.dll", "ORRERY.EXE"); },
       {"same installed file as 'Orrery.exe.zip'"}},
      {"file missing", [](const CTempDir& out) { ASSERT_TRUE(Platform::RemoveFile(out / L"update\\viewer\\bin\\core.dll")); },
       {"missing on the server"}},
      {"bad time stamp", [&](const CTempDir& out) { rewriteList(out, "202403010000", "202402300000"); },
       {"is not a time stamp"}},
      {"archive does not open", [&](const CTempDir& out) { ASSERT_TRUE(TestFiles::WriteBytes(zipPath(out), "PK not really")); },
       {kSizeDiffers, kHashDiffers, "archive does not open"}},
      {"archive CRC fails",
       [&](const CTempDir& out) {
         std::string bytes = TestFiles::ReadOrMissing(zipPath(out));
         std::string archive;
         std::string error;
         // Same layout, other CRC: the stored data no longer checks out.
         ASSERT_TRUE(BuildZipArchive({{"Orrery.exe", "MZ the program", FileTimeOf({2024, 3, 0, 1, 0, 5, 0, 0})}},
                                     &archive, &error));
         ASSERT_EQ(bytes, archive);
         bytes[14] ^= 0x55;
         bytes[bytes.find("PK\x01\x02") + 16] ^= 0x55;
         ASSERT_TRUE(TestFiles::WriteBytes(zipPath(out), bytes));
       },
       {kHashDiffers, "does not extract"}},
      {"archive without its file",
       [&](const CTempDir& out) {
         std::string archive, error;
         ASSERT_TRUE(BuildZipArchive({{"Other.exe", "x", FileTimeOf({2024, 3, 0, 1, 0, 5, 0, 0})}}, &archive, &error));
         ASSERT_TRUE(TestFiles::WriteBytes(zipPath(out), archive));
       },
       {kSizeDiffers, kHashDiffers, "archive does not carry 'Orrery.exe'"}},
      {"archive item under a folder",
       [&](const CTempDir& out) {
         std::string archive, error;
         const std::uint64_t t = FileTimeOf({2024, 3, 0, 1, 0, 5, 0, 0});
         ASSERT_TRUE(BuildZipArchive({{"Orrery.exe", "MZ the program", t}, {"sub/b.dll", "b", t}}, &archive, &error));
         ASSERT_TRUE(TestFiles::WriteBytes(zipPath(out), archive));
       },
       {kSizeDiffers, kHashDiffers, "stored under a folder"}},
      {"archive time disagrees with the list", [&](const CTempDir& out) { rewriteList(out, "202403010905", "202403010906"); },
       {"would be fetched on every run"}},
      {"file changed after publishing, same size",
       [](const CTempDir& out) { ASSERT_TRUE(TestFiles::WriteBytes(out / L"update\\viewer\\bin\\core.dll", "CORE library")); },
       {"'bin\\core.dll': sha256 "}},
      {"file grew after publishing",
       [](const CTempDir& out) { ASSERT_TRUE(TestFiles::WriteBytes(out / L"update\\viewer\\bin\\core.dll", "core library!")); },
       {"'bin\\core.dll': size 12 listed, the server sends 13 bytes", kHashDiffers}},
      {"malformed sha256", [&](const CTempDir& out) { rewriteList(out, "sha256=\"", "sha256=\"x"); },
       {"size or sha256 is not in its form"}},
      {"malformed size", [&](const CTempDir& out) { rewriteList(out, "size=\"", "size=\"+"); },
       {"size or sha256 is not in its form"}},
  };
  for (const auto& row : rows) {
    CTempDir release, out;
    MakeRelease(release);
    PublishReport published;
    std::string error;
    ASSERT_TRUE(PublishModule(ViewerOptions(release, out), &published, &error)) << error;
    row.breakIt(out);
    CServerSource server;
    ASSERT_TRUE(server.Open(Platform::ToUtf8(out.Path()), &error)) << error;
    CheckReport report;
    ASSERT_TRUE(CheckServer(server, &report, &error, CUpdateKey(), row.now)) << error;
    std::string all;
    for (const auto& line : report.findings) all += line + "\n";
    ASSERT_EQ(report.warnings.size(), row.warning ? 1u : 0u) << row.what;
    if (row.warning) {
      EXPECT_NE(report.warnings[0].find(row.warning), std::string::npos) << report.warnings[0];
    }
    if (row.findings.empty()) {
      EXPECT_TRUE(report.findings.empty()) << all;
      EXPECT_EQ(report.files, 3);
      continue;
    }
    ASSERT_EQ(report.findings.size(), row.findings.size()) << row.what << ":\n" << all;
    for (std::size_t i = 0; i < row.findings.size(); ++i)
      EXPECT_NE(report.findings[i].find(row.findings[i]), std::string::npos) << row.what << ":\n" << all;
  }
}

std::wstring TrustFixture(const char* name) { return TestFiles::FixturePath(std::string("trust/") + name); }

// "a.pem" or "a.pem+b.pem": the keys an updater carries.
CUpdateKey FixtureKey(const char* names) {
  std::string all, rest = names;
  for (std::size_t plus; !rest.empty(); rest = plus == std::string::npos ? "" : rest.substr(plus + 1)) {
    plus = rest.find('+');
    std::string pem;
    EXPECT_TRUE(TestFiles::ReadBytes(TrustFixture(rest.substr(0, plus).c_str()), &pem)) << names;
    all += pem;
  }
  return UpdateKeyFromPem(all);
}

// The Windows build of the tool verifies but does not sign.
bool CanSign() {
  CSigningKey key;
  std::string error;
  return key.Load(TrustFixture("signing-key.pem"), &error);
}

DocumentTrust SignatureOf(const std::wstring& document, const CUpdateKey& key) {
  return VerifyDocumentSignature(key, TestFiles::ReadOrMissing(document), TestFiles::ReadOrMissing(document + L".sig"));
}

TEST(Publish, SignsTheDocumentsAndDeclaresEveryFileAsServed) {
  if (!CanSign()) GTEST_SKIP() << "this build of the tool cannot sign";
  const CUpdateKey key = FixtureKey("signing-key.pub.pem");
  const std::wstring list = L"update\\viewer\\UpdateList.xml";
  CTempDir release, out;
  MakeRelease(release);
  PublishOptions options = ViewerOptions(release, out);
  options.signKeyPath = TrustFixture("signing-key.pem");
  PublishReport report;
  std::string error;
  ASSERT_TRUE(PublishModule(options, &report, &error)) << error;
  EXPECT_EQ(SignatureOf(out / L"update.xml", key), DocumentTrust::Trusted);
  EXPECT_EQ(SignatureOf(out / list, key), DocumentTrust::Trusted);
  // Every entry names the file as served: the archive for Orrery.exe.zip.
  CXmlDocument document;
  FileDataArray entries;
  LoadUpdateList(out / list, document, entries);
  ASSERT_EQ(entries.size(), 3u);
  for (const auto& entry : entries) {
    const std::string served = TestFiles::ReadOrMissing(out / (L"update\\viewer\\" + entry->FileName));
    Platform::Sha256Digest digest{};
    ASSERT_TRUE(Platform::Sha256Of(served.data(), served.size(), &digest));
    EXPECT_TRUE(entry->SizeDeclared && entry->Sha256Declared && !entry->DeclarationMalformed);
    EXPECT_EQ(entry->Size, served.size()) << Platform::ToUtf8(entry->FileName);
    EXPECT_EQ(entry->Sha256, digest) << Platform::ToUtf8(entry->FileName);
  }
  EXPECT_EQ(TestFiles::ReadOrMissing(out / list).find("SHA256"), std::string::npos);

  // Signatures are randomised: a rerun keeps the valid ones, so an
  // unchanged release changes nothing.
  const std::string before = Snapshot(out.Path());
  ASSERT_TRUE(PublishModule(options, &report, &error)) << error;
  EXPECT_EQ(report.filesWritten, 0);
  EXPECT_EQ(Snapshot(out.Path()), before);

  // A second module signed with the same key re-signs update.xml only.
  CTempDir printer;
  ASSERT_TRUE(TestFiles::WriteBytes(printer / L"agent.exe", "agent"));
  PublishOptions second = ViewerOptions(printer, out);
  second.module = L"printer";
  second.signKeyPath = options.signKeyPath;
  const std::string viewerSignature = TestFiles::ReadOrMissing(out / (list + L".sig"));
  ASSERT_TRUE(PublishModule(second, &report, &error)) << error;
  EXPECT_EQ(SignatureOf(out / L"update.xml", key), DocumentTrust::Trusted);
  EXPECT_EQ(SignatureOf(out / L"update\\printer\\UpdateList.xml", key), DocumentTrust::Trusted);
  EXPECT_EQ(TestFiles::ReadOrMissing(out / (list + L".sig")), viewerSignature);

  // Publishing the viewer unsigned after a change: its list's signature no
  // longer fits and goes, and so does update.xml's, whose pin changed.
  ASSERT_TRUE(TestFiles::WriteBytes(release / L"bin\\core.dll", "core library 2"));
  ASSERT_TRUE(PublishModule(ViewerOptions(release, out), &report, &error)) << error;
  EXPECT_FALSE(Platform::PathExists(out / (list + L".sig")));
  ASSERT_EQ(report.warnings.size(), 2u);
  EXPECT_NE(report.warnings[0].find("UpdateList.xml.sig: removed"), std::string::npos) << report.warnings[0];
  EXPECT_NE(report.warnings[1].find("update.xml.sig: removed"), std::string::npos) << report.warnings[1];

  // resign: a tree published before serials and pins gets both, signed; a
  // second run raises the serial again and sets the expiry.
  std::string legacy = TestFiles::ReadOrMissing(out / L"update.xml");
  legacy.replace(0, legacy.find("<update "), "");
  legacy = "<update>" + legacy.substr(legacy.find('>') + 1);
  for (std::size_t at; (at = legacy.find(" size=")) != std::string::npos;) legacy.erase(at, legacy.find('>', at) - at);
  ASSERT_TRUE(TestFiles::WriteBytes(out / L"update.xml", legacy));
  ASSERT_TRUE(ResignTree(out.Path(), options.signKeyPath, std::nullopt, &report, &error)) << error;
  EXPECT_EQ(report.serial, 1u);
  EXPECT_EQ(SignatureOf(out / L"update.xml", key), DocumentTrust::Trusted);
  CServerSource server;
  ASSERT_TRUE(server.Open(Platform::ToUtf8(out.Path()), &error)) << error;
  CheckReport checked;
  ASSERT_TRUE(CheckServer(server, &checked, &error, key, FileTimeOf({2026, 1, 0, 1, 0, 0, 0, 0}))) << error;
  EXPECT_TRUE(checked.findings.empty()) << checked.findings[0];
  ASSERT_TRUE(ResignTree(out.Path(), options.signKeyPath, FileTimeOf({2031, 5, 0, 6, 7, 8, 9, 0}), &report, &error));
  EXPECT_EQ(report.serial, 2u);
  EXPECT_NE(TestFiles::ReadOrMissing(out / L"update.xml").find("<update serial=\"2\" expires=\"2031-05-06T07:08:09Z\">"),
            std::string::npos);
  EXPECT_EQ(SignatureOf(out / L"update.xml", key), DocumentTrust::Trusted);
}

TEST(Publish, RefusesUnusableSigningKeysBeforeWritingAnything) {
  const bool canSign = CanSign();
  const struct {
    const char* what;
    std::wstring key;
    bool ok;
  } rows[] = {
      {"EC PRIVATE KEY", TrustFixture("signing-key.pem"), canSign},
      {"PKCS#8 PRIVATE KEY", TrustFixture("pkcs8-key.pem"), canSign},
      {"a public key", TrustFixture("signing-key.pub.pem"), false},
      {"a key on P-384", TrustFixture("p384-key.pem"), false},
      {"not a key", TrustFixture("update.xml"), false},
      {"no such file", TrustFixture("missing.pem"), false},
  };
  for (const auto& row : rows) {
    CTempDir release, out;
    MakeRelease(release);
    PublishOptions options = ViewerOptions(release, out);
    options.signKeyPath = row.key;
    PublishReport report;
    std::string error;
    EXPECT_EQ(PublishModule(options, &report, &error), row.ok) << row.what << ": " << error;
    EXPECT_EQ(Platform::PathExists(out / L"update.xml"), row.ok) << row.what;
    EXPECT_EQ(Platform::PathExists(out / L"update.xml.sig"), row.ok) << row.what;
  }
}

// One tampering per row of a tree signed with the fixture key, checked with
// its public key; the untouched tree gives no finding.
TEST(Check, NamesEachTamperingOfASignedTree) {
  if (!CanSign()) GTEST_SKIP() << "this build of the tool cannot sign";
  const std::wstring list = L"update\\viewer\\UpdateList.xml";
  auto rewriteList = [&](const CTempDir& out, const std::string& from, const std::string& to) {
    std::string text = TestFiles::ReadOrMissing(out / list);
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    ASSERT_TRUE(TestFiles::WriteBytes(out / list, text));
  };
  const char* const kListPin = "module viewer: the update list does not match the manifest's pin";
  auto resignManifest = [](const CTempDir& out, const std::string& text) {
    CSigningKey key;
    std::string signature, error;
    ASSERT_TRUE(key.Load(TrustFixture("signing-key.pem"), &error)) << error;
    ASSERT_TRUE(key.Sign(text, &signature, &error)) << error;
    ASSERT_TRUE(TestFiles::WriteBytes(out / L"update.xml", text));
    ASSERT_TRUE(TestFiles::WriteBytes(out / L"update.xml.sig", signature));
  };
  const struct {
    const char* what;
    const char* publicKey;
    std::function<void(const CTempDir& out)> tamper;
    std::vector<const char*> findings;
  } rows[] = {
      {"untouched", "signing-key.pub.pem", [](const CTempDir&) {}, {}},
      {"file changed after signing, same size", "signing-key.pub.pem",
       [](const CTempDir& out) { ASSERT_TRUE(TestFiles::WriteBytes(out / L"update\\viewer\\bin\\core.dll", "CORE library")); },
       {"'bin\\core.dll': sha256 "}},
      {"update list changed after signing", "signing-key.pub.pem",
       [&](const CTempDir& out) { rewriteList(out, "202403010000", "202403010001"); }, {kListPin}},
      {"entry stripped of size and sha256", "signing-key.pub.pem",
       [&](const CTempDir& out) {
         std::string text = TestFiles::ReadOrMissing(out / list);
         const std::size_t at = text.find(" size=", text.find("bin\\core.dll"));
         text.erase(at, text.find("/>", at) - at);
         ASSERT_TRUE(TestFiles::WriteBytes(out / list, text));
       },
       {kListPin, "'bin\\core.dll': no size or no sha256; a keyed updater fails this module"}},
      {"update.xml.sig removed", "signing-key.pub.pem",
       [](const CTempDir& out) { ASSERT_TRUE(Platform::RemoveFile(out / L"update.xml.sig")); },
       {"update.xml: no signature (/update.xml.sig answers status 404); a keyed updater stops here"}},
      {"update.xml changed after signing", "signing-key.pub.pem",
       [](const CTempDir& out) {
         std::string text = TestFiles::ReadOrMissing(out / L"update.xml");
         text.replace(text.find("Orrery.exe"), 10, "Evil.exe");
         ASSERT_TRUE(TestFiles::WriteBytes(out / L"update.xml", text));
       },
       {"update.xml: the signature does not match"}},
      // A pinned list needs no signature of its own.
      {"list signature replaced by garbage", "signing-key.pub.pem",
       [&](const CTempDir& out) { ASSERT_TRUE(TestFiles::WriteBytes(out / (list + L".sig"), "not DER")); }, {}},
      {"pin removed and update.xml signed again", "signing-key.pub.pem",
       [&](const CTempDir& out) {
         std::string text = TestFiles::ReadOrMissing(out / L"update.xml");
         const std::size_t at = text.find(" size=");
         text.erase(at, text.find('>', at) - at);
         resignManifest(out, text);
       },
       {"module viewer: update_list has no size and sha256 pin; a keyed updater stops here"}},
      {"serial removed and update.xml signed again", "signing-key.pub.pem",
       [&](const CTempDir& out) {
         std::string text = TestFiles::ReadOrMissing(out / L"update.xml");
         text.erase(text.find(" serial=\"1\""), 11);
         resignManifest(out, text);
       },
       {"update.xml: no serial; a keyed updater takes it only until"}},
      {"signed with another key", "other-key.pub.pem", [](const CTempDir&) {},
       {"update.xml: the signature does not match"}},
      {"signed with the second of two keys", "other-key.pub.pem+signing-key.pub.pem", [](const CTempDir&) {}, {}},
  };
  for (const auto& row : rows) {
    CTempDir release, out;
    MakeRelease(release);
    PublishOptions options = ViewerOptions(release, out);
    options.signKeyPath = TrustFixture("signing-key.pem");
    PublishReport published;
    std::string error;
    ASSERT_TRUE(PublishModule(options, &published, &error)) << error;
    row.tamper(out);
    CServerSource server;
    ASSERT_TRUE(server.Open(Platform::ToUtf8(out.Path()), &error)) << error;
    CheckReport report;
    ASSERT_TRUE(CheckServer(server, &report, &error, FixtureKey(row.publicKey))) << error;
    std::string all;
    for (const auto& line : report.findings) all += line + "\n";
    ASSERT_EQ(report.findings.size(), row.findings.size()) << row.what << ":\n" << all;
    for (std::size_t i = 0; i < row.findings.size(); ++i)
      EXPECT_NE(report.findings[i].find(row.findings[i]), std::string::npos) << row.what << ":\n" << all;
    // Without a key only what every updater checks is named.
    if (std::string(row.what) == "update.xml.sig removed") {
      ASSERT_TRUE(CheckServer(server, &report, &error)) << error;
      EXPECT_TRUE(report.findings.empty()) << row.what;
    }
  }
}

TEST(Plan, SaysWhatWouldBeFetchedAndWhy) {
  CTempDir release, out, install;
  MakeRelease(release);
  PublishReport published;
  std::string error;
  // Plan reads a signed tree as any other: the .sig files are not entries.
  PublishOptions options = ViewerOptions(release, out);
  if (CanSign()) options.signKeyPath = TrustFixture("signing-key.pem");
  ASSERT_TRUE(PublishModule(options, &published, &error)) << error;
  CServerSource server;
  ASSERT_TRUE(server.Open(Platform::ToUtf8(out.Path()), &error)) << error;

  // Orrery.exe current; core.dll a minute off; the data file missing.
  ASSERT_TRUE(Platform::CopyItem(release / L"Orrery.exe", install / L"Orrery.exe", false));
  ASSERT_TRUE(TestFiles::WriteBytes(install / L"bin\\core.dll", "old core"));
  SetWriteTime(install / L"bin\\core.dll", {2024, 2, 0, 29, 15, 1, 0, 0});
  PlanReport report;
  ASSERT_TRUE(PlanUpdate(server, install.Path(), L"", &report, &error)) << error;
  EXPECT_EQ(report.listed, 3);
  ASSERT_EQ(report.items.size(), 2u);
  EXPECT_EQ(report.items[0].fileName, L"bin\\core.dll");
  EXPECT_EQ(report.items[0].decision.verdict, EntryVerdict::OldTime);
  EXPECT_EQ(report.items[0].decision.logLine, L"bin\\core.dll : old time - 202403010001, new time - 202403010000");
  EXPECT_EQ(report.items[0].size, 12u);
  EXPECT_EQ(report.items[1].decision.verdict, EntryVerdict::Missing);
  EXPECT_EQ(report.totalBytes, 12u + 4u);
  EXPECT_FALSE(Platform::PathExists(install / L"data")) << "planning must not change the installation";

  EXPECT_FALSE(PlanUpdate(server, install.Path(), L"printer", &report, &error));
  EXPECT_NE(error.find("no module 'printer'"), std::string::npos) << error;
}

// Release N of a program whose builds differ in a few bytes, and of a
// library rebuilt from scratch in release 3.
std::string Build(const char* seedText, int release, bool rebuilt = false) {
  std::string bytes(60000, '\0');
  unsigned seed = static_cast<unsigned>(std::hash<std::string>()(seedText)) + (rebuilt ? 1000u * release : 0u);
  for (char& c : bytes) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
  for (int k = 1; k <= release; ++k) bytes.replace(7000 * k, 8, "release" + std::to_string(k));
  return bytes;
}

// Between two builds of a program whose code and data moved, the patch
// carries an address map (of the symbols too, when the program has them)
// and is a fraction of the plain one.
TEST(Publish, PatchOfAMovedProgramCarriesAnAddressMap) {
  if (!CanMakeDeltaPatches()) GTEST_SKIP() << "this build makes no patches";
  for (const bool symbols : {false, true}) {
    const std::string base = TestFiles::TestProgramImage(2000, 0, symbols);
    const std::string target = TestFiles::TestProgramImage(2000, 64, symbols);
    std::string mapped, plain, error;
    ASSERT_TRUE(MakeDeltaPatch(base, target, &mapped, &error)) << error;
    ASSERT_TRUE(MakeDeltaPatch("X" + base.substr(1), "X" + target.substr(1), &plain, &error)) << error;
    EXPECT_EQ(mapped.substr(0, 4), symbols ? kSymbolAddressPatchMagic : kAddressPatchMagic);
    EXPECT_EQ(plain.substr(0, 2), "\x28\xB5");
    EXPECT_LT(mapped.size() * 3, plain.size()) << symbols;
    const std::atomic<bool> never{false};
    std::string output;
    EXPECT_TRUE(ApplyDeltaPatchBytes(base, mapped, target.size(), never, &output).Applied());
    EXPECT_EQ(output, target);
  }
}

// Code rewritten in place between two unchanged stretches keeps its old
// addresses in the map, so that references to it still match the old build.
TEST(Publish, AddressMapKeepsCodeChangedInPlace) {
  const std::string base = TestFiles::TestProgramImage(2000, 0);
  std::string target = TestFiles::TestProgramImage(2000, 64);
  PeAddress::Layout layout;
  ASSERT_TRUE(PeAddress::ReadLayout(target, &layout));
  const std::uint32_t changed = 0x1000 + 64 + 48 * 1000;  // functions 1000 to 1003 of the new build
  std::uint32_t offset = 0;
  ASSERT_TRUE(PeAddress::RvaToOffset(layout, changed, &offset));
  target.replace(offset, 4 * 48, 4 * 48, '\xCC');
  const std::vector<PeAddress::Segment> map = MatchBuilds(base, target);
  for (const std::uint32_t rva : {changed, changed + 100, changed + 4 * 48 - 1}) {
    const auto holding = std::find_if(map.begin(), map.end(), [rva](const PeAddress::Segment& s) {
      return s.newStart <= rva && rva - s.newStart < s.length;
    });
    ASSERT_NE(holding, map.end()) << rva;
    EXPECT_EQ(holding->oldStart + (rva - holding->newStart), rva - 64) << rva;
  }
}

TEST(Publish, PatchesFromEarlierVersionsAreListedCheckedAndPruned) {
  if (!CanMakeDeltaPatches()) GTEST_SKIP() << "this build makes no patches";
  CTempDir out;
  const std::wstring folder = out / L"update\\viewer\\";
  const auto load = [&](FileDataArray* entries) {
    CXmlDocument document;
    LoadUpdateList(folder + L"UpdateList.xml", document, *entries);
  };
  // Each listed patch, applied to its kept base, yields the release's bytes.
  const auto expectPatchesYield = [&](const FileDataArray& entries, const std::map<std::wstring, std::string>& files) {
    for (const auto& entry : entries) {
      std::uint64_t size = 0;
      Platform::Sha256Digest sha{};
      ASSERT_TRUE(entry->GetPatchTarget(&size, &sha));
      for (const CPatchRef& ref : entry->Patches) {
        std::string base, patch, output;
        ASSERT_TRUE(TestFiles::ReadBytes(folder + BaseEntryName(CarriedFileName(entry->FileName), ref.BaseSha256), &base));
        ASSERT_TRUE(TestFiles::ReadBytes(folder + ref.FileName, &patch));
        EXPECT_EQ(patch.size(), ref.Size);
        EXPECT_LT(patch.size() * 2, entry->Size) << "not worth serving";
        const std::atomic<bool> never{false};
        EXPECT_TRUE(ApplyDeltaPatchBytes(base, patch, size, never, &output).Applied());
        EXPECT_EQ(output, files.at(CarriedFileName(entry->FileName)));
      }
    }
  };
  // A small file's patch, with its line in the list, would not pay off.
  const auto levels = [](int release) {
    return "<levels>\r\n  <level name=\"lung\" center=\"-600\" width=\"1500\"/>\r\n  <level name=\"bone\" "
           "center=\"" + std::to_string(300 + release) + "\" width=\"2000\"/>\r\n  <level name=\"brain\" "
           "center=\"40\" width=\"80\"/>\r\n  <level name=\"soft tissue\" center=\"50\" width=\"350\"/>\r\n"
           "</levels>\r\n";
  };
  std::vector<std::size_t> expectedCounts[] = {{0, 0, 0, 0}, {1, 1, 0, 0}, {2, 0, 0, 0}, {2, 0, 0, 0}};
  for (int release = 1; release <= 4; ++release) {
    CTempDir dir;
    const std::map<std::wstring, std::string> files = {{L"Orrery.exe", Build("exe", release)},
                                                       {L"core.dll", Build("dll", release, release == 3)},
                                                       {L"levels.xml", levels(release)},
                                                       {L"notes.txt", "unchanged"}};
    for (const auto& [name, bytes] : files) ASSERT_TRUE(TestFiles::WriteBytes(dir / name, bytes));
    PublishOptions options = ViewerOptions(dir, out);
    options.deltas = 2;
    PublishReport report;
    std::string error;
    ASSERT_TRUE(PublishModule(options, &report, &error)) << error;
    FileDataArray entries;
    load(&entries);
    ASSERT_EQ(entries.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i)
      EXPECT_EQ(entries[i]->Patches.size(), expectedCounts[release - 1][i]) << "release " << release << " entry " << i;
    expectPatchesYield(entries, files);
    CServerSource server;
    ASSERT_TRUE(server.Open(Platform::ToUtf8(out.Path()), &error)) << error;
    CheckReport checked;
    ASSERT_TRUE(CheckServer(server, &checked, &error)) << error;
    EXPECT_TRUE(checked.findings.empty()) << "release " << release << ": " << checked.findings[0];
    if (release == 2) {
      // A rerun changes nothing; the newest base comes first later on.
      const std::string before = Snapshot(out.Path());
      ASSERT_TRUE(PublishModule(options, &report, &error)) << error;
      EXPECT_EQ(Snapshot(out.Path()), before);
    }
  }
  // Release 4 keeps the bases of releases 3 and 2 only; release 1's base
  // and its patches are gone, and so is every base of the library whose
  // patches did not pay off.
  std::vector<std::wstring> kept;
  ASSERT_TRUE(ListFilesBelow(folder + L"~vireo-bases\\Orrery.exe", &kept));
  EXPECT_EQ(kept.size(), 2u);
  ASSERT_TRUE(ListFilesBelow(folder + L"~vireo-patches\\Orrery.exe.zip", &kept));
  EXPECT_EQ(kept.size(), 2u);
  EXPECT_FALSE(Platform::PathExists(folder + L"~vireo-bases\\core.dll"));
  // A module whose list shares the folder leaves the viewer's patches alone.
  CTempDir printer;
  ASSERT_TRUE(TestFiles::WriteBytes(printer / L"agent.dll", Build("agent", 1)));
  PublishOptions other = ViewerOptions(printer, out);
  other.module = L"printer";
  other.updateListPath = L"/update/viewer/Printer.xml";
  PublishReport otherReport;
  std::string otherError;
  ASSERT_TRUE(PublishModule(other, &otherReport, &otherError)) << otherError;
  ASSERT_TRUE(ListFilesBelow(folder + L"~vireo-patches", &kept));
  EXPECT_EQ(kept.size(), 2u);

  // What check says about a tampered tree.
  FileDataArray entries;
  load(&entries);
  const CPatchRef first = entries[0]->Patches[0];
  const CPatchRef second = entries[0]->Patches[1];
  const struct {
    const char* what;
    std::function<void()> breakIt;
    const char* finding;
  } rows[] = {
      {"patch altered", [&] { ASSERT_TRUE(TestFiles::WriteBytes(folder + first.FileName, "junk")); },
       "its size or SHA-256 is not what the list says"},
      {"base removed",
       [&] { ASSERT_TRUE(Platform::RemoveFile(folder + BaseEntryName(L"Orrery.exe", second.BaseSha256))); },
       "is not kept at"},
      // The junk patch declared as served: it is fetched and applied.
      {"patch declared anew",
       [&] {
         std::string text;
         ASSERT_TRUE(TestFiles::ReadBytes(folder + L"UpdateList.xml", &text));
         const std::string from = "size=\"" + std::to_string(first.Size) + "\" sha256=\"" +
                                  Platform::ToUtf8(FormatSha256Hex(first.Sha256)) + "\"";
         Platform::Sha256Digest junk{};
         ASSERT_TRUE(Platform::Sha256Of("junk", 4, &junk));
         const std::size_t at = text.find(from);
         ASSERT_NE(at, std::string::npos);
         text.replace(at, from.size(), "size=\"4\" sha256=\"" + Platform::ToUtf8(FormatSha256Hex(junk)) + "\"");
         ASSERT_TRUE(TestFiles::WriteBytes(folder + L"UpdateList.xml", text));
       },
       "does not apply to its base (bad patch"},
  };
  std::size_t broken = 0;
  for (const auto& row : rows) {
    row.breakIt();
    CServerSource server;
    std::string error;
    ASSERT_TRUE(server.Open(Platform::ToUtf8(out.Path()), &error)) << error;
    CheckReport checked;
    ASSERT_TRUE(CheckServer(server, &checked, &error)) << error;
    // The last row turns the first finding into another, and its edit of
    // the list no longer matches the manifest's pin: one finding more.
    broken = &row == &rows[2] ? 3 : broken + 1;
    ASSERT_EQ(checked.findings.size(), broken) << row.what;
    std::string all;
    for (const auto& line : checked.findings) all += line + "\n";
    EXPECT_NE(all.find(row.finding), std::string::npos) << row.what << ":\n" << all;
  }
}

}  // namespace
