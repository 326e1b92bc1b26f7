// CXmlDocument: parsing, diagnostics, navigation, text and attributes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xml/xml_document.h"
#include "xml/xml_parser.h"

namespace {

// Every element as "depth:name[=text]" in document order, walked with the
// navigation operations only.
std::wstring Dump(CXmlDocument& doc) {
  std::wstring out;
  int depth = 0;
  for (;;) {
    if (!doc.FindElement()) {
      if (depth == 0) break;
      doc.LeaveElement();
      --depth;
      continue;
    }
    if (!out.empty()) out += L' ';
    out += std::to_wstring(depth) + L':' + doc.GetElementName();
    const std::wstring text = doc.GetElementText();
    if (!text.empty()) out += L'=' + text;
    doc.EnterElement();
    ++depth;
  }
  return out;
}

TEST(XmlParse, WellFormednessStructureAndDiagnostics) {
  struct Case {
    const wchar_t* text;
    bool wellFormed;
    const wchar_t* elements;
    const wchar_t* diagnostics;
  };
  const Case cases[] = {
      {L"", false, L"", L""},
      {L" \r\n\t", false, L"", L"<no_root_element/>"},
      {L"<a></a>", true, L"0:a", L""},
      {L"\xFEFF<?xml version=\"1.0\"?>\n<a>t</a>\n", true, L"0:a=t", L""},
      {L"x<a/>y", true, L"0:a", L""},
      {L"<a><b></a>", false, L"0:a 1:b", L"<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"7\"/>"},
      {L"<a></b></a>", false, L"0:a", L"<lone_end_tag tagname=\"b\" offset=\"3\"/>"},
      {L"<a><b><c/></a>", false, L"0:a 1:b 1:c", L"<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"11\"/>"},
      {L"<a><b><c><d/></c></a>", false, L"0:a 1:b 1:c 2:d",
       L"<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"18\"/>"},
      {L"<a><b><c>", false, L"0:a 0:b 0:c",
       L"<unended_start_tag tagname=\"c\" offset=\"6\" offset2=\"9\"/>"
       L"<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"9\"/>"
       L"<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"9\"/><root_has_sibling/>"},
      {L"<a/><b/>", false, L"0:a 0:b", L"<root_has_sibling/>"},
      {L"<a x=1/>", false, L"0:a", L"<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"8\"/>"},
      {L"<a x=1 />", true, L"0:a", L""},
      {L"<a x=\"1\"/>", true, L"0:a", L""},
      {L"<a x/>", true, L"0:a", L""},
      {L"<a title=\"x>y\" t='/>'>t</a>", true, L"0:a=t", L""},
      {L"<r><1></r>", false, L"0:r", L"<first_tag_syntax offset=\"3\"/>"},
      {L"<r><!x></r>", false, L"0:r", L"<exclamation_tag_syntax offset=\"3\"/>"},
      {L"<r><!-x></r>", false, L"0:r", L"<comment_tag_syntax offset=\"3\"/>"},
      {L"<r><![x></r>", false, L"0:r", L"<cdata_section_syntax offset=\"3\"/>"},
      {L"<r><<b/></r>", false, L"0:r 1:b", L"<first_tag_syntax offset=\"3\"/>"},
      {L"<r/><!-- abc", false, L"0:r", L"<unterminated_tag_syntax type=\"comment\" offset=\"4\"/>"},
      {L"<r/><!DOCTYPE", false, L"0:r", L"<unterminated_tag_syntax type=\"document_type\" offset=\"4\"/>"},
      {L"<r/><", false, L"0:r", L"<unterminated_tag_syntax type=\"tag\" offset=\"4\"/>"},
      {L"<r><a x='1", false, L"0:r",
       L"<unterminated_tag_syntax type=\"start_tag\" offset=\"3\"/>"
       L"<unended_start_tag tagname=\"r\" offset=\"0\" offset2=\"10\"/>"},
      {L"<r></r", false, L"0:r",
       L"<unterminated_tag_syntax type=\"end_tag\" offset=\"3\"/><unended_start_tag tagname=\"r\" offset=\"0\" "
       L"offset2=\"6\"/>"},
      {L"<!DOCTYPE r [ <!ENTITY e \"a>b\"> <!-- > --> <?p > ?> ]><r/>", true, L"0:r", L""},
      {L"<!DOCTYPE r [ <!X> ]><r/>", false, L"0:r", L"<doctype_tag_syntax offset=\"0\"/>"},
      {L"<r><a&lt;/></r>", true, L"0:r 1:a&lt", L""},  // names end only at space, '/' and '>'
      {L"<r><x></x ></r>", true, L"0:r 1:x", L""},
      {L"<r><x a='&lt;&quot;'></y></r>", false, L"0:r 1:x",
       L"<lone_end_tag tagname=\"y\" offset=\"21\"/><unended_start_tag tagname=\"x\" offset=\"3\" offset2=\"26\"/>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    CXmlDocument doc;
    EXPECT_EQ(doc.SetText(c.text), c.wellFormed);
    EXPECT_EQ(doc.GetDiagnostics(), c.diagnostics);
    EXPECT_EQ(Dump(doc), c.elements);
  }
}

TEST(XmlParse, IndexRecordsLinksAndFlags) {
  CXmlDocument doc;
  ASSERT_FALSE(doc.SetText(L"<a><b><c/><d></d></a>"));
  const XmlElementIndex& x = doc.GetIndex();
  ASSERT_EQ(doc.GetElementCount(), 4);
  EXPECT_EQ(x[0].length, 21);
  EXPECT_EQ(x[0].child, 1);
  EXPECT_TRUE(x[0].flagsLevel & kXmlNotWellFormed);
  // b was unended: c and d moved up beside it, in order, under a.
  EXPECT_EQ(x[2].flagsLevel & (kXmlUnended | kXmlLevelMask), kXmlUnended | 1u);
  EXPECT_EQ(x[2].length, 3);
  EXPECT_EQ(x[2].child, 0);
  EXPECT_EQ(x[2].next, 3);
  EXPECT_EQ(x[3].parent, 1);
  EXPECT_EQ(x[3].next, 4);
  EXPECT_EQ(x[3].previous, 2);
  EXPECT_EQ(x[3].flagsLevel & kXmlFirstChild, 0u);
  EXPECT_EQ(x[4].parent, 1);
  EXPECT_EQ(x[4].next, 0);
  EXPECT_EQ(x[1].child, 2);
  EXPECT_EQ(x[2].previous, 4);  // the first child names the last
  EXPECT_TRUE(x[2].flagsLevel & kXmlFirstChild);
  EXPECT_EQ(doc.StartTagLength(4), 3);
  EXPECT_EQ(doc.EndTagLength(4), 4);
  EXPECT_EQ(x[1].length, 21);

  // A problem found inside an element that ends unended passes to its parent.
  ASSERT_FALSE(doc.SetText(L"<a><b></x></a>"));
  EXPECT_EQ(x[2].flagsLevel & kXmlProblem, 0u);
  EXPECT_TRUE(x[1].flagsLevel & kXmlProblem);
}

TEST(XmlNavigate, ForwardOnlySearchAndNameMatching) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.SetText(L"<update><a>1</a><b>2</b><update_list/><a x='y'>3</a></update>"));
  EXPECT_FALSE(doc.FindElement(L"up"));
  EXPECT_FALSE(doc.FindElement(L"update "));
  EXPECT_FALSE(doc.FindElement(L"update/"));
  EXPECT_FALSE(doc.FindElement(L"/update"));
  EXPECT_FALSE(doc.FindElement(L"update[1"));
  EXPECT_FALSE(doc.FindElement(L"update=x"));
  EXPECT_TRUE(doc.FindElement(L"update[1]"));
  EXPECT_EQ(doc.GetElementName(), L"update");
  doc.EnterElement();
  EXPECT_EQ(doc.GetElementName(), L"");  // no current element after entering
  EXPECT_TRUE(doc.FindElement(L"b"));
  EXPECT_EQ(doc.GetElementText(), L"2");
  EXPECT_TRUE(doc.FindElement(L"a"));  // the a after b
  EXPECT_EQ(doc.GetElementText(), L"3");
  EXPECT_FALSE(doc.FindElement(L"update"));
  EXPECT_FALSE(doc.FindElement(L"b"));  // no going back
  EXPECT_EQ(doc.GetElementText(), L"3");  // a failed search changes nothing
  doc.LeaveElement();
  EXPECT_EQ(doc.GetElementName(), L"update");
  EXPECT_FALSE(doc.FindElement(L"update_list"));  // not a top-level element
  doc.EnterElement();  // returns to the child that was current
  EXPECT_EQ(doc.GetElementText(), L"3");
  EXPECT_FALSE(doc.FindElement());
  doc.LeaveElement();
  doc.LeaveElement();  // at document level: nothing happens
  EXPECT_EQ(doc.GetElementName(), L"update");
  EXPECT_EQ(doc.GetParentPosition(), 0);

  CXmlDocument empty;
  empty.EnterElement();
  empty.LeaveElement();
  EXPECT_FALSE(empty.FindElement());
  EXPECT_EQ(empty.GetElementName(), L"");
  EXPECT_EQ(empty.GetAttributeValue(L"x"), L"");
}

TEST(XmlNavigate, ElementText) {
  struct Case {
    const wchar_t* text;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {L"<a>x &amp; y</a>", L"x & y"},
      {L"<a><b/></a>", L""},
      {L"<a/>", L""},
      {L"<a></a>", L""},
      {L"<a> p <!--c--> q <![CDATA[<r>]]></a>", L" p  q <r>"},
      {L"<a>\n  <!-- only a comment -->\n</a>", L""},
      {L"<a><![CDATA[&amp;]]>&amp;<?pi x?></a>", L"&amp;&"},
      {L"<a>1</b>2</a>", L"12"},  // a stray end tag contributes nothing
      {L"<a>&#x1F600;</a>", L"\xD83D\xDE00"},
  };
  for (const Case& c : cases) {
    CXmlDocument doc;
    doc.SetText(c.text);
    ASSERT_TRUE(doc.FindElement(L"a")) << c.text;
    EXPECT_EQ(doc.GetElementText(), c.expected) << c.text;
  }
}

TEST(XmlNavigate, AttributeValues) {
  struct Case {
    const wchar_t* text;
    const wchar_t* name;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {L"<m v='1' w=\"2\">", L"v", L"1"},
      {L"<m v='1' w=\"2\">", L"w", L"2"},
      {L"<m v = \"1\">", L"v", L"1"},
      {L"<m hidden v=2>", L"hidden", L"hidden"},
      {L"<m hidden v=2>", L"v", L"2"},
      {L"<m v=2/>", L"v", L"2/"},
      {L"<m v=2 />", L"v", L"2"},
      {L"<m v='1'>", L"absent", L""},
      {L"<m vv='1' v='2'>", L"v", L"2"},
      {L"<m v='1' v='2'>", L"v", L"1"},
      {L"<m v=\"a&lt;b&amp;&#65;\">", L"v", L"a<b&A"},
      {L"<m t='x>y' v='z'>", L"v", L"z"},
      {L"<m a='v=1' v='2'>", L"v", L"2"},
      {L"<m x=\"1\"y=\"2\">", L"y", L"2"},
      {L"<m x=>", L"x", L""},
      {L"<m last>", L"last", L"last"},
      {L"<m>", L"m", L""},
      {L"<m a==b c='d'>", L"a", L"=b"},
      {L"<m a= = b c='d'>", L"a", L""},  // a second '=' drops the name
      {L"<m a= = b c='d'>", L"b", L""},
      {L"<m a= = b c='d'>", L"c", L"d"},
      {L"<m a=/>", L"a", L""},
  };
  for (const Case& c : cases) {
    CXmlDocument doc;
    doc.SetText(c.text);
    ASSERT_TRUE(doc.FindElement()) << c.text;
    EXPECT_EQ(doc.GetAttributeValue(c.name), c.expected) << c.text << " " << c.name;
  }
}

TEST(XmlIndex, GrowsOneSegmentPerStep) {
  XmlElementIndex index;
  index.Grow(100);
  EXPECT_EQ(index.Capacity(), 100);
  index[99].start = 7;
  index.Grow(300000);  // cut down to the end of the next segment
  EXPECT_EQ(index.Capacity(), 2 * 65536);
  EXPECT_EQ(index.SegmentCount(), 2);
  EXPECT_EQ(index[99].start, 7);
  index.Grow(140000);
  EXPECT_EQ(index.Capacity(), 140000);
  EXPECT_EQ(index.SegmentCount(), 3);
  index[130000].start = 9;
  index.Grow(150000);  // the last segment is reallocated at the new size
  EXPECT_EQ(index.Capacity(), 150000);
  EXPECT_EQ(index.SegmentCount(), 3);
  EXPECT_EQ(index[130000].start, 9);
  EXPECT_EQ(index[99].start, 7);
  index.Grow(10);  // never shrinks
  EXPECT_EQ(index.Capacity(), 150000);
  index.Release();
  EXPECT_EQ(index.Capacity(), 0);
}

TEST(XmlIndex, TwoHundredThousandElementsAcrossSegments) {
  // A flat list under one root, each with a nested child, so that parent
  // and sibling links cross segment boundaries.
  const int count = 200000;
  std::wstring text = L"<list>";
  for (int i = 0; i < count; ++i) {
    text += L"<module n=\"" + std::to_wstring(i) + L"\"><v>" + std::to_wstring(i * 3) + L"</v></module>";
  }
  text += L"</list>";
  CXmlDocument doc;
  ASSERT_TRUE(doc.SetText(text));
  EXPECT_EQ(doc.GetElementCount(), 2 * count + 1);
  EXPECT_GE(doc.GetIndex().SegmentCount(), 7);
  ASSERT_TRUE(doc.FindElement(L"list"));
  doc.EnterElement();
  int seen = 0;
  while (doc.FindElement(L"module")) {
    if (doc.GetAttributeValue(L"n") != std::to_wstring(seen)) {
      ADD_FAILURE() << "module " << seen;
      break;
    }
    doc.EnterElement();
    ASSERT_TRUE(doc.FindElement(L"v"));
    ASSERT_EQ(doc.GetElementText(), std::to_wstring(seen * 3));
    doc.LeaveElement();
    ++seen;
  }
  EXPECT_EQ(seen, count);
  // A second, smaller text reuses the index.
  const std::int32_t capacity = doc.GetIndex().Capacity();
  ASSERT_TRUE(doc.SetText(L"<a/>"));
  EXPECT_EQ(doc.GetIndex().Capacity(), capacity);
  EXPECT_EQ(Dump(doc), L"0:a");
}

TEST(XmlIndex, TagLengthsBeyondTheRecordFields) {
  // An end tag longer than 1,023 units and a start tag longer than
  // 4,194,303 units are kept whole.
  const std::wstring pad(2000, L' ');
  const std::wstring attr(4200000, L'x');
  CXmlDocument doc;
  ASSERT_TRUE(doc.SetText(L"<r><a>t</a" + pad + L"><b v='" + attr + L"'>u</b></r>"));
  ASSERT_TRUE(doc.FindElement(L"r"));
  doc.EnterElement();
  ASSERT_TRUE(doc.FindElement(L"a"));
  EXPECT_EQ(doc.GetElementText(), L"t");
  ASSERT_TRUE(doc.FindElement(L"b"));
  EXPECT_EQ(doc.GetElementText(), L"u");
  EXPECT_EQ(doc.GetAttributeValue(L"v").size(), attr.size());
}

TEST(XmlParse, DiagnosticsStopGrowingNearAThousandUnits) {
  std::wstring text = L"<r>";
  for (int i = 0; i < 500; ++i) text += L"</x>";
  text += L"</r>";
  CXmlDocument doc;
  EXPECT_FALSE(doc.SetText(text));
  const std::size_t size = doc.GetDiagnostics().size();
  EXPECT_GT(size, 999u);
  EXPECT_LT(size, 1100u);
  EXPECT_EQ(doc.GetDiagnostics().substr(size - 2), L"/>");
  // Text past a NUL unit is not part of the document.
  EXPECT_TRUE(doc.SetText(std::wstring(L"<a/>\0<b/>", 9)));
  EXPECT_EQ(doc.GetDiagnostics(), L"");
}

TEST(XmlScan, NodeKindsAndLengths) {
  struct Case {
    const wchar_t* text;
    std::int32_t kind;
    std::int32_t length;
    std::uint32_t flags;
  };
  const Case cases[] = {
      {L"<a b='>'>x", kXmlNodeStartTag, 9, 0},   {L"<a/>", kXmlNodeStartTag, 4, kXmlTokenSelfClosed},
      {L"</a >x", kXmlNodeEndTag, 5, 0},          {L"ab<", kXmlNodeText, 2, 0},
      {L" \n<", kXmlNodeWhitespace, 2, 0},        {L" a <", kXmlNodeText, 3, 0},
      {L"<![CDATA[x]>]]>y", kXmlNodeCData, 15, 0}, {L"<?p a>b?>c", kXmlNodeProcessing, 9, 0},
      {L"<!--a>b-->c", kXmlNodeComment, 10, 0},   {L"<!DOCTYPE a>b", kXmlNodeDoctype, 12, 0},
      {L"<1 a='<'>b", kXmlNodeMalformed, 6, 0},   {L"<1 a='>'>b", kXmlNodeMalformed, 9, 0},
      {L"", kXmlNodeEnd, 0, 0},
  };
  for (const Case& c : cases) {
    XmlScanContext context;
    context.text = c.text;
    context.length = static_cast<std::int32_t>(std::wcslen(c.text));
    XmlNodeToken token;
    EXPECT_EQ(ScanNode(context, token), c.kind) << c.text;
    EXPECT_EQ(token.length, c.length) << c.text;
    EXPECT_EQ(token.flags, c.flags) << c.text;
    EXPECT_EQ(context.position, c.length) << c.text;
  }
}

TEST(XmlDocument, ByteSizedAndWiderTextsReadAlike) {
  // Text whose units all fit in a byte is kept one byte per unit; one wider
  // unit keeps it as given. Names, values, text, diagnostics and the text
  // itself must come out the same either way.
  for (const wchar_t unit : {L'\x00E9', L'\x00FF', L'\x0100', L'\x20AC', L'\xFFFD'}) {
    SCOPED_TRACE(static_cast<int>(unit));
    const std::wstring u(1, unit);
    const std::wstring text = L"<r" + u + L" a" + u + L"='v" + u + L"&amp;'><c>t" + u + L"<![CDATA[" + u +
                              L"]]></c></x" + u + L"></r" + u + L">";
    CXmlDocument doc;
    EXPECT_FALSE(doc.SetText(text + L'\0' + L"<tail/>"));
    EXPECT_EQ(doc.GetText(), text);
    EXPECT_EQ(doc.GetText(), text);
    EXPECT_EQ(doc.GetDiagnostics(), L"<lone_end_tag tagname=\"x" + u + L"\" offset=\"" +
                                        std::to_wstring(text.find(L"</x")) + L"\"/>");
    ASSERT_TRUE(doc.FindElement(L"r" + u));
    EXPECT_EQ(doc.GetElementName(), L"r" + u);
    EXPECT_EQ(doc.GetAttributeValue(L"a" + u), L"v" + u + L"&");
    EXPECT_EQ(doc.GetAttributeValue(L"a"), L"");
    doc.EnterElement();
    ASSERT_TRUE(doc.FindElement(L"c"));
    EXPECT_EQ(doc.GetElementText(), L"t" + u + u);
    // Replacing the text replaces what GetText gives, whatever the forms.
    EXPECT_TRUE(doc.SetText(L"<plain/>"));
    EXPECT_EQ(doc.GetText(), L"<plain/>");
    EXPECT_TRUE(doc.SetText(L"<w" + u + L"/>"));
    EXPECT_EQ(doc.GetText(), L"<w" + u + L"/>");
  }
}

TEST(XmlNavigate, LongNamesAndValuesReadAlikeInBothTextForms) {
  // Names and values longer than sixteen units, with units that end a name
  // in one place and not in another ('.', '-', digits, ':', backslash), at
  // every distance from the end of the tag. The byte-per-unit form reads
  // them in blocks; a comment with a wide unit keeps the same document in
  // the other form, read one unit at a time. Both must agree with the
  // expected values.
  struct Case {
    const wchar_t* tag;
    const wchar_t* element;  // the name FindElement must match
    const wchar_t* attribute;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {L"<module.component-name_2 long.attribute-name:x1=\"value with spaces, longer than sixteen\" o='y'>",
       L"module.component-name_2", L"long.attribute-name:x1", L"value with spaces, longer than sixteen"},
      {L"<module.component-name_2 long.attribute-name:x1=\"value with spaces, longer than sixteen\" o='y'>",
       L"module.component-name_2", L"o", L"y"},
      {L"<m a=\"x\"b='y' unquoted_attribute_value_name=unquoted-value-longer-than-16 d>", L"m",
       L"unquoted_attribute_value_name", L"unquoted-value-longer-than-16"},
      {L"<m a=\"x\"b='y' unquoted_attribute_value_name=unquoted-value-longer-than-16 d>", L"m", L"b", L"y"},
      {L"<m a=\"x\"b='y' unquoted_attribute_value_name=unquoted-value-longer-than-16 d>", L"m", L"d", L"d"},
      {L"<m attribute_name_longer_than_16='say \"q\" > here' v=\"'\">", L"m", L"attribute_name_longer_than_16",
       L"say \"q\" > here"},
      {L"<m attribute_name_longer_than_16='say \"q\" > here' v=\"'\">", L"m", L"v", L"'"},
      {L"<tag\\with_backslash_and_a_long_name x_is_the_attribute_with_long_name = 'spaced = value'>", L"tag",
       L"x_is_the_attribute_with_long_name", L"spaced = value"},
      {L"<m first_attribute_long_name=\"one&amp;two&#x33;\" second_attribute_long_name='2'>", L"m",
       L"first_attribute_long_name", L"one&two3"},
      {L"<m first_attribute_long_name=\"one&amp;two&#x33;\" second_attribute_long_name='2'>", L"m",
       L"second_attribute_long_name", L"2"},
      {L"<m name_longer_than_sixteen_units==\"after two equals\">", L"m", L"name_longer_than_sixteen_units",
       L"=\"after"},
      {L"<m name_longer_than_sixteen_units?='q' z='1'>", L"m", L"z", L""},  // a lone '?' ends the list
      {L"<m name_longer_than_sixteen_units?='q' z='1'>", L"m", L"name_longer_than_sixteen_units", L"name_longer_than_sixteen_units"},
      {L"<m ''='x' b='y'>", L"m", L"''", L""},  // a quoted token is a name of its own
      {L"<m ''='x' b='y'>", L"m", L"b", L"y"},
      {L"<m a\x01b='x'>", L"m", L"a\x01b", L"x"},  // a control unit does not end a name
      {L"<m a b='x'>", L"m", L"a", L"a"},            // a space ends a name before '='
      {L"<m a b='x'>", L"m", L"b", L"x"},
      {L"<m a/b='x'>", L"m", L"a", L"a"},            // and so does '/', which also ends the list
      {L"<m a/b='x'>", L"m", L"b", L""},
  };
  for (const Case& c : cases) {
    for (const bool wide : {false, true}) {
      const std::wstring text = std::wstring(c.tag) + (wide ? L"<!--\x20AC-->" : L"<!---->") + L"</m>";
      CXmlDocument doc;
      doc.SetText(text);
      ASSERT_TRUE(doc.FindElement(c.element)) << c.tag << (wide ? " wide" : " bytes");
      EXPECT_EQ(doc.GetAttributeValue(c.attribute), c.expected) << c.tag << " " << c.attribute
                                                                << (wide ? " wide" : " bytes");
    }
  }
}

TEST(XmlDocument, LongTextsKeepEveryUnitUpToTheFirstNul) {
  // Units are checked and copied sixteen at a time: a wide unit or a NUL at
  // every position around a block boundary. The wide ones include units that
  // a saturating pack turns into 0xFF or 0x00, and one whose low byte is an
  // ordinary letter.
  std::vector<wchar_t> units = {L'\x00FF', L'\x0100', L'\x0141', L'\x7FFF', L'\x8000', L'\xFFFF', L'\0'};
  if constexpr (sizeof(wchar_t) == 4) {
    for (const std::uint32_t u : {0x10000u, 0x10041u, 0x7FFFFFFFu, 0x80000041u, 0xFFFFFFFFu}) {
      units.push_back(static_cast<wchar_t>(u));
    }
  }
  for (const wchar_t unit : units) {
    for (std::size_t at = 0; at < 40; ++at) {
      SCOPED_TRACE(testing::Message() << static_cast<int>(unit) << " at " << at);
      std::wstring body(100, L'b');
      body[at] = unit;
      const std::wstring text = L"<r>" + body + L"</r>";
      CXmlDocument doc;
      EXPECT_EQ(doc.SetText(text), unit != 0);
      EXPECT_EQ(doc.GetText(), unit != 0 ? text : text.substr(0, at + 3));
      ASSERT_TRUE(doc.FindElement(L"r"));
      EXPECT_EQ(doc.GetElementText(), unit != 0 ? body : L"");
    }
  }
}

TEST(XmlNavigate, AttributesFollowTheCurrentElementAndTheText) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.SetText(L"<r v='0'><a v='1'/><a v='2'/></r>"));
  ASSERT_TRUE(doc.FindElement(L"r"));
  EXPECT_EQ(doc.GetAttributeValue(L"v"), L"0");
  doc.EnterElement();
  ASSERT_TRUE(doc.FindElement(L"a"));
  EXPECT_EQ(doc.GetAttributeValue(L"v"), L"1");
  ASSERT_TRUE(doc.FindElement(L"a"));
  EXPECT_EQ(doc.GetAttributeValue(L"v"), L"2");
  doc.LeaveElement();
  EXPECT_EQ(doc.GetAttributeValue(L"v"), L"0");
  // The same element positions in a new text read the new values.
  ASSERT_TRUE(doc.SetText(L"<r v='5'><a v='6'/><a w='7'/></r>"));
  ASSERT_TRUE(doc.FindElement(L"r"));
  doc.EnterElement();
  ASSERT_TRUE(doc.FindElement(L"a"));
  ASSERT_TRUE(doc.FindElement(L"a"));
  EXPECT_EQ(doc.GetAttributeValue(L"v"), L"");
  EXPECT_EQ(doc.GetAttributeValue(L"w"), L"7");
}

}  // namespace

namespace {

TEST(XmlParse, EndTagsMatchTheInnermostOpenNameTheyFit) {
  // An end tag closes the innermost open element whose name it is, or whose
  // name goes on with '=', '[' or ']' after it; elements above that one end
  // unended, and an end tag that fits no open element is lone.
  struct Case {
    const wchar_t* text;
    const wchar_t* elements;
    const wchar_t* diagnostics;
  };
  const Case cases[] = {
      {L"<a=b><c></a></a=b>", L"0:a 1:c",
       L"<unended_start_tag tagname=\"c\" offset=\"5\" offset2=\"9\"/><lone_end_tag tagname=\"a=b\" offset=\"12\"/>"},
      {L"<r><a[1]><b></a[1></r>", L"0:r 1:a[1] 2:b",
       L"<unended_start_tag tagname=\"b\" offset=\"9\" offset2=\"13\"/>"},
      {L"<r><a]x></a]></r>", L"0:r 1:a]x",
       L"<lone_end_tag tagname=\"a]\" offset=\"8\"/><unended_start_tag tagname=\"a]x\" offset=\"3\" offset2=\"14\"/>"},
      {L"<r><ab></a></r>", L"0:r 1:ab",
       L"<lone_end_tag tagname=\"a\" offset=\"7\"/><unended_start_tag tagname=\"ab\" offset=\"3\" offset2=\"12\"/>"},
      {L"<r><a><a><b></a></a></r>", L"0:r 1:a 2:a 3:b",
       L"<unended_start_tag tagname=\"b\" offset=\"9\" offset2=\"13\"/>"},
      {L"<a><b><a><c></b></a></a>", L"0:a 1:b 2:a 2:c",
       L"<unended_start_tag tagname=\"c\" offset=\"9\" offset2=\"13\"/>"
       L"<unended_start_tag tagname=\"a\" offset=\"6\" offset2=\"13\"/><lone_end_tag tagname=\"a\" offset=\"20\"/>"},
      {L"<x=y=z><q></x=y></x=y=z></x>", L"0:x 1:q",
       L"<unended_start_tag tagname=\"q\" offset=\"7\" offset2=\"11\"/>"
       L"<lone_end_tag tagname=\"x=y=z\" offset=\"16\"/><lone_end_tag tagname=\"x\" offset=\"24\"/>"},
      {L"<r></></r>", L"0:r", L"<lone_end_tag tagname=\"\" offset=\"3\"/>"},
  };
  for (const Case& c : cases) {
    for (const bool wide : {false, true}) {
      SCOPED_TRACE(testing::Message() << "case " << (&c - cases) << (wide ? " wide" : " bytes"));
      CXmlDocument doc;
      EXPECT_FALSE(wide ? doc.SetTextKeepingWideForTesting(c.text) : doc.SetText(c.text));
      EXPECT_EQ(doc.GetDiagnostics(), c.diagnostics);
      EXPECT_EQ(Dump(doc), c.elements);
    }
  }
}

TEST(XmlParse, ManyEndTagsThatMatchNothingDeepInTheStack) {
  // d open elements "ab", then d end tags "a" that match none of them: every
  // end tag is lone, and all the elements end unended at the end of the
  // text, each the following sibling of the one before. From kXmlMaxDepth
  // on, the start tags are closed at once instead.
  struct Case {
    int depth;
    const wchar_t* firstFinding;
  };
  const Case cases[] = {
      {60000, L"<lone_end_tag tagname=\"a\" offset=\"240000\"/><lone_end_tag tagname=\"a\" offset=\"240004\"/>"},
      {160000, L"<nesting_too_deep tagname=\"ab\" offset=\"262140\"/><nesting_too_deep tagname=\"ab\" offset=\"262144\"/>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.depth);
    std::wstring text;
    for (int i = 0; i < c.depth; ++i) text += L"<ab>";
    for (int i = 0; i < c.depth; ++i) text += L"</a>";
    CXmlDocument doc;
    EXPECT_FALSE(doc.SetText(text));
    EXPECT_EQ(doc.GetElementCount(), c.depth);
    EXPECT_EQ(doc.GetDiagnostics().rfind(c.firstFinding, 0), 0u);
    const XmlElementIndex& x = doc.GetIndex();
    for (const std::int32_t e : {1, c.depth / 2, c.depth}) {
      EXPECT_EQ(x[e].parent, 0) << e;
      EXPECT_EQ(x[e].next, e < c.depth ? e + 1 : 0) << e;
      EXPECT_TRUE(x[e].flagsLevel & kXmlUnended) << e;
      EXPECT_EQ(x[e].length, 4) << e;
    }
  }
}

TEST(XmlParse, NestingDeeperThanTheBoundEndsAtOnce) {
  // Start tags met with kXmlMaxDepth elements open are closed at once; the
  // end tags that would have closed them close the open ones instead.
  const int extra = 3;
  std::wstring text;
  for (int i = 0; i < kXmlMaxDepth + extra; ++i) text += L"<d>";
  for (int i = 0; i < kXmlMaxDepth + extra; ++i) text += L"</d>";
  CXmlDocument doc;
  EXPECT_FALSE(doc.SetText(text));
  EXPECT_EQ(doc.GetElementCount(), kXmlMaxDepth + extra);
  const std::wstring& d = doc.GetDiagnostics();
  EXPECT_EQ(d.rfind(L"<nesting_too_deep tagname=\"d\" offset=\"" + std::to_wstring(3 * kXmlMaxDepth) + L"\"/>", 0), 0u);
  EXPECT_NE(d.find(L"<lone_end_tag tagname=\"d\""), std::wstring::npos);
  const XmlElementIndex& x = doc.GetIndex();
  const std::int32_t first = kXmlMaxDepth + 1;  // the first record too deep to open
  EXPECT_EQ(x[first].flagsLevel & (kXmlUnended | kXmlLevelMask), kXmlUnended | static_cast<std::uint32_t>(kXmlMaxDepth));
  EXPECT_EQ(x[first].next, first + 1);  // its would-be children are its siblings
  EXPECT_EQ(x[first].parent, kXmlMaxDepth);
  EXPECT_TRUE(x[kXmlMaxDepth].flagsLevel & kXmlProblem);
  EXPECT_EQ(x[1].flagsLevel & kXmlUnended, 0u);  // the outermost is closed by an end tag
}

TEST(XmlParse, DiagnosticsKeepTheirBoundWithLongNames) {
  // A name written into a finding is cut, so one finding cannot carry the
  // whole text into the diagnostics; in both forms of the text.
  const std::wstring name(100000, L'n');
  std::wstring many = L"<r>";
  for (int i = 0; i < 50; ++i) many += L"</" + name + L"&>";
  many += L"</r>";
  for (const bool wide : {false, true}) {
    SCOPED_TRACE(wide ? "wide" : "bytes");
    CXmlDocument doc;
    auto set = [&](const std::wstring& text) {
      return wide ? doc.SetTextKeepingWideForTesting(text) : doc.SetText(text);
    };
    EXPECT_FALSE(set(L"<r></" + name + L"></r>"));
    EXPECT_EQ(doc.GetDiagnostics(),
              L"<lone_end_tag tagname=\"" + name.substr(0, kXmlMaxDiagnosticName) + L"\" offset=\"3\"/>");
    EXPECT_FALSE(set(many));
    EXPECT_LT(doc.GetDiagnostics().size(), 2700u);
  }
}

}  // namespace
