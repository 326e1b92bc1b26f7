// The Windows build links only libzstd's decoder: no patches are made.
#include "tool_delta.h"

namespace VireoTool {

bool CanMakeDeltaPatches() { return false; }

bool MakeDeltaPatch(std::string_view, std::string_view, std::string*, std::string* error) {
  *error = "this build of vireo-tool makes no patches (use the native build)";
  return false;
}

}  // namespace VireoTool
