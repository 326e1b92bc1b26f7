#include "engine/process_control.h"

#include <vector>

#include "platform/windows_api.h"
#include "platform/windows_handle.h"

#include <tlhelp32.h>

void CloseRunningProgram(const std::wstring& exeName) {
  Platform::CScopedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry)) {
    if (exeName != entry.szExeFile) continue;
    // Only the first match is ended, whether or not it can be opened.
    Platform::CScopedHandle process(
        ::OpenProcess(PROCESS_TERMINATE | PROCESS_VM_READ | PROCESS_QUERY_INFORMATION, FALSE, entry.th32ProcessID));
    if (process) (void)::TerminateProcess(process.Get(), 0);
    return;
  }
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
