// What an update run trusts: the publisher's public key compiled into the
// updater, the detached signatures of update.xml and of every update list
// ("DOCUMENT.sig" beside each, ECDSA P-256 over SHA-256 of the exact bytes
// served), the size and SHA-256 that update-list entries declare for their
// files, and the size caps of fetched documents. Portable except
// LoadUpdateKey; any thread.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/piped_sha256.h"
#include "platform/crypto.h"

class CFileData;
class CUpdateModule;

// Caps on fetched documents: a larger body, declared or received, fails.
inline constexpr std::uint64_t kMaxManifestBytes = 1u << 20;     // update.xml
inline constexpr std::uint64_t kMaxUpdateListBytes = 64u << 20;  // one update list
// A signature file is at most kMaxSignatureBytes (trust_formats.h), 72.

// The code shown with "An error occurred while downloading the file,
// Error:%1" when a downloaded file fails its check (size or SHA-256 differ,
// or the body runs past the declared size): Windows' ERROR_INVALID_DATA.
inline constexpr std::uint32_t kErrorFileMismatch = 13;

// The request path of a document's signature: the document's path + ".sig"
// ("/update.xml" -> "/update.xml.sig").
std::wstring SignaturePathOf(const std::wstring& documentPath);

enum class UpdateKeyState {
  Unkeyed,  // no key: signatures are not asked for; declared sizes and hashes still hold
  Keyed,    // trust only what this key signed
  Broken,   // a key resource that does not parse: trust nothing
};

// Most public keys one updater carries (a key rotation needs two).
inline constexpr std::size_t kMaxUpdateKeys = 8;

struct CUpdateKey {
  UpdateKeyState state = UpdateKeyState::Unkeyed;
  // When Keyed: 1..kMaxUpdateKeys keys; a signature by any of them counts.
  std::vector<Platform::EcP256PublicKey> keys;
  // A keyed run (Keyed or Broken) asks for signatures, and for "size" and
  // "sha256" on every entry.
  bool RequiresSignatures() const { return state != UpdateKeyState::Unkeyed; }
};

// The keys compiled into the running executable (the RCDATA resource
// IDR_UPDATE_PUBLIC_KEY: the PEM files of VIREO_UPDATE_PUBLIC_KEY, one after
// the other). Unkeyed when the executable carries none (every build without
// VIREO_UPDATE_PUBLIC_KEY, every posix build); Broken when it carries text
// that is not a list of P-256 public keys. Call once at start-up.
CUpdateKey LoadUpdateKey();
// The keys from PEM text: one or more "PUBLIC KEY" blocks (as `openssl ec
// -pubout` writes them), each followed by the next; text between blocks is
// allowed. Broken when there is no block, a block is not a P-256 public
// key, or there are more than kMaxUpdateKeys.
CUpdateKey UpdateKeyFromPem(std::string_view pem);

enum class DocumentTrust {
  Trusted,             // the key signed exactly these bytes
  SignatureMalformed,  // the .sig is not a DER ECDSA P-256 signature
  SignatureMismatch,   // a signature, but not by this key over these bytes
  KeyBroken,           // the updater's key resource does not parse
  CheckFailed,         // the crypto provider failed; *error has its status
};

// Checks `signature` (the bytes of the .sig file) over `document` (the exact
// bytes received) with a Keyed key: Trusted when any of its keys made it.
// Only Trusted may be acted on. An
// Unkeyed key gives KeyBroken: callers ask only when RequiresSignatures().
[[nodiscard]] DocumentTrust VerifyDocumentSignature(const CUpdateKey& key, std::string_view document,
                                                    std::string_view signature, std::uint32_t* error = nullptr);
// Log text for a result other than Trusted, e.g. "the signature does not
// match the document and the updater's key".
std::wstring DescribeDocumentTrust(DocumentTrust trust);

enum class EntryDeclarations {
  Usable,     // what is declared can be checked (in a keyed run: size and sha256 both declared)
  Malformed,  // "size" or "sha256" is present but not in its form
  Missing,    // a keyed run, and "size" or "sha256" is absent
};
// Whether the entry may be fetched at all: a Malformed or Missing entry
// fails its module before anything of it is downloaded.
EntryDeclarations CheckEntryDeclarations(const CFileData& entry, bool keyed);

enum class FileVerdict {
  Match,         // every declared fact holds (nothing declared: always)
  SizeMismatch,  // the size differs from the declared one (or the body ran past it)
  HashMismatch,  // the size holds (or is not declared); the SHA-256 differs
  HashFailed,    // the crypto provider failed; `error` has its status
};

struct FileCheckResult {
  FileVerdict verdict = FileVerdict::Match;
  std::uint64_t receivedSize = 0;     // bytes given to Add (up to and including the overrun)
  Platform::Sha256Digest receivedHash{};  // of those bytes; zero for HashFailed or an overrun
  bool overrun = false;               // Add refused bytes past the declared size
  std::uint32_t error = 0;
};

// Checks a downloaded file against its entry while it is written: give it
// every byte as it goes to the file, then Finish before the file is put in
// place or installed. The entry is copied; nothing is kept by reference.
class CDownloadCheck {
 public:
  static constexpr std::uint64_t kPipedHashBytes = 4 * 1024 * 1024;

  explicit CDownloadCheck(const CFileData& entry);
  ~CDownloadCheck();
  CDownloadCheck(CDownloadCheck&&) = default;
  CDownloadCheck& operator=(CDownloadCheck&&) = default;

  // Adds bytes received. False when the transfer must stop: the body has run
  // past the declared size (Finish then gives SizeMismatch with overrun), or
  // hashing failed (HashFailed). Once false, stays false.
  [[nodiscard]] bool Add(const void* data, std::size_t size);
  // The verdict after the last byte. Call once.
  FileCheckResult Finish();

 private:
  bool sizeDeclared_;
  bool hashDeclared_;
  std::uint64_t size_;
  Platform::Sha256Digest hash_;
  std::uint64_t received_ = 0;
  bool overrun_ = false;
  Platform::CSha256 hasher_;
  // For a file declared at least kPipedHashBytes long, the hashing runs on
  // a thread of its own beside the transfer.
  std::unique_ptr<CPipedSha256> piped_;

  std::uint32_t HashError();
};

// The log line of a failed check, naming the file with the expected and
// received size and hash: "NAME : the downloaded file does not match its
// entry: expected size 10 sha256 ab12..., received size 11 sha256 cd34...".
// A fact the entry does not declare reads "-".
std::wstring DescribeFileMismatch(const CFileData& entry, const FileCheckResult& result);

// What the manifest's pin of a module's update list ("size" and "sha256" of
// "update_list") says of the list's bytes as received.
enum class ListPinCheck {
  NoPin,         // the manifest pins nothing for this list
  Matches,       // every pinned fact holds
  SizeMismatch,  // the byte count differs from the pinned size
  HashMismatch,  // the size holds (or is not pinned); the SHA-256 differs
  Malformed,     // the pin is present but not in its form
  HashFailed,    // the crypto provider failed to hash the bytes
};

// Checks a module's update list against its pin. The update run calls it
// once it holds the list's exact bytes as served, before it reads them:
//  - Matches: read the list. When the pin is whole (ListPinIsWhole: size
//    and sha256), a keyed run needs no list signature (a signed manifest
//    pinned these bytes) and may ignore a ".sig" beside it; with half a pin
//    it asks for the list's valid ".sig" as for NoPin.
//  - NoPin: as before pins: an unkeyed run reads the list; a keyed run asks
//    for the list's valid ".sig". (Start-up refuses a keyed manifest with a
//    serial that leaves any list unpinned, so in a keyed run NoPin comes
//    only from manifests published before pins and serials.)
//  - anything else: fail the module as a list with a bad signature fails it,
//    in keyed and unkeyed runs alike, before any of its files is touched.
// *logText (when given) receives a line for the update log for any result
// but Matches and NoPin, e.g. "the update list does not match the
// manifest's pin: expected size 10 sha256 ab12..., received size 11 sha256
// cd34...". Portable; any thread.
// True when the manifest pins both the size and the SHA-256 of the list.
bool ListPinIsWhole(const CUpdateModule& module);
[[nodiscard]] ListPinCheck CheckListPin(const CUpdateModule& module, std::string_view listBytes,
                                        std::wstring* logText = nullptr);
