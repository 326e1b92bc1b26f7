// Facts about the running process.
#pragma once
#include <string>
#include <vector>

namespace Platform {

// The full path of the running executable, "\" separated (posix: the real
// path with "/" written as "\"), at most 260 characters as Windows gives it.
std::wstring GetExecutablePath();

// The running process's id.
unsigned long GetCurrentProcessIdNumber();

// The program's arguments as UTF-8, the program's name first. Windows: taken
// from the wide command line (argc and argv are not used), so that arguments
// outside the ANSI code page survive; posix: argv as given.
std::vector<std::string> GetCommandLineArguments(int argc, char** argv);

// Makes standard output pass bytes through unchanged (Windows: no "\n" to
// "\r\n" translation); nothing to do on posix. Call before the first write.
void SetBinaryStandardOutput();

}  // namespace Platform
