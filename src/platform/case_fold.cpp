#include "platform/case_fold.h"

#include <cstdint>

namespace Platform {

wchar_t FoldCaseUnit(wchar_t unit) {
  const auto c = static_cast<std::uint32_t>(unit);
  const auto to = [](std::uint32_t v) { return static_cast<wchar_t>(v); };
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? to(c - 0x20) : unit;
  // Latin-1: à..þ but ÷; ÿ pairs with Ÿ. ß has no single upper-case unit.
  if (c >= 0xE0 && c <= 0xFE) return c == 0xF7 ? unit : to(c - 0x20);
  if (c == 0xFF) return to(0x178);
  if (c == 0xB5) return to(0x39C);
  // Latin Extended-A: upper/lower pairs, even/odd except for the runs that
  // start on an odd unit.
  if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
    return (c & 1) ? to(c - 1) : unit;
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? unit : to(c - 1);
  if (c == 0x131) return to('I');
  if (c == 0x17F) return to('S');
  // Greek.
  if (c >= 0x3B1 && c <= 0x3CB) return c == 0x3C2 ? to(0x3A3) : to(c - 0x20);
  if (c == 0x3AC) return to(0x386);
  if (c >= 0x3AD && c <= 0x3AF) return to(c - 0x25);
  if (c == 0x3CC) return to(0x38C);
  if (c == 0x3CD || c == 0x3CE) return to(c - 0x3F);
  // Cyrillic.
  if (c >= 0x430 && c <= 0x44F) return to(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return to(c - 0x50);
  if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F))
    return (c & 1) ? to(c - 1) : unit;
  if (c >= 0x4C1 && c <= 0x4CE) return (c & 1) ? unit : to(c - 1);
  if (c == 0x4CF) return to(0x4C0);
  // Full-width Latin.
  if (c >= 0xFF41 && c <= 0xFF5A) return to(c - 0x20);
  return unit;
}

std::wstring FoldCase(std::wstring_view text) {
  std::wstring out(text);
  for (wchar_t& c : out) c = FoldCaseUnit(c);
  return out;
}

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldCaseUnit(a[i]) != FoldCaseUnit(b[i])) return false;
  }
  return true;
}

}  // namespace Platform
