#include "platform/resource_string.h"

namespace Platform {

std::wstring LoadResourceString(unsigned) { return std::wstring(); }

}  // namespace Platform
