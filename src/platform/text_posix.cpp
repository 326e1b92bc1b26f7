#include "platform/cp1252.h"
#include "platform/text.h"

#include <cstdint>

namespace Platform {
namespace {

// The simple upper case of one UTF-16 unit; units outside the covered blocks
// (and letters without a single-unit upper case) map to themselves.
wchar_t UpperUnit(wchar_t unit) {
  const std::uint32_t u = static_cast<std::uint32_t>(unit);
  const auto pairEvenUpper = [u](std::uint32_t first, std::uint32_t last) {
    return u >= first && u <= last && ((u - first) & 1) == 1;
  };
  if (u < 0x80) return u >= 'a' && u <= 'z' ? static_cast<wchar_t>(u - 0x20) : unit;
  // Latin-1
  if (u == 0xB5) return static_cast<wchar_t>(0x39C);
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return static_cast<wchar_t>(u - 0x20);
  if (u == 0xFF) return static_cast<wchar_t>(0x178);
  // Latin Extended-A: upper and lower alternate, the upper first or second.
  if (pairEvenUpper(0x100, 0x12F) || pairEvenUpper(0x132, 0x137) || pairEvenUpper(0x14A, 0x177))
    return static_cast<wchar_t>(u - 1);
  if ((u >= 0x139 && u <= 0x148 && (u & 1) == 0) || (u >= 0x179 && u <= 0x17E && (u & 1) == 0))
    return static_cast<wchar_t>(u - 1);
  if (u == 0x131) return L'I';
  if (u == 0x17F) return L'S';
  // Greek
  if (u == 0x3AC) return static_cast<wchar_t>(0x386);
  if (u >= 0x3AD && u <= 0x3AF) return static_cast<wchar_t>(u - 0x25);
  if (u == 0x3C2) return static_cast<wchar_t>(0x3A3);
  if (u >= 0x3B1 && u <= 0x3CB) return static_cast<wchar_t>(u - 0x20);
  if (u == 0x3CC) return static_cast<wchar_t>(0x38C);
  if (u == 0x3CD || u == 0x3CE) return static_cast<wchar_t>(u - 0x3F);
  if (pairEvenUpper(0x3D8, 0x3EF)) return static_cast<wchar_t>(u - 1);
  // Cyrillic and its supplement
  if (u >= 0x430 && u <= 0x44F) return static_cast<wchar_t>(u - 0x20);
  if (u >= 0x450 && u <= 0x45F) return static_cast<wchar_t>(u - 0x50);
  if (pairEvenUpper(0x460, 0x481) || pairEvenUpper(0x48A, 0x4BF) || pairEvenUpper(0x4D0, 0x52F))
    return static_cast<wchar_t>(u - 1);
  if (u >= 0x4C1 && u <= 0x4CE && (u & 1) == 0) return static_cast<wchar_t>(u - 1);
  if (u == 0x4CF) return static_cast<wchar_t>(0x4C0);
  return unit;
}

}  // namespace

std::wstring FoldCase(std::wstring_view text) {
  std::wstring out(text);
  for (wchar_t& unit : out) unit = UpperUnit(unit);
  return out;
}

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (UpperUnit(a[i]) != UpperUnit(b[i])) return false;
  }
  return true;
}

std::wstring AnsiToWide(const char* bytes, std::size_t count) {
  std::wstring out;
  out.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = static_cast<wchar_t>(Cp1252ToUnit(static_cast<unsigned char>(bytes[i])));
  }
  return out;
}

bool WideToCodePage(const std::wstring& text, unsigned codePage, std::string* out) {
  if (codePage == 65001) {
    *out = ToUtf8(text);
    return true;
  }
  if (codePage != 1252) return false;
  out->clear();
  out->reserve(text.size());
  for (wchar_t unit : text) {
    unsigned char byte = 0;
    if (!UnitToCp1252(static_cast<char16_t>(unit), &byte)) return false;
    out->push_back(static_cast<char>(byte));
  }
  return true;
}

}  // namespace Platform
