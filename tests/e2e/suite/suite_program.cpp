// A program of the sample suite (the viewer, the print agent). It notes that
// it was started -- one block appended to "<name>.started" beside the
// executable, holding its command line and working folder -- and exits.
// When "<name>.linger" exists beside it, it stays running for that many
// milliseconds first (the file holds the number), so that a test can see a
// running copy ended by the updater.
#include <windows.h>

#include <string>

namespace {

#if SUITE_V2 >= 1
// Release 1.1 carries code that 1.0 does not, ahead of the rest of the
// program: everything after it moves, as between two builds of a real
// program, and the patch between them has addresses to map.
__attribute__((noinline)) unsigned NoteChecksum(const std::string& text) {
  unsigned hash = 2166136261u;
  for (const unsigned char c : text) hash = (hash ^ c) * 16777619u;
  return hash;
}
#endif

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                        nullptr);
  return out;
}

// The executable's path without its extension: the base of the note files.
std::wstring NoteBase() {
  wchar_t path[32768];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, 32768);
  std::wstring base(path, length);
  const size_t dot = base.find_last_of(L'.');
  const size_t slash = base.find_last_of(L"\\/");
  if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) base.resize(dot);
  return base;
}

bool AppendNote(const std::wstring& path, const std::string& text) {
  HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(file);
  return ok && written == text.size();
}

DWORD LingerMillis(const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  char buffer[16] = {};
  DWORD read = 0;
  (void)::ReadFile(file, buffer, sizeof buffer - 1, &read, nullptr);
  ::CloseHandle(file);
  DWORD millis = 0;
  for (DWORD i = 0; i < read && buffer[i] >= '0' && buffer[i] <= '9'; ++i) millis = millis * 10 + (buffer[i] - '0');
  return millis;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const std::wstring base = NoteBase();
  wchar_t folder[32768];
  const DWORD folderLength = ::GetCurrentDirectoryW(32768, folder);
  const std::string note = "command line: " + ToUtf8(::GetCommandLineW()) + "\r\n" +
                           "working folder: " + ToUtf8(std::wstring(folder, folderLength)) + "\r\n";
  if (!AppendNote(base + L".started", note)) return 1;
#if SUITE_V2 >= 1
  static volatile unsigned lastNote;
  lastNote = NoteChecksum(note);
#endif
  const DWORD linger = LingerMillis(base + L".linger");
  if (linger != 0) ::Sleep(linger);
  return 0;
}
