#include <gtest/gtest.h>

#include <vector>

#include "app/folder_table.h"
#include "common/test_files.h"
#include "manifest/trust_formats.h"
#include "manifest/update_list.h"
#include "manifest/update_manifest.h"
#include "xml/xml_document.h"

namespace {

struct Module {
  std::wstring name, list, install, image;
};

TEST(ParseManifest, Table) {
  struct Case {
    const char* what;
    const wchar_t* text;
    bool result;
    std::vector<Module> modules;
  } cases[] = {
      {"one module",
       L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update>\n  <viewer>\n    <update_list>/update/viewer/UpdateList.xml"
       L"</update_list>\n    <install_path>D:\\Suite</install_path>\n    <process_image>Orrery.exe</process_image>\n"
       L"  </viewer>\n</update>\n",
       true,
       {{L"viewer", L"/update/viewer/UpdateList.xml", L"D:\\Suite", L"Orrery.exe"}}},
      {"no module", L"<update></update>", false, {}},
      {"only text", L"<update>viewer</update>", false, {}},
      {"second of three lacks its list",
       L"<update><a><update_list>/a.xml</update_list><install_path/><process_image/></a>"
       L"<b><update_list></update_list><install_path>x</install_path><process_image>y</process_image></b>"
       L"<c><update_list>/c.xml</update_list></c></update>",
       false,
       {{L"a", L"/a.xml", L"", L""}}},
      {"no update_list at all", L"<update><a><install_path>x</install_path></a></update>", false, {}},
      {"extra children first, names from elements",
       L"<update><Report><note>n</note><update_list>/r.xml</update_list><x/><install_path>C:\\R</install_path>"
       L"<process_image>r.exe</process_image></Report><viewer><update_list>/v.xml</update_list>"
       L"<install_path>C:\\V</install_path><process_image>v.exe</process_image></viewer></update>",
       true,
       {{L"Report", L"/r.xml", L"C:\\R", L"r.exe"}, {L"viewer", L"/v.xml", L"C:\\V", L"v.exe"}}},
      {"missing install_path reads empty",
       L"<update><m><update_list>/m.xml</update_list><process_image>m.exe</process_image></m></update>", true,
       {{L"m", L"/m.xml", L"", L"m.exe"}}},
      {"missing process_image reads empty",
       L"<update><m><update_list>/m.xml</update_list><install_path>C:\\M</install_path></m></update>", true,
       {{L"m", L"/m.xml", L"C:\\M", L""}}},
      {"children out of order",
       L"<update><m><process_image>p.exe</process_image><update_list>/m.xml</update_list>"
       L"<install_path>C:\\M</install_path></m></update>",
       true,
       {{L"m", L"/m.xml", L"C:\\M", L""}}},
      {"names are case-sensitive", L"<update><m><Update_List>/m.xml</Update_List></m></update>", false, {}},
      {"entities decoded", L"<update><m><update_list>/a&amp;b.xml</update_list></m></update>", true,
       {{L"m", L"/a&b.xml", L"", L""}}},
      {"no update element", L"<manifest><m><update_list>/m.xml</update_list></m></manifest>", false, {}},
      {"not well formed", L"<update><m><update_list>/m.xml</update_list></m>", false, {}},
      {"empty text", L"", false, {}},
  };
  for (const Case& c : cases) {
    UpdateModuleList list;
    EXPECT_EQ(ParseManifest(c.text, list), c.result) << c.what;
    ASSERT_EQ(list.size(), c.modules.size()) << c.what;
    for (std::size_t i = 0; i < list.size(); ++i) {
      ASSERT_NE(list[i], nullptr);
      EXPECT_EQ(list[i]->Name, c.modules[i].name) << c.what;
      EXPECT_EQ(list[i]->UpdateListPath, c.modules[i].list) << c.what;
      EXPECT_EQ(list[i]->InstallPath, c.modules[i].install) << c.what;
      EXPECT_EQ(list[i]->ProcessImage, c.modules[i].image) << c.what;
    }
  }
}

// The root's "serial" and "expires" and the list pins, well formed and not.
// None of them changes what ParseManifest returns.
TEST(ParseManifest, ReleaseAttributes) {
  using State = ManifestAttributes::State;
  const std::wstring hash = L"00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
  const auto manifest = [](const std::wstring& root, const std::wstring& list) {
    return L"<update" + root + L"><m><update_list" + list + L">/m.xml</update_list></m></update>";
  };
  const struct {
    const char* what;
    std::wstring root, list;
    State serial;
    std::uint64_t serialValue;
    State expires;
    const wchar_t* expiresText;  // as FormatUtcTime gives it back; null when not Present
    bool sizeDeclared, hashDeclared, pinMalformed;
  } rows[] = {
      {"none: a tree from before", L"", L"", State::Absent, 0, State::Absent, nullptr, false, false, false},
      {"all well formed", L" serial=\"7\" expires=\"2026-12-31T23:59:59Z\"", L" size=\"120\" sha256=\"" + hash + L"\"",
       State::Present, 7, State::Present, L"2026-12-31T23:59:59Z", true, true, false},
      {"largest serial, leap day", L" serial=\"18446744073709551615\" expires=\"2028-02-29T00:00:00Z\"", L"",
       State::Present, UINT64_MAX, State::Present, L"2028-02-29T00:00:00Z", false, false, false},
      {"empty values count as absent", L" serial=\"\" expires=\"\"", L" size=\"\" sha256=\"\"", State::Absent, 0,
       State::Absent, nullptr, false, false, false},
      {"serial 0", L" serial=\"0\"", L"", State::Malformed, 0, State::Absent, nullptr, false, false, false},
      {"serial with a leading zero", L" serial=\"07\"", L"", State::Malformed, 0, State::Absent, nullptr, false, false, false},
      {"serial signed", L" serial=\"+7\"", L"", State::Malformed, 0, State::Absent, nullptr, false, false, false},
      {"serial past 2^64", L" serial=\"18446744073709551616\"", L"", State::Malformed, 0, State::Absent, nullptr, false,
       false, false},
      {"serial with a space", L" serial=\" 7\"", L"", State::Malformed, 0, State::Absent, nullptr, false, false, false},
      {"expires without Z", L" expires=\"2026-12-31T23:59:59\"", L"", State::Absent, 0, State::Malformed, nullptr, false,
       false, false},
      {"expires with an offset", L" expires=\"2026-12-31T23:59:59+09:00\"", L"", State::Absent, 0, State::Malformed,
       nullptr, false, false, false},
      {"expires lower-case t", L" expires=\"2026-12-31t23:59:59Z\"", L"", State::Absent, 0, State::Malformed, nullptr,
       false, false, false},
      {"expires 30 February", L" expires=\"2026-02-30T00:00:00Z\"", L"", State::Absent, 0, State::Malformed, nullptr,
       false, false, false},
      {"expires hour 24", L" expires=\"2026-12-31T24:00:00Z\"", L"", State::Absent, 0, State::Malformed, nullptr, false,
       false, false},
      {"expires with fractions", L" expires=\"2026-12-31T23:59:59.5Z\"", L"", State::Absent, 0, State::Malformed, nullptr,
       false, false, false},
      {"only a size pinned", L"", L" size=\"0\"", State::Absent, 0, State::Absent, nullptr, true, false, false},
      {"upper-case hash", L"", L" sha256=\"00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF\"",
       State::Absent, 0, State::Absent, nullptr, false, true, false},
      {"size malformed drops the hash too", L"", L" size=\"-1\" sha256=\"" + hash + L"\"", State::Absent, 0,
       State::Absent, nullptr, false, false, true},
      {"hash of 63 digits", L"", L" size=\"1\" sha256=\"" + hash.substr(1) + L"\"", State::Absent, 0, State::Absent,
       nullptr, false, false, true},
      {"hash of mixed case", L"", L" sha256=\"A" + hash.substr(1) + L"\"", State::Absent, 0, State::Absent, nullptr,
       false, false, true},
  };
  for (const auto& row : rows) {
    UpdateModuleList list;
    ManifestAttributes attributes;
    ASSERT_TRUE(ParseManifest(manifest(row.root, row.list), list, &attributes)) << row.what;
    ASSERT_EQ(list.size(), 1u) << row.what;
    EXPECT_EQ(attributes.serialState, row.serial) << row.what;
    EXPECT_EQ(attributes.serial, row.serialValue) << row.what;
    EXPECT_EQ(attributes.expiresState, row.expires) << row.what;
    if (row.expiresText) EXPECT_EQ(FormatUtcTime(attributes.expires), row.expiresText) << row.what;
    EXPECT_EQ(list[0]->ListSizeDeclared, row.sizeDeclared) << row.what;
    EXPECT_EQ(list[0]->ListSha256Declared, row.hashDeclared) << row.what;
    EXPECT_EQ(list[0]->ListPinMalformed, row.pinMalformed) << row.what;
    EXPECT_EQ(list[0]->UpdateListPath, L"/m.xml") << row.what;
  }
}

// The path the list is requested under: the worker and vireo-tool both use
// this, so a published tree is laid out where the updater asks.
TEST(UpdateListRequestPath, Table) {
  const struct {
    const wchar_t* base;
    const wchar_t* list;
    const wchar_t* path;
  } rows[] = {
      {L"/", L"/update/viewer/UpdateList.xml", L"//update/viewer/UpdateList.xml"},  // the address's "/" is kept
      {L"/", L"update/viewer/UpdateList.xml", L"//update/viewer/UpdateList.xml"},
      {L"", L"update/a.xml", L"//update/a.xml"},
      {L"", L"/update/a.xml", L"//update/a.xml"},
      {L"/base", L"update\\viewer\\UpdateList.xml", L"/base/update/viewer/UpdateList.xml"},
      {L"/base/", L"/a.xml", L"/base//a.xml"},
      {L"\\base", L"\\a.xml", L"/base//a.xml"},  // a leading "\" is not a leading "/": one is added
      {L"/base", L"", L"/base/"},
      {L"/p?q=1", L"a.xml", L"/p?q=1/a.xml"},  // the query stays where the address put it
  };
  for (const auto& row : rows) {
    EXPECT_EQ(UpdateListRequestPath(row.base, row.list), row.path) << row.base << " + " << row.list;
  }
}

struct Entry {
  std::wstring name, version, datetime;
};

TEST(UpdateList, Table) {
  SetModuleDir(GetFolderTable(), L"C:\\Suite\\Viewer");
  struct Case {
    const char* what;
    std::string bytes;
    std::vector<Entry> entries;
  } cases[] = {
      {"entries in order, other elements skipped, missing attributes empty",
       "<?xml version=\"1.0\"?>\r\n<update>\r\n"
       "<module filename=\"bin\\Orrery.exe.zip\" version=\"2.1.0.17\" datetime=\"202403010905\"/>\r\n"
       "<comment filename=\"skip.me\"/>\r\n<module filename=\"a.dll\" version=\"1.0\"></module>\r\n"
       "<group><module filename=\"nested\"/></group>\r\n<module datetime=\"2024\"/>\r\n</update>\r\n",
       {{L"bin\\Orrery.exe.zip", L"2.1.0.17", L"202403010905"}, {L"a.dll", L"1.0", L""}, {L"", L"", L"2024"}}},
      // UTF-8 bytes are read in the ANSI code page (Windows-1252 here), one
      // character per byte.
      {"UTF-8 read as ANSI", "<update><module filename=\"bin\\caf\xC3\xA9.dll\"/></update>",
       {{L"bin\\caf\u00C3\u00A9.dll", L"", L""}}},
      {"no update element", "<module filename=\"a\"/>", {}},
      {"not well formed still yields what is found",
       "<update><module filename=\"a\"/></update><module filename=\"b\"/>", {{L"a", L"", L""}}},
      {"empty file", "", {}},
  };
  TestFiles::CTempDir dir;
  for (const Case& c : cases) {
    const std::wstring path = dir / L"UpdateList.xml";
    ASSERT_TRUE(TestFiles::WriteBytes(path, c.bytes));
    CXmlDocument document;
    FileDataArray array;
    array.push_back(std::make_unique<CFileData>(L"UpdateList", L"UpdateList.xml", L"", L"", L"C:\\Suite"));
    LoadUpdateList(path, document, array);
    ASSERT_EQ(array.size(), c.entries.size() + 1) << c.what;
    EXPECT_EQ(array[0]->Module, L"UpdateList");
    for (std::size_t i = 0; i < c.entries.size(); ++i) {
      const CFileData& e = *array[i + 1];
      EXPECT_EQ(e.Module, L"vireo viewer") << c.what;
      EXPECT_EQ(e.FileName, c.entries[i].name) << c.what;
      EXPECT_EQ(e.Version, c.entries[i].version) << c.what;
      EXPECT_EQ(e.DateTime, c.entries[i].datetime) << c.what;
      EXPECT_EQ(e.Folder, L"C:\\Suite\\Viewer") << c.what;
    }
  }
  CXmlDocument document;
  FileDataArray array;
  LoadUpdateList(dir / L"missing.xml", document, array);
  EXPECT_TRUE(array.empty());
  EXPECT_EQ(ReadTextFile(dir / L"missing.xml"), L"");
  // The text ends at the first zero byte.
  ASSERT_TRUE(TestFiles::WriteBytes(dir / L"zero.xml", std::string("<a>\xE9\0<b/>", 8)));
  EXPECT_EQ(ReadTextFile(dir / L"zero.xml"), L"<a>\u00E9");
  SetModuleDir(GetFolderTable(), L"");
}

// "patch" children of entries: kept only where the entry says what the
// result must be, each with all four attributes in their forms; anything
// else is dropped and counted, and the entry stays as it was.
TEST(UpdateList, PatchesTable) {
  const std::string h1(64, 'a'), h2(64, 'b'), h3(64, 'c');
  const std::string facts = " size=\"10\" sha256=\"" + h1 + "\"";
  const std::string item = " item_size=\"7\" item_sha256=\"" + h2 + "\"";
  const auto patch = [](const std::string& base, const std::string& size, const std::string& name) {
    return "<patch base=\"" + base + "\" size=\"" + size + "\" sha256=\"" + std::string(64, 'd') + "\" filename=\"" +
           name + "\"/>";
  };
  const std::string good = patch(h1, "5", "~vireo-patches\\a.dll\\1.zst");
  std::string nine;
  for (int i = 0; i < 9; ++i) nine += patch(std::string(63, 'e') + static_cast<char>('0' + i), "5", "p" + std::to_string(i));
  struct Case {
    const char* what;
    std::string module;
    std::size_t kept;
    std::uint32_t dropped;
  } cases[] = {
      {"plain entry", "<module filename=\"a.dll\"" + facts + ">" + good + patch(h3, "6", "q") + "</module>", 2, 0},
      {"archive with its item", "<module filename=\"A.EXE.ZIP\"" + facts + item + ">" + good + "</module>", 1, 0},
      {"archive without its item", "<module filename=\"a.exe.zip\"" + facts + ">" + good + "</module>", 0, 1},
      {"entry without sha256", "<module filename=\"a.dll\" size=\"10\">" + good + "</module>", 0, 1},
      {"entry malformed", "<module filename=\"a.dll\" size=\"010\" sha256=\"" + h1 + "\">" + good + "</module>", 0, 1},
      {"patch of size 0", "<module filename=\"a.dll\"" + facts + ">" + patch(h1, "0", "p") + "</module>", 0, 1},
      {"base not a digest", "<module filename=\"a.dll\"" + facts + ">" + patch("xyz", "5", "p") + "</module>", 0, 1},
      {"name leaves the folder", "<module filename=\"a.dll\"" + facts + ">" + patch(h1, "5", "..\\p") + "</module>", 0, 1},
      {"no name", "<module filename=\"a.dll\"" + facts + ">" + patch(h1, "5", "") + "</module>", 0, 1},
      {"repeated base", "<module filename=\"a.dll\"" + facts + ">" + good + patch(h1, "6", "q") + "</module>", 1, 1},
      {"other children skipped", "<module filename=\"a.dll\"" + facts + "><note/>" + good + "<x/></module>", 1, 0},
      {"at most eight", "<module filename=\"a.dll\"" + facts + ">" + nine + "</module>", 8, 1},
  };
  for (const Case& c : cases) {
    CXmlDocument document;
    FileDataArray array;
    LoadUpdateListBytes("<update>" + c.module + "<module filename=\"after\"/></update>", document, array);
    ASSERT_EQ(array.size(), 2u) << c.what;
    EXPECT_EQ(array[0]->Patches.size(), c.kept) << c.what;
    EXPECT_EQ(array[0]->PatchesDropped, c.dropped) << c.what;
    EXPECT_EQ(array[1]->FileName, L"after") << c.what;
    EXPECT_TRUE(array[1]->Patches.empty()) << c.what;
  }
  // The fields of a kept patch, and the target it must yield.
  CXmlDocument document;
  FileDataArray array;
  LoadUpdateListBytes("<update><module filename=\"a.exe.zip\"" + facts + item + ">" + good + "</module></update>",
                      document, array);
  ASSERT_EQ(array.size(), 1u);
  ASSERT_EQ(array[0]->Patches.size(), 1u);
  const CPatchRef& p = array[0]->Patches[0];
  EXPECT_EQ(p.BaseSha256[0], 0xAA);
  EXPECT_EQ(p.Sha256[31], 0xDD);
  EXPECT_EQ(p.Size, 5u);
  EXPECT_EQ(p.FileName, L"~vireo-patches\\a.dll\\1.zst");
  std::uint64_t size = 0;
  Platform::Sha256Digest sha{};
  ASSERT_TRUE(array[0]->GetPatchTarget(&size, &sha));
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(sha[0], 0xBB);
}

}  // namespace
