// Windows-1252, the ANSI code page the posix build stands in with.
#pragma once
#include <cstdint>

namespace Platform {

// The UTF-16 unit of one Windows-1252 byte (the five undefined bytes map to
// their own value, as Windows maps them).
char16_t Cp1252ToUnit(unsigned char byte);
// The Windows-1252 byte of a unit; false when the code page has none.
bool UnitToCp1252(char16_t unit, unsigned char* byte);

}  // namespace Platform
