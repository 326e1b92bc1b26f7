#include "manifest/release_state.h"

#include "app/update_log.h"
#include "manifest/trust_formats.h"
#include "manifest/update_trust.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/text.h"

namespace {

// One "name=value" line of the state text at *at; moves past its line end.
bool ReadLine(std::string_view text, std::size_t* at, std::string_view name, std::string_view* value) {
  const std::size_t end = text.find('\n', *at);
  if (end == std::string_view::npos) return false;
  std::string_view line = text.substr(*at, end - *at);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.size() <= name.size() || line.substr(0, name.size()) != name || line[name.size()] != '=') return false;
  *value = line.substr(name.size() + 1);
  *at = end + 1;
  return true;
}

std::wstring Widen(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// A value from the network as the log shows it: at most 40 units.
std::wstring Shown(const std::wstring& text) { return text.size() <= 40 ? text : text.substr(0, 40) + L"..."; }

std::wstring SerialText(const ManifestAttributes& attributes) {
  return attributes.serialState == ManifestAttributes::State::Present ? std::to_wstring(attributes.serial)
                                                                      : L"\"" + Shown(attributes.serialText) + L"\"";
}

std::wstring KeptText(const CReleaseState* kept) { return kept ? std::to_wstring(kept->serial) : L"none"; }

}  // namespace

std::string FormatReleaseState(const CReleaseState& state) {
  return "serial=" + std::to_string(state.serial) + "\nsha256=" + Platform::ToUtf8(FormatSha256Hex(state.manifestSha256)) +
         "\n";
}

bool ParseReleaseState(std::string_view text, CReleaseState* state) {
  std::size_t at = 0;
  std::string_view serial, sha256;
  if (!ReadLine(text, &at, "serial", &serial) || !ReadLine(text, &at, "sha256", &sha256) || at != text.size())
    return false;
  CReleaseState read;
  if (!ParseManifestSerial(Widen(serial), &read.serial) || !ParseSha256Hex(Widen(sha256), &read.manifestSha256))
    return false;
  *state = read;
  return true;
}

ReleaseStateRead ReadReleaseState(const std::wstring& path, CReleaseState* state) {
  if (!Platform::PathExists(path)) return ReleaseStateRead::Missing;
  Platform::CFile file;
  if (!file.OpenRead(path)) return ReleaseStateRead::Unreadable;
  std::string text;
  char buffer[256];
  for (;;) {
    std::size_t got = 0;
    if (!file.Read(buffer, sizeof buffer, &got)) return ReleaseStateRead::Unreadable;
    if (got == 0) break;
    text.append(buffer, got);
    if (text.size() > kMaxReleaseStateBytes) return ReleaseStateRead::Unreadable;
  }
  return ParseReleaseState(text, state) ? ReleaseStateRead::Read : ReleaseStateRead::Unreadable;
}

bool WriteReleaseState(const std::wstring& path, const CReleaseState& state) {
  const std::wstring fresh = path + L".new";
  const std::string text = FormatReleaseState(state);
  {
    Platform::CFile file;
    bool written = file.Create(fresh, 0, Platform::CreateMode::CreateAlways) && file.Write(text.data(), text.size()) &&
                   file.Flush();
    if (written) {
      file.Close();
      if (Platform::ReplaceWithFile(fresh, path)) return true;
    }
  }
  const Platform::ErrorCode error = Platform::LastError();
  (void)Platform::RemoveFile(fresh);
  Platform::SetLastErrorCode(error);
  return false;
}

ManifestReleaseVerdict JudgeManifestRelease(const ManifestAttributes& attributes, const UpdateModuleList& modules,
                                            const Platform::Sha256Digest& manifestSha256, const CReleaseState* kept,
                                            std::uint64_t nowUtc) {
  using State = ManifestAttributes::State;
  ManifestReleaseVerdict result;
  const auto refuse = [&](ManifestRelease verdict, const std::wstring& reason) {
    result.verdict = verdict;
    result.logLine = L"The manifest is refused: " + reason;
    return result;
  };
  if (attributes.serialState == State::Malformed) {
    return refuse(ManifestRelease::SerialMalformed, L"its serial " + SerialText(attributes) +
                                                        L" is not a decimal number of 1 or more (kept serial " +
                                                        KeptText(kept) + L")");
  }
  if (attributes.expiresState == State::Malformed) {
    return refuse(ManifestRelease::ExpiresMalformed, L"its expiry \"" + Shown(attributes.expiresText) +
                                                         L"\" is not a UTC time YYYY-MM-DDTHH:MM:SSZ (now " +
                                                         FormatUtcTime(nowUtc) + L")");
  }
  const bool serial = attributes.serialState == State::Present;
  if (!serial && kept) {
    return refuse(ManifestRelease::SerialMissing,
                  L"it carries no serial, and this updater has accepted serial " + KeptText(kept));
  }
  if (serial && kept && attributes.serial < kept->serial) {
    return refuse(ManifestRelease::SerialLower, L"its serial " + SerialText(attributes) +
                                                    L" is lower than the serial " + KeptText(kept) +
                                                    L" this updater has accepted");
  }
  if (serial && kept && attributes.serial == kept->serial && manifestSha256 != kept->manifestSha256) {
    return refuse(ManifestRelease::SerialReplayed, L"its serial " + SerialText(attributes) +
                                                       L" equals the serial " + KeptText(kept) +
                                                       L" this updater has accepted, but its content differs");
  }
  if (attributes.expiresState == State::Present && nowUtc >= attributes.expires) {
    return refuse(ManifestRelease::Expired, L"it expired at " + FormatUtcTime(attributes.expires) +
                                                L", and the updater's clock says " + FormatUtcTime(nowUtc) +
                                                L" (serial " + (serial ? SerialText(attributes) : L"none") +
                                                L", kept serial " + KeptText(kept) + L")");
  }
  if (serial) {
    for (const auto& module : modules) {
      if (module && !ListPinIsWhole(*module)) {
        return refuse(ManifestRelease::ListUnpinned, L"the update list of module " + Shown(module->Name) +
                                                         L" has no size and sha256 in it (serial " +
                                                         SerialText(attributes) + L")");
      }
    }
  }
  if (!serial) {
    result.verdict = ManifestRelease::AcceptedUnserialed;
    result.logLine =
        L"The manifest carries no serial (published before serials): accepted; publish or resign the tree to "
        L"protect against older releases";
    return result;
  }
  if (!kept || attributes.serial > kept->serial) {
    result.keep = true;
    result.newState.serial = attributes.serial;
    result.newState.manifestSha256 = manifestSha256;
  }
  return result;
}

bool AcceptManifestRelease(const std::wstring& stateFolder, std::string_view manifestBytes,
                           const ManifestAttributes& attributes, const UpdateModuleList& modules, std::uint64_t nowUtc) {
  CUpdateLog& log = GetUpdateLog();
  const std::wstring path = stateFolder + L"\\" + kReleaseStateFileName;
  CReleaseState kept;
  const ReleaseStateRead read = ReadReleaseState(path, &kept);
  if (read == ReleaseStateRead::Missing) {
    log.WriteLog(std::wstring(L"No update state file ") + kReleaseStateFileName +
                 L": started afresh, no manifest serial kept");
  } else if (read == ReleaseStateRead::Unreadable) {
    log.WriteLog(std::wstring(L"The update state file ") + kReleaseStateFileName +
                 L" is unreadable: started afresh, no manifest serial kept");
  }
  Platform::Sha256Digest hash{};
  if (!Platform::Sha256Of(manifestBytes.data(), manifestBytes.size(), &hash)) {
    log.WriteLog(L"The manifest is refused: its SHA-256 could not be computed");
    return false;
  }
  const ManifestReleaseVerdict verdict =
      JudgeManifestRelease(attributes, modules, hash, read == ReleaseStateRead::Read ? &kept : nullptr, nowUtc);
  if (!verdict.logLine.empty()) log.WriteLog(verdict.logLine);
  if (verdict.verdict != ManifestRelease::Accepted && verdict.verdict != ManifestRelease::AcceptedUnserialed)
    return false;
  if (verdict.keep && !WriteReleaseState(path, verdict.newState)) {
    log.WriteLog(std::wstring(L"The update state file ") + kReleaseStateFileName +
                 L" could not be written, Error: " + std::to_wstring(Platform::LastError()));
  }
  return true;
}
