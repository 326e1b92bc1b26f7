// Applying a delta patch: a zstd frame compressed with the old file (the
// base) as its reference prefix and long-distance matching, as
// `zstd --patch-from=BASE` and `vireo-tool publish` make them. The patch is
// decoded with the base as the prefix and the result streamed to disk.
//
// Memory: the whole base is read into memory (the frame refers to any part
// of it), and the result is decoded into one buffer of the size the frame
// declares, which must be the entry's (the buffer is the decoder's window).
// So one application needs at most
//     base size + output size + kDeltaPatchOverheadBytes
// and is refused (kBaseTooLarge) before anything is read when that exceeds
// the limit: the caller then fetches the whole file. The decoder's window
// log is capped at what base + output need, so a frame asking for a larger
// window is refused as a bad patch rather than allocated.
//
// A patch for an x86-64 program may carry an address map instead
// (engine/pe_address_transform.h): kAddressPatchMagic (or
// kSymbolAddressPatchMagic), the map's size (4
// bytes, little-endian), then one zstd frame made against the base whose
// content is the map followed by the result with its code and data
// addresses rewritten to the base's. The result is mapped back once it is
// whole, so the map's bytes count in the memory bound beside the output,
// and so does what mapping back holds (engine/pe_address_transform.h: the
// map's segments and exceptions, and the result's relocated and .pdata
// fields), checked against what the bound leaves before it is held.
//
// Portable; any thread; no global state. Nothing here trusts the patch: it
// may be any bytes.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/crypto.h"
#include "platform/error.h"

// What the decoder needs beyond the base and the output: its tables, a
// block of input and the input buffer.
inline constexpr std::uint64_t kDeltaPatchOverheadBytes = 1024 * 1024;
inline constexpr std::string_view kAddressPatchMagic{"VXA1", 4};
// The same with the COFF symbol table's values mapped as well
// (PeAddress::Form::kWithSymbols), for programs that were not stripped.
inline constexpr std::string_view kSymbolAddressPatchMagic{"VXA2", 4};
inline constexpr std::size_t kAddressPatchHeaderSize = 8;
// The default limit on base + output + overhead: 512 MiB.
inline constexpr std::uint64_t kDeltaPatchDefaultMemoryLimit = 512ull * 1024 * 1024;

enum class DeltaPatchResult {
  kApplied,          // the output holds exactly expectedSize bytes; sha256 is their digest
  kBaseTooLarge,     // base + output + overhead exceed the memory limit; nothing was read
  kBadPatch,         // not one zstd frame that decodes against this base (includes a
                     // frame checksum that fails, a window beyond the cap, trailing bytes)
  kWrongOutputSize,  // the frame declares no content size, or one other than expectedSize,
                     // or yields more or fewer bytes
  kOutOfMemory,      // the base buffer or the decoder could not be allocated
  kReadFailed,       // the base or the patch could not be opened or read (error set)
  kWriteFailed,      // the output could not be created or written (error set)
  kCancelled,        // the cancel flag was seen set
};

struct DeltaPatchOutcome {
  DeltaPatchResult result = DeltaPatchResult::kBadPatch;
  Platform::ErrorCode error = 0;   // the platform error of kReadFailed / kWriteFailed
  std::uint64_t outputSize = 0;    // bytes produced (all of them when applied)
  Platform::Sha256Digest sha256{};  // SHA-256 of the output when applied
  std::string decoderError;        // zstd's own name for a kBadPatch, for the log

  bool Applied() const { return result == DeltaPatchResult::kApplied; }
};

struct DeltaPatchLimits {
  // Bound on base size + output size + kDeltaPatchOverheadBytes.
  std::uint64_t memoryBytes = kDeltaPatchDefaultMemoryLimit;
};

// The memory of one application kept for the next: the base's and the
// result's buffers (each grows to the largest so far, within the limit) and
// the decoder. Fresh memory is touched page by page, which under Wine cost more
// than the decoding itself when each patch took its own. One application at
// a time; the owner frees it when its patches are applied.
class CDeltaPatchMemory {
 public:
  CDeltaPatchMemory();
  ~CDeltaPatchMemory();
  CDeltaPatchMemory(const CDeltaPatchMemory&) = delete;
  CDeltaPatchMemory& operator=(const CDeltaPatchMemory&) = delete;

  // What it holds; opaque outside the applier.
  struct State;
  State& Held() { return *state_; }

 private:
  std::unique_ptr<State> state_;
};

// True when a base of `baseSize` bytes and an output of `outputSize` bytes
// fit the limit; a caller may ask before fetching a patch at all.
bool DeltaPatchFits(std::uint64_t baseSize, std::uint64_t outputSize, const DeltaPatchLimits& limits);

// Applies the patch in the file `patchPath` to the file `basePath`, writing
// the result to `outputPath` (created or truncated; nothing else is
// touched; an output that names the patch itself is refused as
// kWriteFailed). `expectedSize` is the size the result must have (the entry's
// declared size). `cancel` is read between blocks of at most 1 MiB of base
// read and between pieces of 16 KiB of patch decoded. On any result but kApplied the
// output file is removed again, so a failure leaves nothing behind; the
// base and the patch are only read. The caller still compares `sha256` with
// the entry's declared digest: a patch can decode cleanly and yield other
// bytes than published (made against another file with the same name).
// Files go through the platform file service (platform/file.h). `memory`
// is kept from the last application and for the next.
[[nodiscard]] DeltaPatchOutcome ApplyDeltaPatchFile(const std::wstring& basePath, const std::wstring& patchPath,
                                                    const std::wstring& outputPath, std::uint64_t expectedSize,
                                                    const std::atomic<bool>& cancel, CDeltaPatchMemory& memory,
                                                    const DeltaPatchLimits& limits = DeltaPatchLimits());

// The same with everything in memory (tests, fuzzing, the publisher's
// check): the result is appended to *output, which holds all of it or, on
// failure, whatever was decoded before the failure.
[[nodiscard]] DeltaPatchOutcome ApplyDeltaPatchBytes(std::string_view base, std::string_view patch,
                                                     std::uint64_t expectedSize, const std::atomic<bool>& cancel,
                                                     std::string* output,
                                                     const DeltaPatchLimits& limits = DeltaPatchLimits());

// A short English name of the result for log lines ("bad patch", ...).
const wchar_t* DescribeDeltaPatchResult(DeltaPatchResult result);
