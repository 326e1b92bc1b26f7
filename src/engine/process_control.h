// Windows only: ending a running copy of a program before its file is
// replaced, and starting a module's program once its update is done. Both
// run on the update worker thread.
#pragma once
#include <cstdint>
#include <string>

// Ends the first running process (in the system's process list order) whose
// executable file name equals `exeName` exactly (letter case included), with
// exit code 0. Does not wait for it to go. Nothing happens when no process
// matches or the match cannot be opened.
void CloseRunningProgram(const std::wstring& exeName);

// Starts the program at `path` with an empty command line, the updater's
// environment and current folder, and does not wait for it. 1 when the
// process was created, otherwise the platform's error code (2: no such file).
std::uint32_t LaunchProgram(const std::wstring& path);
