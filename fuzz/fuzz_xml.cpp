// Fuzz target: arbitrary bytes through UTF-8 decoding and the XML document,
// then a walk over every element reading its name, text and attributes, in
// both forms the document keeps text in (they must agree).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "xml/entities.h"
#include "xml/utf8.h"
#include "xml/xml_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const auto count = static_cast<std::int32_t>(size);
  // Both decoding modes must agree on the number of units.
  const std::int32_t units = Utf8ToWide(nullptr, bytes, count);
  std::wstring buffer(size + 1, L'\0');
  Utf8ToWide(buffer.data(), bytes, count);
  std::wstring text = Utf8ToWide(std::string_view(bytes, size));
  if (static_cast<std::int32_t>(text.size()) != units) __builtin_trap();
  if (buffer.compare(0, text.size(), text) != 0) __builtin_trap();

  // The same text kept in both forms (a byte per unit where it fits, as
  // given otherwise) must parse and read alike, step by step; so must a text
  // narrowed while it is parsed, in steps of a few units.
  static const wchar_t* const kNames[] = {L"filename", L"version", L"datetime", L"update_list", L"x[1]", L"a"};
  auto same = [](const std::wstring& a, const std::wstring& b) {
    if (a != b) __builtin_trap();
    return a.size();
  };
  std::size_t total = 0;
  auto agree = [&](CXmlDocument& doc) {
    CXmlDocument wide;
    const bool wellFormed = doc.SetText(text);
    if (wide.SetTextKeepingWideForTesting(text) != wellFormed) __builtin_trap();
    if (doc.GetDiagnostics() != wide.GetDiagnostics()) __builtin_trap();
    if (doc.GetElementCount() != wide.GetElementCount()) __builtin_trap();
    if (doc.GetText() != wide.GetText()) __builtin_trap();
    int depth = 0;
    for (;;) {
      const bool found = doc.FindElement(nullptr);
      if (wide.FindElement(nullptr) != found) __builtin_trap();
      if (!found) {
        if (depth == 0) break;
        doc.LeaveElement();
        wide.LeaveElement();
        --depth;
        continue;
      }
      const std::wstring name = doc.GetElementName();
      total += same(name, wide.GetElementName());
      total += same(doc.GetElementText(), wide.GetElementText());
      for (const wchar_t* attr : kNames) total += same(doc.GetAttributeValue(attr), wide.GetAttributeValue(attr));
      total += same(doc.GetAttributeValue(name), wide.GetAttributeValue(name));
      // A named search from here must not crash either, and must agree.
      if (doc.FindElement(name) != wide.FindElement(name)) __builtin_trap();
      doc.EnterElement();
      wide.EnterElement();
      ++depth;
    }
  };
  CXmlDocument whole;
  agree(whole);
  CXmlDocument stepped;
  stepped.SetNarrowingStepsForTesting(0, 1 + (size > 0 ? data[0] % 8 : 0), 1 + (size > 1 ? data[1] % 24 : 0));
  agree(stepped);
  total += EscapeText(text).size() + UnescapeText(text).size();
  return total == static_cast<std::size_t>(-1) ? 1 : 0;
}
