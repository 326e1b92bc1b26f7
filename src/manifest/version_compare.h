// Comparison of published and local version strings ("1.2.0.5", "1,2,0,5",
// "1_2" ...), component by component as decimal numbers.
#pragma once
#include <string>

// Result values of CompareVersionStrings.
inline constexpr int kVersionLower = 1;   // first < second
inline constexpr int kVersionHigher = 2;  // first > second
inline constexpr int kVersionEqual = 3;

// The number of leading components compared; later ones are ignored.
inline constexpr int kVersionComponentLimit = 50;

// The first of ".", ",", "_", "|", "-", " " that occurs anywhere in `text`
// (tried in that order), or an empty string when none does.
std::wstring FindVersionSeparator(const std::wstring& text);

// Splits each string at its own separator, removes spaces from every
// component and compares the first 50 components as decimal integers (leading
// sign and digits; no digits and missing components count as 0). Returns
// kVersionLower, kVersionHigher or kVersionEqual.
int CompareVersionStrings(const std::wstring& first, const std::wstring& second);
