#include "platform/process_control.h"

#include <vector>

#include "platform/file.h"
#include "platform/windows_api.h"
#include "platform/windows_handle.h"

#include <tlhelp32.h>

namespace Platform {

CloseOutcome CloseRunningProgram(const std::wstring& imagePath, std::uint32_t waitMs, std::uint32_t* error) {
  *error = 0;
  const std::wstring target = ComparablePath(imagePath);
  if (target.empty()) return CloseOutcome::kNoneRunning;
  CScopedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return CloseOutcome::kNoneRunning;
  const DWORD self = ::GetCurrentProcessId();
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry)) {
    if (entry.th32ProcessID == self || entry.th32ProcessID == 0) continue;
    CScopedHandle process(
        ::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID));
    if (!process) continue;
    std::wstring image(32768, L'\0');
    DWORD size = static_cast<DWORD>(image.size());
    if (!::QueryFullProcessImageNameW(process.Get(), 0, image.data(), &size)) continue;
    image.resize(size);
    if (ComparablePath(image) != target) continue;
    // Only the first such process is ended.
    if (!::TerminateProcess(process.Get(), 0)) {
      *error = ::GetLastError();
      return CloseOutcome::kNotEnded;
    }
    return ::WaitForSingleObject(process.Get(), waitMs) == WAIT_OBJECT_0 ? CloseOutcome::kEnded
                                                                         : CloseOutcome::kStillRunning;
  }
  return CloseOutcome::kNoneRunning;
}

std::uint32_t LaunchProgram(const std::wstring& path) {
  // CreateProcessW may write into the command line, so it gets a buffer of
  // its own, holding the empty string.
  std::vector<wchar_t> commandLine(1, L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE, nullptr,
                        nullptr, &startup, &info)) {
    return ::GetLastError();
  }
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  return 1;
}

}  // namespace Platform
