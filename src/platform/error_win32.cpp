#include "platform/error.h"
#include "platform/windows_api.h"

namespace Platform {

ErrorCode LastError() { return ::GetLastError(); }
void SetLastErrorCode(ErrorCode code) { ::SetLastError(code); }

}  // namespace Platform
