#include "engine/delta_patch.h"

// ZSTD_d_stableOutBuffer is in the library's experimental section.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "engine/pe_address_transform.h"
#include "platform/file.h"
#include "platform/sha256_compute.h"

namespace {

// The source of the patch's bytes; false when a read fails.
class IPatchInput {
 public:
  virtual ~IPatchInput() = default;
  virtual bool Read(void* buffer, std::size_t size, std::size_t* done) = 0;
};

// The sink of the result; false when a write fails.
class IPatchOutput {
 public:
  virtual ~IPatchOutput() = default;
  virtual bool Write(const void* data, std::size_t size) = 0;
};

class CMemoryInput final : public IPatchInput {
 public:
  explicit CMemoryInput(std::string_view bytes) : bytes_(bytes) {}
  bool Read(void* buffer, std::size_t size, std::size_t* done) override {
    *done = std::min(size, bytes_.size());
    std::memcpy(buffer, bytes_.data(), *done);
    bytes_.remove_prefix(*done);
    return true;
  }

 private:
  std::string_view bytes_;
};

class CStringOutput final : public IPatchOutput {
 public:
  explicit CStringOutput(std::string* out) : out_(out) {}
  bool Write(const void* data, std::size_t size) override {
    out_->append(static_cast<const char*>(data), size);
    return true;
  }

 private:
  std::string* out_;
};

class CFileInput final : public IPatchInput {
 public:
  explicit CFileInput(Platform::CFile& file) : file_(file) {}
  bool Read(void* buffer, std::size_t size, std::size_t* done) override { return file_.Read(buffer, size, done); }

 private:
  Platform::CFile& file_;
};

class CFileOutput final : public IPatchOutput {
 public:
  explicit CFileOutput(Platform::CFile& file) : file_(file) {}
  bool Write(const void* data, std::size_t size) override { return file_.Write(data, size); }

 private:
  Platform::CFile& file_;
};

struct DCtxDeleter {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

}  // namespace

struct CDeltaPatchMemory::State {
  std::unique_ptr<ZSTD_DCtx, DCtxDeleter> context;
  std::unique_ptr<char[]> in;
  std::unique_ptr<char[]> base;
  std::size_t baseCapacity = 0;
  std::unique_ptr<char[]> result;  // the decoder's output and window
  std::size_t resultCapacity = 0;
};

CDeltaPatchMemory::CDeltaPatchMemory() : state_(std::make_unique<State>()) {}
CDeltaPatchMemory::~CDeltaPatchMemory() = default;

namespace {

DeltaPatchOutcome Fail(DeltaPatchResult result, Platform::ErrorCode error = 0) {
  DeltaPatchOutcome outcome;
  outcome.result = result;
  outcome.error = error;
  return outcome;
}

// The window log that base + output need, plus one for encoders that round
// up, within what the library accepts. A frame asking for more is refused.
int WindowLogCap(std::uint64_t baseSize, std::uint64_t outputSize) {
  const std::uint64_t span = baseSize + outputSize + 1;
  int log = 10;
  while (log < 62 && (std::uint64_t{1} << log) < span) ++log;
  ++log;
  const ZSTD_bounds bounds = ZSTD_dParam_getBounds(ZSTD_d_windowLogMax);
  if (ZSTD_isError(bounds.error)) return 27;
  if (log < bounds.lowerBound) log = bounds.lowerBound;
  if (log > bounds.upperBound) log = bounds.upperBound;
  return log;
}

// Fills `buffer` from `input` until it is full or the input ends.
bool ReadFull(IPatchInput& input, char* buffer, std::size_t size, std::size_t* done) {
  *done = 0;
  while (*done < size) {
    std::size_t got = 0;
    if (!input.Read(buffer + *done, size - *done, &got)) return false;
    if (got == 0) break;
    *done += got;
  }
  return true;
}

// The decoding itself, shared by the file and memory forms. The caller has
// checked the memory limit.
DeltaPatchOutcome Decode(CDeltaPatchMemory::State& memory, std::string_view base, IPatchInput& input,
                         IPatchOutput& output, std::uint64_t expectedSize, const std::atomic<bool>& cancel,
                         const DeltaPatchLimits& limits) {
  // The decoder of the last application, if any, starts afresh: its
  // buffers stay, its parameters and prefix go.
  if (memory.context) {
    if (ZSTD_isError(ZSTD_DCtx_reset(memory.context.get(), ZSTD_reset_session_and_parameters))) memory.context.reset();
  }
  if (!memory.context) memory.context.reset(ZSTD_createDCtx());
  ZSTD_DCtx* const context = memory.context.get();
  if (!context) return Fail(DeltaPatchResult::kOutOfMemory, Platform::kErrorNotEnoughMemory);
  if (ZSTD_isError(ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, WindowLogCap(base.size(), expectedSize))) ||
      ZSTD_isError(ZSTD_DCtx_refPrefix(context, base.data(), base.size())))
    return Fail(DeltaPatchResult::kOutOfMemory, Platform::kErrorNotEnoughMemory);

  const std::size_t inSize = ZSTD_DStreamInSize();
  if (!memory.in) memory.in.reset(new (std::nothrow) char[inSize]);
  if (!memory.in) return Fail(DeltaPatchResult::kOutOfMemory, Platform::kErrorNotEnoughMemory);
  char* const inBuffer = memory.in.get();

  std::size_t got = 0;
  if (!ReadFull(input, inBuffer, inSize, &got)) return Fail(DeltaPatchResult::kReadFailed, Platform::LastError());
  // A program's patch may come with an address map: its header, then the
  // frame, whose content is the map and then the result with its addresses
  // rewritten.
  bool mapped = false;
  PeAddress::Form form = PeAddress::Form::kPlain;
  std::size_t mapSize = 0;
  std::size_t start = 0;
  const std::string_view magic(inBuffer, std::min<std::size_t>(got, 4));
  if (got >= kAddressPatchHeaderSize && (magic == kAddressPatchMagic || magic == kSymbolAddressPatchMagic)) {
    mapped = true;
    if (magic == kSymbolAddressPatchMagic) form = PeAddress::Form::kWithSymbols;
    const unsigned char* size = reinterpret_cast<const unsigned char*>(inBuffer) + 4;
    mapSize = size[0] | (size[1] << 8) | (std::size_t{size[2]} << 16) | (std::size_t{size[3]} << 24);
    start = kAddressPatchHeaderSize;
    if (mapSize > expectedSize + 4096) return Fail(DeltaPatchResult::kBadPatch);
    if (!DeltaPatchFits(base.size(), expectedSize + mapSize, limits)) return Fail(DeltaPatchResult::kBaseTooLarge);
  }
  // One zstd frame, first byte on: no skippable frame, no other format.
  const unsigned char* head = reinterpret_cast<const unsigned char*>(inBuffer) + start;
  if (got < start + 4 || head[0] != 0x28 || head[1] != 0xB5 || head[2] != 0x2F || head[3] != 0xFD)
    return Fail(DeltaPatchResult::kBadPatch);
  const unsigned long long declared = ZSTD_getFrameContentSize(inBuffer + start, got - start);
  if (declared == ZSTD_CONTENTSIZE_ERROR) return Fail(DeltaPatchResult::kBadPatch);
  // The declared size is the size of the buffer decoded into; a frame
  // without one could ask for any.
  if (declared == ZSTD_CONTENTSIZE_UNKNOWN || declared != expectedSize + mapSize)
    return Fail(DeltaPatchResult::kWrongOutputSize);

  // The result is decoded into one buffer of its size, which is then the
  // decoder's window (ZSTD_d_stableOutBuffer): no window of its own, no copy
  // of every byte from it. Written out and hashed behind the decoding, or,
  // with an address map, once the whole result is decoded and mapped back.
  const std::size_t total = static_cast<std::size_t>(expectedSize + mapSize);
  if (!memory.result || memory.resultCapacity < total) {
    memory.result.reset();
    memory.resultCapacity = 0;
    memory.result.reset(new (std::nothrow) char[total == 0 ? 1 : total]);
    if (!memory.result) return Fail(DeltaPatchResult::kOutOfMemory, Platform::kErrorNotEnoughMemory);
    memory.resultCapacity = total;
  }
  if (ZSTD_isError(ZSTD_DCtx_setParameter(context, ZSTD_d_stableOutBuffer, 1)))
    return Fail(DeltaPatchResult::kOutOfMemory, Platform::kErrorNotEnoughMemory);

  DeltaPatchOutcome outcome;
  const auto stop = [&outcome](DeltaPatchResult result) {
    outcome.result = result;
    return outcome;
  };
  Platform::CSha256Compute hash;
  ZSTD_outBuffer out{memory.result.get(), total, 0};
  // The patch is fed in small pieces: the cancel flag is read between them,
  // after at most the few blocks of result that a piece describes.
  constexpr std::size_t kFeed = 16 * 1024;
  bool frameDone = false;
  while (got > 0) {
    std::size_t used = start;
    start = 0;
    while (used < got && !frameDone) {
      if (cancel.load()) return stop(DeltaPatchResult::kCancelled);
      ZSTD_inBuffer in{inBuffer, std::min(got, used + kFeed), used};
      const std::size_t before = out.pos;
      const std::size_t status = ZSTD_decompressStream(context, &out, &in);
      if (ZSTD_isError(status)) {
        if (ZSTD_getErrorCode(status) == ZSTD_error_dstSize_tooSmall) return stop(DeltaPatchResult::kWrongOutputSize);
        outcome.result = DeltaPatchResult::kBadPatch;
        outcome.decoderError = ZSTD_getErrorName(status);
        return outcome;
      }
      if (out.pos > before && !mapped) {
        const char* fresh = static_cast<const char*>(out.dst) + before;
        if (!output.Write(fresh, out.pos - before)) {
          outcome.result = DeltaPatchResult::kWriteFailed;
          outcome.error = Platform::LastError();
          return outcome;
        }
        hash.Add(fresh, out.pos - before);
        outcome.outputSize = out.pos;
      }
      if (status == 0) frameDone = true;
      // The decoder takes every byte it is given while its output has room,
      // which it has until the frame ends.
      if (in.pos == used && out.pos == before && !frameDone) return stop(DeltaPatchResult::kBadPatch);
      used = in.pos;
    }
    // Bytes after the frame are not part of a patch.
    if (frameDone && used < got) return stop(DeltaPatchResult::kBadPatch);
    if (cancel.load()) return stop(DeltaPatchResult::kCancelled);
    if (!ReadFull(input, inBuffer, inSize, &got)) {
      outcome.result = DeltaPatchResult::kReadFailed;
      outcome.error = Platform::LastError();
      return outcome;
    }
    if (frameDone && got > 0) return stop(DeltaPatchResult::kBadPatch);
  }
  if (!frameDone) {
    outcome.result = DeltaPatchResult::kBadPatch;
    outcome.decoderError = "the patch ends inside its frame";
    return outcome;
  }
  if (mapped) {
    if (out.pos != total) return stop(DeltaPatchResult::kWrongOutputSize);
    char* const result = memory.result.get() + mapSize;
    // The mapping's own memory comes out of what the limit leaves.
    const std::uint64_t held = base.size() + total + kDeltaPatchOverheadBytes;
    const std::uint64_t room = limits.memoryBytes > held ? limits.memoryBytes - held : 0;
    switch (PeAddress::Decode(std::string_view(memory.result.get(), mapSize), result, expectedSize, form, room,
                              cancel)) {
      case PeAddress::DecodeResult::kDone: break;
      case PeAddress::DecodeResult::kOverBudget: return stop(DeltaPatchResult::kBaseTooLarge);
      case PeAddress::DecodeResult::kCancelled: return stop(DeltaPatchResult::kCancelled);
      case PeAddress::DecodeResult::kMalformed:
        outcome.result = DeltaPatchResult::kBadPatch;
        outcome.decoderError = "the address map does not fit the result";
        return outcome;
    }
    constexpr std::size_t kPiece = 1024 * 1024;
    for (std::size_t done = 0; done < expectedSize;) {
      if (cancel.load()) return stop(DeltaPatchResult::kCancelled);
      const std::size_t piece = std::min<std::size_t>(kPiece, expectedSize - done);
      if (!output.Write(result + done, piece)) {
        outcome.result = DeltaPatchResult::kWriteFailed;
        outcome.error = Platform::LastError();
        return outcome;
      }
      hash.Add(result + done, piece);
      done += piece;
      outcome.outputSize = done;
    }
  }
  if (outcome.outputSize != expectedSize) return stop(DeltaPatchResult::kWrongOutputSize);
  outcome.result = DeltaPatchResult::kApplied;
  outcome.sha256 = hash.Finish();
  return outcome;
}

}  // namespace

bool DeltaPatchFits(std::uint64_t baseSize, std::uint64_t outputSize, const DeltaPatchLimits& limits) {
  if (limits.memoryBytes < kDeltaPatchOverheadBytes) return false;
  const std::uint64_t room = limits.memoryBytes - kDeltaPatchOverheadBytes;
  return baseSize <= room && outputSize <= room - baseSize;
}

DeltaPatchOutcome ApplyDeltaPatchBytes(std::string_view base, std::string_view patch, std::uint64_t expectedSize,
                                       const std::atomic<bool>& cancel, std::string* output,
                                       const DeltaPatchLimits& limits) {
  if (!DeltaPatchFits(base.size(), expectedSize, limits)) return Fail(DeltaPatchResult::kBaseTooLarge);
  CMemoryInput input(patch);
  CStringOutput sink(output);
  CDeltaPatchMemory memory;
  return Decode(memory.Held(), base, input, sink, expectedSize, cancel, limits);
}

DeltaPatchOutcome ApplyDeltaPatchFile(const std::wstring& basePath, const std::wstring& patchPath,
                                      const std::wstring& outputPath, std::uint64_t expectedSize,
                                      const std::atomic<bool>& cancel, CDeltaPatchMemory& kept,
                                      const DeltaPatchLimits& limits) {
  CDeltaPatchMemory::State& memory = kept.Held();
  Platform::CFile baseFile;
  std::uint64_t baseSize = 0;
  if (!baseFile.OpenRead(basePath) || !baseFile.GetSize(&baseSize))
    return Fail(DeltaPatchResult::kReadFailed, Platform::LastError());
  if (!DeltaPatchFits(baseSize, expectedSize, limits)) return Fail(DeltaPatchResult::kBaseTooLarge);

  // The whole base, read in blocks with the cancel flag between them.
  const std::size_t size = static_cast<std::size_t>(baseSize);
  if (memory.baseCapacity < size || !memory.base) {
    memory.base.reset();
    memory.baseCapacity = 0;
    memory.base.reset(new (std::nothrow) char[size == 0 ? 1 : size]);
    if (!memory.base) return Fail(DeltaPatchResult::kOutOfMemory, Platform::kErrorNotEnoughMemory);
    memory.baseCapacity = size;
  }
  char* const base = memory.base.get();
  constexpr std::size_t kBlock = 1024 * 1024;
  std::size_t have = 0;
  while (have < size) {
    if (cancel.load()) return Fail(DeltaPatchResult::kCancelled);
    std::size_t done = 0;
    if (!baseFile.Read(base + have, std::min(kBlock, size - have), &done))
      return Fail(DeltaPatchResult::kReadFailed, Platform::LastError());
    // The file shrank while it was read.
    if (done == 0) return Fail(DeltaPatchResult::kReadFailed, Platform::kErrorHandleEof);
    have += done;
  }
  baseFile.Close();

  Platform::CFile patchFile;
  if (!patchFile.OpenRead(patchPath)) return Fail(DeltaPatchResult::kReadFailed, Platform::LastError());
  // Creating the output must not truncate the patch it is made from.
  const std::wstring patchIdentity = Platform::ComparablePath(patchPath);
  if (!patchIdentity.empty() && patchIdentity == Platform::ComparablePath(outputPath))
    return Fail(DeltaPatchResult::kWriteFailed, Platform::kErrorInvalidParameter);
  Platform::CFile outFile;
  if (!outFile.Create(outputPath, Platform::kShareRead)) return Fail(DeltaPatchResult::kWriteFailed, Platform::LastError());
  CFileInput input(patchFile);
  CFileOutput sink(outFile);
  // Written to the system; forcing it to the disk is the caller's (the
  // updater does so on a thread of its own, beside the next decoding).
  const DeltaPatchOutcome outcome =
      Decode(memory, std::string_view(base, size), input, sink, expectedSize, cancel, limits);
  outFile.Close();
  if (!outcome.Applied()) (void)Platform::RemoveFile(outputPath);
  return outcome;
}

const wchar_t* DescribeDeltaPatchResult(DeltaPatchResult result) {
  switch (result) {
    case DeltaPatchResult::kApplied: return L"applied";
    case DeltaPatchResult::kBaseTooLarge: return L"base and result exceed the memory bound";
    case DeltaPatchResult::kBadPatch: return L"bad patch";
    case DeltaPatchResult::kWrongOutputSize: return L"the patch yields another size than the entry's";
    case DeltaPatchResult::kOutOfMemory: return L"not enough memory";
    case DeltaPatchResult::kReadFailed: return L"the base or the patch cannot be read";
    case DeltaPatchResult::kWriteFailed: return L"the result cannot be written";
    case DeltaPatchResult::kCancelled: return L"cancelled";
  }
  return L"unknown";
}
