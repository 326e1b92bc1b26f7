// Ending a running copy of a program before its file is replaced, and
// starting a program once its update is done. Windows does both; on posix,
// where no suite program runs, nothing is ever running and nothing starts.
#pragma once
#include <cstdint>
#include <string>

namespace Platform {

// What became of a running copy of a program that was to be ended.
enum class CloseOutcome {
  kNoneRunning,  // no process runs from that file
  kEnded,        // the first such process was ended and has gone
  kStillRunning, // it was told to end but had not gone within the wait
  kNotEnded,     // it could not be opened or ended (*error says why)
};

// Ends the first running process (in the system's process list order) whose
// executable is the file at `imagePath`: full paths compared as the system
// resolves them (long names, letter case ignored), never a mere file name, so
// a program of the same name elsewhere is left alone. Waits up to `waitMs`
// for it to go. *error is the platform error for kNotEnded.
CloseOutcome CloseRunningProgram(const std::wstring& imagePath, std::uint32_t waitMs, std::uint32_t* error);

// Starts the program at `path` with an empty command line, the updater's
// environment and current folder, and does not wait for it. 1 when the
// process was created, otherwise the platform's error code (2: no such file).
std::uint32_t LaunchProgram(const std::wstring& path);

}  // namespace Platform
