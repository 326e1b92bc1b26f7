// Patches made with libzstd's compression API.
#include <zstd.h>

#include <atomic>
#include <memory>

#include "engine/delta_patch.h"
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

namespace {

// One frame of `content` against `base` as its prefix.
bool Compress(std::string_view base, std::string_view content, std::string* frame, std::string* error) {
  std::unique_ptr<ZSTD_CCtx, CCtxDeleter> context(ZSTD_createCCtx());
  if (!context) {
    *error = "the zstd encoder cannot be created";
    return false;
  }
  const auto set = [&](ZSTD_cParameter parameter, int value) {
    return !ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), parameter, value));
  };
  if (!set(ZSTD_c_compressionLevel, kPatchLevel) || !set(ZSTD_c_enableLongDistanceMatching, 1) ||
      !set(ZSTD_c_windowLog, WindowLogFor(base.size() + content.size())) || !set(ZSTD_c_checksumFlag, 1) ||
      !set(ZSTD_c_contentSizeFlag, 1) ||
      ZSTD_isError(ZSTD_CCtx_refPrefix(context.get(), base.data(), base.size()))) {
    *error = "the zstd encoder refuses the patch parameters";
    return false;
  }
  frame->resize(ZSTD_compressBound(content.size()));
  const std::size_t size =
      ZSTD_compress2(context.get(), frame->data(), frame->size(), content.data(), content.size());
  if (ZSTD_isError(size)) {
    *error = std::string("zstd: ") + ZSTD_getErrorName(size);
    frame->clear();
    return false;
  }
  frame->resize(size);
  return true;
}

// The patch with an address map, when both are x86-64 programs and it
// applies; empty otherwise. A program that carries a symbol table gets the
// form that maps its symbols too; a stripped one the first form, which
// every updater that knows address maps reads.
std::string AddressPatch(std::string_view base, std::string_view target) {
  PeAddress::Layout layout;
  if (!PeAddress::ReadLayout(base, &layout) || !PeAddress::ReadLayout(target, &layout)) return {};
  const PeAddress::Form form = layout.symbolCount != 0 ? PeAddress::Form::kWithSymbols : PeAddress::Form::kPlain;
  std::string content(target);
  std::string map;
  if (!PeAddress::Encode(&content, MatchBuilds(base, target), form, &map) || map.size() > 0xFFFFFFFFu) return {};
  content.insert(0, map);
  std::string frame;
  std::string ignored;
  if (!Compress(base, content, &frame, &ignored)) return {};
  std::string patch(form == PeAddress::Form::kWithSymbols ? kSymbolAddressPatchMagic : kAddressPatchMagic);
  for (int k = 0; k < 4; ++k) patch.push_back(static_cast<char>(map.size() >> (8 * k)));
  patch += frame;
  const std::atomic<bool> never{false};
  std::string output;
  if (!ApplyDeltaPatchBytes(base, patch, target.size(), never, &output).Applied() || output != target) return {};
  return patch;
}

}  // namespace

bool MakeDeltaPatch(std::string_view base, std::string_view target, std::string* patch, std::string* error) {
  if (!Compress(base, target, patch, error)) return false;
  std::string mapped = AddressPatch(base, target);
  if (!mapped.empty() && mapped.size() < patch->size()) *patch = std::move(mapped);
  return true;
}

}  // namespace VireoTool
