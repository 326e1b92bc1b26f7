// Fuzz target: arbitrary bytes through UTF-8 decoding and the XML document,
// then a walk over every element reading its name, text and attributes, in
// both forms the document keeps text in (a byte per unit where every unit
// fits, wchar_t units otherwise): they must agree step by step. A document
// that says it is well formed must have exactly one top-level element, and
// the diagnostics must keep their bound.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "xml/entities.h"
#include "xml/utf8.h"
#include "xml/xml_document.h"
#include "xml/xml_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const auto count = static_cast<std::int32_t>(size);
  // Both decoding modes must agree on the number of units.
  const std::int32_t units = Utf8ToWide(nullptr, bytes, count);
  std::wstring buffer(size + 1, L'\0');
  Utf8ToWide(buffer.data(), bytes, count);
  const std::wstring text = Utf8ToWide(std::string_view(bytes, size));
  if (static_cast<std::int32_t>(text.size()) != units) __builtin_trap();
  if (buffer.compare(0, text.size(), text) != 0) __builtin_trap();

  static const wchar_t* const kNames[] = {L"filename", L"version", L"datetime", L"update_list", L"x[1]", L"a"};
  std::size_t total = 0;
  auto same = [](const std::wstring& a, const std::wstring& b) {
    if (a != b) __builtin_trap();
    return a.size();
  };
  CXmlDocument doc;
  CXmlDocument wide;
  const bool wellFormed = doc.SetText(text);
  if (wide.SetTextKeepingWideForTesting(text) != wellFormed) __builtin_trap();
  if (doc.GetDiagnostics() != wide.GetDiagnostics()) __builtin_trap();
  if (doc.GetDiagnostics().size() >= 2700) __builtin_trap();
  if (doc.GetElementCount() != wide.GetElementCount()) __builtin_trap();
  if (doc.GetText() != text || wide.GetText() != text) __builtin_trap();
  int topLevel = 0;
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
    if (depth == 0) ++topLevel;
    const std::wstring name = doc.GetElementName();
    total += same(name, wide.GetElementName());
    total += same(doc.GetElementText(), wide.GetElementText());
    for (const wchar_t* attr : kNames) total += same(doc.GetAttributeValue(attr), wide.GetAttributeValue(attr));
    total += same(doc.GetAttributeValue(name), wide.GetAttributeValue(name));
    // A named search from here must not crash either, and must agree.
    if (doc.FindElement(name) != wide.FindElement(name)) __builtin_trap();
    if (doc.GetCurrentPosition() != wide.GetCurrentPosition()) __builtin_trap();
    doc.EnterElement();
    wide.EnterElement();
    ++depth;
    if (depth > kXmlMaxDepth + 1) __builtin_trap();
  }
  if (wellFormed && topLevel != 1) __builtin_trap();
  total += EscapeText(text).size() + UnescapeText(text).size();
  return total == static_cast<std::size_t>(-1) ? 1 : 0;
}
