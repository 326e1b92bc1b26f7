// UTF-8 decoding and character references.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/test_files.h"
#include "xml/entities.h"
#include "xml/utf8.h"

namespace {

std::vector<int> Units(const std::wstring& s) {
  std::vector<int> units;
  for (wchar_t c : s) units.push_back(static_cast<int>(c));
  return units;
}

TEST(Utf8, DecodesSequencesAndReplacesInvalidOnes) {
  struct Case {
    std::string bytes;
    std::vector<int> units;
  };
  const Case cases[] = {
      {"", {}},
      {"\xEF\xBB\xBF<a/>", {0xFEFF, '<', 'a', '/', '>'}},
      {"\xC3\xA9", {0xE9}},
      {"\xE2\x82\xAC", {0x20AC}},
      {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
      {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},
      {"\xC3", {'?'}},
      {"\xC3\x41", {'?', 'A'}},
      {"\xFF", {'?'}},
      {"\xF8\xFF", {'?', '?'}},
      {"\xE9\x80", {'?'}},
      {"\xB0\x80\x80\x81", {1}},
      {"\xC0\xAF", {'/'}},  // overlong forms are not rejected
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(Units(Utf8ToWide(std::string_view(c.bytes))), c.units);
    const auto count = static_cast<std::int32_t>(c.bytes.size());
    EXPECT_EQ(Utf8ToWide(nullptr, c.bytes.data(), count), static_cast<std::int32_t>(c.units.size()));
    std::vector<wchar_t> out(c.bytes.size() + 1, L'#');
    EXPECT_EQ(Utf8ToWide(out.data(), c.bytes.data(), count), count);
    for (std::size_t i = 0; i < c.units.size(); ++i) EXPECT_EQ(static_cast<int>(out[i]), c.units[i]) << i;
    EXPECT_EQ(out[c.units.size()], L'#');  // no terminator unless a NUL was decoded
  }
}

TEST(Utf8, NulEndsTheConversion) {
  // Output mode stores the NUL and reports the bytes up to and including it.
  wchar_t out[4] = {L'#', L'#', L'#', L'#'};
  EXPECT_EQ(Utf8ToWide(out, "A\0B", 3), 2);
  EXPECT_EQ(out[0], L'A');
  EXPECT_EQ(out[1], L'\0');
  EXPECT_EQ(out[2], L'#');
  EXPECT_EQ(Utf8ToWide(nullptr, "A\0B", 3), 1);
  // 80 80 is a two-byte sequence of value 0.
  EXPECT_EQ(Utf8ToWide(nullptr, "x\x80\x80y", 4), 1);
  EXPECT_EQ(Utf8ToWide(std::string_view("x\x80\x80y", 4)), L"x");
  EXPECT_EQ(Utf8ToWide(nullptr, "abc", -1), 0);
}

TEST(Utf8, LongTextsAgreeAcrossBlockAndPieceBoundaries) {
  // ASCII is copied sixteen bytes at a time and the text is decoded in pieces
  // of 2,048 units: a sequence, an invalid byte or a NUL placed around those
  // boundaries must come out as it does anywhere else.
  struct Insert {
    std::string bytes;
    std::wstring units;
    bool ends;  // a NUL: the text stops there
  };
  const Insert inserts[] = {
      {"\xC3\xA9", L"\x00E9", false},
      {"\xF0\x9F\x98\x80", L"\xD83D\xDE00", false},
      {"\xFF", L"?", false},
      {"\xE2\x82", L"?", false},  // the 'a' after it is not a continuation
      {std::string(1, '\0'), L"", true},
  };
  const std::size_t length = 5000;
  for (const Insert& insert : inserts) {
    for (const std::size_t at : {0, 1, 15, 16, 17, 31, 2046, 2047, 2048, 2049, 4095, 4096, 5000}) {
      SCOPED_TRACE(testing::Message() << "insert " << (&insert - inserts) << " at " << at);
      std::string bytes(length, 'a');
      bytes.insert(at, insert.bytes);
      std::wstring expected = std::wstring(at, L'a') + insert.units;
      if (!insert.ends) expected += std::wstring(length - at, L'a');
      EXPECT_EQ(Utf8ToWide(std::string_view(bytes)), expected);
      const auto count = static_cast<std::int32_t>(bytes.size());
      EXPECT_EQ(Utf8ToWide(nullptr, bytes.data(), count), static_cast<std::int32_t>(expected.size()));
      std::wstring out(bytes.size() + 1, L'#');
      EXPECT_EQ(Utf8ToWide(out.data(), bytes.data(), count),
                insert.ends ? static_cast<std::int32_t>(at + 1) : count);
      EXPECT_EQ(out.compare(0, expected.size(), expected), 0);
    }
  }
}

TEST(Utf8, DecodeCharStopsBeforeAByteThatCannotContinue) {
  const unsigned char bytes[] = {0xE2, 0x82, 0x41};
  const unsigned char* cursor = bytes;
  EXPECT_EQ(DecodeUtf8Char(cursor, bytes + 3), -1);
  EXPECT_EQ(cursor, bytes + 2);  // 0x41 left for the next call
  EXPECT_EQ(DecodeUtf8Char(cursor, bytes + 3), 0x41);
}

TEST(Entities, DecodesReferencesAndLeavesNonReferences) {
  struct Case {
    std::wstring in;
    std::wstring out;
  };
  const Case cases[] = {
      {L"&lt;&gt;&amp;&quot;&apos;", L"<>&\"'"},
      {L"&#65;&#x41;&#X41;", L"AAA"},
      {L"&AMP;&Amp;", L"&&"},
      {L"&#0;|&;|&unknown;|& x|&#;|&#x;", L"&#0;|&;|&unknown;|& x|&#;|&#x;"},
      {L"&#x1F600;", L"\xD83D\xDE00"},
      {L"&nbsp;&euro;", L"\x00A0\x20AC"},
      {L"&abcdefghij;", L"&abcdefghij;"},
      {L"&a &amp;", L"&a &"},
      {L"x&amp", L"x&amp"},
      {L"&\x00E9t;", L"&\x00E9t;"},
      // Exact case wins; the folded name is the fallback.
      {L"&oslash;&Oslash;&OSLASH;", L"\x00F8\x00D8\x00D8"},
      {L"&darr;&dArr;&prime;&Prime;&delta;&Delta;", L"\x2193\x21D3\x2032\x2033\x03B4\x0394"},
      // Values that are no code point are no references.
      {L"&#-65;&#x110000;&#99999999999;", L"&#-65;&#x110000;&#99999999999;"},
      {L"&#65x;", L"A"},  // digits are read up to the first non-digit
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Units(UnescapeText(c.in)), Units(c.out)) << "case " << (&c - cases);
  }
}

TEST(Entities, EveryHtml401NameAndAposDecodes) {
  std::string bytes;
  ASSERT_TRUE(TestFiles::ReadBytes(TestFiles::FixturePath("xml/entities.txt"), &bytes));
  std::istringstream lines(bytes);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name;
    int code = 0;
    fields >> name >> code;
    const std::wstring wide(name.begin(), name.end());
    EXPECT_EQ(LookupEntity(wide), code) << name;
    EXPECT_EQ(Units(UnescapeText(L"&" + wide + L";")), std::vector<int>{code}) << name;
    ++count;
  }
  EXPECT_EQ(count, 253);
}

TEST(Entities, EscapesAttributeForm) {
  EXPECT_EQ(EscapeText(L"a<\"b\">&'c'"), L"a&lt;&quot;b&quot;&gt;&amp;&apos;c&apos;");
  EXPECT_EQ(UnescapeText(EscapeText(L"x<&>\"'y")), L"x<&>\"'y");
}

}  // namespace
