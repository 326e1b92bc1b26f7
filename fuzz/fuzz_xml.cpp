// Fuzz target: arbitrary bytes through UTF-8 decoding and the XML document,
// then a walk over every element reading its name, text and attributes.
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

  CXmlDocument doc;
  doc.SetText(text);
  static const wchar_t* const kNames[] = {L"filename", L"version", L"datetime", L"update_list", L"x[1]"};
  std::size_t total = 0;
  int depth = 0;
  for (;;) {
    if (!doc.FindElement(nullptr)) {
      if (depth == 0) break;
      doc.LeaveElement();
      --depth;
      continue;
    }
    const std::wstring name = doc.GetElementName();
    total += name.size() + doc.GetElementText().size();
    for (const wchar_t* attr : kNames) total += doc.GetAttributeValue(attr).size();
    total += doc.GetAttributeValue(name).size();
    doc.FindElement(name);  // a named search from here must not crash either
    doc.EnterElement();
    ++depth;
  }
  total += EscapeText(text).size() + UnescapeText(text).size();
  return total == static_cast<std::size_t>(-1) ? 1 : 0;
}
