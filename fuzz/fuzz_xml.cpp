// Fuzz target: arbitrary bytes through UTF-8 decoding and the XML document,
// then a walk over every element reading its name, text and attributes. A
// document that says it is well formed must have exactly one top-level
// element, and the diagnostics must keep their bound.
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
  CXmlDocument doc;
  const bool wellFormed = doc.SetText(text);
  if (doc.GetDiagnostics().size() >= 2700) __builtin_trap();
  if (doc.GetText() != text) __builtin_trap();
  std::size_t total = 0;
  int topLevel = 0;
  int depth = 0;
  for (;;) {
    if (!doc.FindElement(nullptr)) {
      if (depth == 0) break;
      doc.LeaveElement();
      --depth;
      continue;
    }
    if (depth == 0) ++topLevel;
    const std::wstring name = doc.GetElementName();
    total += name.size() + doc.GetElementText().size();
    for (const wchar_t* attr : kNames) total += doc.GetAttributeValue(attr).size();
    total += doc.GetAttributeValue(name).size();
    // A named search from here must not crash either.
    (void)doc.FindElement(name);
    doc.EnterElement();
    ++depth;
    if (depth > kXmlMaxDepth + 1) __builtin_trap();
  }
  if (wellFormed && topLevel != 1) __builtin_trap();
  total += EscapeText(text).size() + UnescapeText(text).size();
  return total == static_cast<std::size_t>(-1) ? 1 : 0;
}
