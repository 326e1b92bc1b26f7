#include "platform/error.h"
#include "platform/process_control.h"

namespace Platform {

CloseOutcome CloseRunningProgram(const std::wstring& imagePath, std::uint32_t waitMs, std::uint32_t* error) {
  *error = 0;
  return CloseOutcome::kNoneRunning;
}

std::uint32_t LaunchProgram(const std::wstring& path) {
  return kErrorNotSupported;
}

}  // namespace Platform
