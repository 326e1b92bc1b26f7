// Patches made with libzstd's compression API.
#include <zstd.h>

#include <memory>

#include "tool_delta.h"

namespace VireoTool {
namespace {

struct CCtxDeleter {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

// Strong enough to find the small changes between two builds; patches are
// made once per release and applied many times.
constexpr int kPatchLevel = 19;

// The window must reach from the end of the new file back to the start of
// the base: the smallest power of two covering both, within the encoder's
// bounds.
int WindowLogFor(std::size_t span) {
  int log = 10;
  while (log < 62 && (std::size_t{1} << log) < span) ++log;
  const ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
  if (!ZSTD_isError(bounds.error)) {
    if (log < bounds.lowerBound) log = bounds.lowerBound;
    if (log > bounds.upperBound) log = bounds.upperBound;
  }
  return log;
}

}  // namespace

bool CanMakeDeltaPatches() { return true; }

bool MakeDeltaPatch(std::string_view base, std::string_view target, std::string* patch, std::string* error) {
  std::unique_ptr<ZSTD_CCtx, CCtxDeleter> context(ZSTD_createCCtx());
  if (!context) {
    *error = "the zstd encoder cannot be created";
    return false;
  }
  const auto set = [&](ZSTD_cParameter parameter, int value) {
    return !ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), parameter, value));
  };
  if (!set(ZSTD_c_compressionLevel, kPatchLevel) || !set(ZSTD_c_enableLongDistanceMatching, 1) ||
      !set(ZSTD_c_windowLog, WindowLogFor(base.size() + target.size())) || !set(ZSTD_c_checksumFlag, 1) ||
      !set(ZSTD_c_contentSizeFlag, 1) ||
      ZSTD_isError(ZSTD_CCtx_refPrefix(context.get(), base.data(), base.size()))) {
    *error = "the zstd encoder refuses the patch parameters";
    return false;
  }
  patch->resize(ZSTD_compressBound(target.size()));
  const std::size_t size = ZSTD_compress2(context.get(), patch->data(), patch->size(), target.data(), target.size());
  if (ZSTD_isError(size)) {
    *error = std::string("zstd: ") + ZSTD_getErrorName(size);
    patch->clear();
    return false;
  }
  patch->resize(size);
  return true;
}

}  // namespace VireoTool
