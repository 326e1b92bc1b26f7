// The name check for names that come from the network: one row per form
// that is refused or accepted.
#include <gtest/gtest.h>

#include <string>

#include "platform/safe_name.h"

namespace {

std::string Printable(const std::wstring& name) {
  std::string out;
  for (const wchar_t c : name) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[16];
      std::snprintf(hex, sizeof hex, "\\x%X", static_cast<unsigned>(c));
      out += hex;
    }
  }
  return out;
}

TEST(SafeName, OneRowPerForm) {
  struct Case {
    std::wstring name;
    bool accepted;
  };
  const Case cases[] = {
      // Plain relative names.
      {L"core.dll", true},
      {L"bin\\core.dll", true},
      {L"bin/sub/x.dll", true},
      {L".\\a.txt", true},
      {L"a..b.dll", true},
      {L"..data", true},
      {L".hidden", true},
      {L"bin\\", true},
      {L"bin\\\\x.dll", true},
      {L"caf\x00E9.txt", true},
      {L"\x4E16\x754C.dll", true},
      {L"a b.dll", true},
      {L"a.b.c", true},
      // Device-like names that are not devices.
      {L"console.dll", true},
      {L"nullable.dll", true},
      {L"com10.dll", true},
      {L"lpt.dll", true},
      {L"auxiliary\\x.dll", true},
      {L"xnul.dll", true},
      {L"bin\\con_x.dll", true},
      // Empty, rooted, drive, UNC and device prefixes, streams.
      {L"", false},
      {L"\\Windows\\evil.dll", false},
      {L"/etc/passwd", false},
      {L"\\\\server\\share\\x.dll", false},
      {L"\\\\?\\C:\\x.dll", false},
      {L"\\\\.\\COM1", false},
      {L"C:\\Windows\\evil.dll", false},
      {L"C:evil.dll", false},
      {L"core.dll:stream", false},
      // Climbing out.
      {L"..", false},
      {L"..\\evil.dll", false},
      {L"../evil.dll", false},
      {L"bin\\..\\..\\evil.dll", false},
      {L"bin\\..", false},
      {L"bin\\...\\x", false},
      {L"bin\\.. \\x", false},
      {L". .", false},
      // Reserved device names, with and without extensions, any case.
      {L"CON", false},
      {L"con", false},
      {L"PRN", false},
      {L"AUX", false},
      {L"NUL", false},
      {L"nul.dll", false},
      {L"NUL.tar.gz", false},
      {L"nul .dll", false},
      {L"Com1", false},
      {L"COM1.txt", false},
      {L"com9.log", false},
      {L"COM0", false},
      {L"LPT1", false},
      {L"lpt9.dll", false},
      {L"COM\x00B9", false},
      {L"LPT\x00B2.txt", false},
      {L"CONIN$", false},
      {L"conout$.txt", false},
      {L"bin\\aux.dll", false},
      {L"nul\\x.dll", false},
      // Components ending in a dot or a space.
      {L"a.dll.", false},
      {L"a.dll ", false},
      {L"bin.\\a.dll", false},
      {L"bin \\a.dll", false},
      {L"a.", false},
      // Control units.
      {L"a\x01.dll", false},
      {L"a\r\n[00-00-00] forged.dll", false},
      {L"a\t.dll", false},
      {L"a\x7F.dll", false},
      {std::wstring(L"a\0b.dll", 7), false},
      // Units Windows refuses in names.
      {L"a<b.dll", false},
      {L"a>b.dll", false},
      {L"a\"b.dll", false},
      {L"a|b.dll", false},
      {L"a?.dll", false},
      {L"*.dll", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsContainedRelativePath(c.name), c.accepted) << Printable(c.name);
}

}  // namespace
