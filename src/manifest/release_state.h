// What a keyed updater remembers across runs so that the server cannot take
// it back to an older release: the highest manifest "serial" it accepted and
// the SHA-256 of that manifest, kept in a small state file in its own folder,
// and the start-up judgement of a fetched manifest against them (serial,
// expiry, pinned lists). Portable: file access goes through platform/file.h.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "manifest/update_manifest.h"
#include "platform/crypto.h"

// The state file's name, in the updater's own folder.
inline constexpr wchar_t kReleaseStateFileName[] = L"update_state.txt";
// Most bytes a state file may have; a longer one is unreadable.
inline constexpr std::size_t kMaxReleaseStateBytes = 1024;

struct CReleaseState {
  std::uint64_t serial = 0;               // 1 or more in a kept state
  Platform::Sha256Digest manifestSha256{};  // of the manifest's exact bytes as received
};

// The file's text: two lines, "serial=N" and "sha256=64 lower-case hex
// digits", each ended by LF. ASCII.
std::string FormatReleaseState(const CReleaseState& state);
// Strict reading of that text (CR LF line ends also taken, nothing else
// added or missing, the serial in the manifest's form). False otherwise.
[[nodiscard]] bool ParseReleaseState(std::string_view text, CReleaseState* state);

enum class ReleaseStateRead {
  Read,        // *state holds the kept serial and hash
  Missing,     // no state file
  Unreadable,  // the file exists but cannot be read or is not in its form
};
[[nodiscard]] ReleaseStateRead ReadReleaseState(const std::wstring& path, CReleaseState* state);
// Writes the state by writing "PATH.new", flushing it and moving it onto
// PATH in one step, so that a crash leaves the old file or the new one,
// never half of either. False (the platform's last error set, PATH
// untouched, the ".new" file removed) when a step fails.
[[nodiscard]] bool WriteReleaseState(const std::wstring& path, const CReleaseState& state);

enum class ManifestRelease {
  Accepted,          // serial at least the kept one, not expired, every list pinned
  AcceptedUnserialed,  // no serial and none kept: a tree published before serials
  SerialMissing,     // no serial, but a serial is kept
  SerialMalformed,   // "serial" is not a decimal integer of 1 or more
  ExpiresMalformed,  // "expires" is not "YYYY-MM-DDTHH:MM:SSZ"
  SerialLower,       // lower than the kept serial
  SerialReplayed,    // equal to the kept serial, but other bytes
  Expired,           // the expiry has passed by the updater's clock
  ListUnpinned,      // a serial manifest with a module whose list lacks size or sha256
};

struct ManifestReleaseVerdict {
  ManifestRelease verdict = ManifestRelease::Accepted;
  // For a refusal: the log line naming the reason and both serials (or both
  // times). For AcceptedUnserialed: a note. Empty for Accepted.
  std::wstring logLine;
  // Accepted with a serial above the kept one, or the same serial with no
  // state kept: the state to write.
  bool keep = false;
  CReleaseState newState;
};

// Judges a keyed updater's manifest, signature already verified:
// `attributes` and `modules` as ParseManifest read them, `manifestSha256`
// of its exact bytes, `kept` the state read (nullptr when none), `nowUtc`
// the updater's clock (FILETIME, UTC). A manifest expires at the instant
// it names. Order of checks: malformed attributes, serial, expiry, pins.
ManifestReleaseVerdict JudgeManifestRelease(const ManifestAttributes& attributes, const UpdateModuleList& modules,
                                            const Platform::Sha256Digest& manifestSha256, const CReleaseState* kept,
                                            std::uint64_t nowUtc);

// The start-up step of a keyed updater: reads the state file in
// `stateFolder` (missing or unreadable: started afresh, with a log line),
// judges the manifest, writes the refusal's reason to the update log, and
// keeps the new serial (a failed write is logged and does not block). True
// when the update may go on. Main thread.
[[nodiscard]] bool AcceptManifestRelease(const std::wstring& stateFolder, std::string_view manifestBytes,
                                         const ManifestAttributes& attributes, const UpdateModuleList& modules,
                                         std::uint64_t nowUtc);
