// Letter case folding for names compared as the file system compares them:
// ordinal (unit by unit, no locale), case-insensitive, covering the letters
// of Latin-1, Latin Extended-A, Greek, Cyrillic and the full-width Latin
// forms as well as ASCII. The same on every build, whatever the locale.
#pragma once
#include <string>
#include <string_view>

namespace Platform {

// The upper-case form of one UTF-16 unit; units without one stay as they are.
wchar_t FoldCaseUnit(wchar_t unit);
// `text` with every unit folded: two names fold alike exactly when
// EqualsIgnoringCase holds.
std::wstring FoldCase(std::wstring_view text);
// Whether `a` and `b` are the same name, letter case ignored.
bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b);

}  // namespace Platform
