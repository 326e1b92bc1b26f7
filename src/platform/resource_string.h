// The running executable's string table.
#pragma once
#include <string>

namespace Platform {

// The text of string resource `id` of the running executable, as stored (any
// placeholders left as they are); empty when it has no such string. Posix
// executables carry no string table: always empty there. Any thread.
std::wstring LoadResourceString(unsigned id);

}  // namespace Platform
