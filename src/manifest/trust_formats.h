// The written forms of the trust data: the updater's public key (PEM
// SubjectPublicKeyInfo of a P-256 key, as `openssl ec -pubout` writes it),
// detached signatures (DER ECDSA-Sig-Value, as `openssl dgst -sha256 -sign`
// writes it) and the "size" and "sha256" attributes of update-list entries.
// Every parser takes hostile input: it reads only inside the given bytes,
// accepts only the strict form and answers false for anything else. Portable;
// no OS calls; any thread.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/crypto.h"

class CFileData;

// Most bytes a PEM public key file may have; longer text is refused unread.
inline constexpr std::size_t kMaxPublicKeyPemBytes = 4096;
// Most bytes a DER ECDSA P-256 signature can have (SEQUENCE of two 33-byte
// INTEGERs); a signature file longer than this is not a signature.
inline constexpr std::size_t kMaxSignatureBytes = 72;

// PEM text holding one "PUBLIC KEY" block: text before the BEGIN line and
// after the END line is allowed (as RFC 7468 allows explanations), CR LF or
// LF line ends, base64 with correct padding and zero pad bits. The DER inside
// must be a SubjectPublicKeyInfo with id-ecPublicKey, the named curve
// prime256v1 and an uncompressed point. False otherwise (the point is not
// checked against the curve here: the crypto service does that).
[[nodiscard]] bool ParsePemP256PublicKey(std::string_view pem, Platform::EcP256PublicKey* key);
// The DER SubjectPublicKeyInfo alone, with nothing after it.
[[nodiscard]] bool ParseSpkiP256PublicKey(std::string_view der, Platform::EcP256PublicKey* key);

// A DER ECDSA-Sig-Value, SEQUENCE { INTEGER r, INTEGER s }, in strict DER:
// definite minimal lengths, minimal positive INTEGERs (a leading 0x00 only
// before a byte with its top bit set), r and s non-zero and at most 32 bytes,
// nothing after the SEQUENCE. *rs receives r and s left-padded to 32 bytes.
[[nodiscard]] bool ParseDerEcdsaSignature(std::string_view der, Platform::EcP256Signature* rs);
// The DER form of r || s (the inverse of ParseDerEcdsaSignature for any r
// and s that it accepts).
std::string EncodeDerEcdsaSignature(const Platform::EcP256Signature& rs);

// "sha256": exactly 64 hexadecimal digits. Writers use lower case; readers
// also take upper case (hash tools on Windows print it), but no mix of cases
// within one value, no prefix, sign or white space.
[[nodiscard]] bool ParseSha256Hex(std::wstring_view text, Platform::Sha256Digest* digest);
// 64 lower-case hexadecimal digits.
std::wstring FormatSha256Hex(const Platform::Sha256Digest& digest);

// "size": a decimal byte count, ASCII digits only, no sign, white space or
// leading zero (except "0" itself), at most 2^64 - 1.
[[nodiscard]] bool ParseDecimalSize(std::wstring_view text, std::uint64_t* size);

// "serial" of a manifest: a decimal integer of 1 or more in the form of
// ParseDecimalSize (no sign, white space or leading zero).
[[nodiscard]] bool ParseManifestSerial(std::wstring_view text, std::uint64_t* serial);

// "expires" of a manifest: exactly "YYYY-MM-DDTHH:MM:SSZ", a valid UTC
// calendar time from 1601 on, as a FILETIME (100 ns since 1601-01-01 UTC).
[[nodiscard]] bool ParseUtcTime(std::wstring_view text, std::uint64_t* fileTime);
// The inverse: "YYYY-MM-DDTHH:MM:SSZ" (fractions of a second dropped);
// "?" for a time past year 9999.
std::wstring FormatUtcTime(std::uint64_t fileTime);

// Fills the declared facts of an update-list entry from its "size" and
// "sha256" attribute texts (empty = absent): Size/SizeDeclared,
// Sha256/Sha256Declared, and DeclarationMalformed when a present value is
// not in its form.
void ReadDeclaredFileFacts(std::wstring_view size, std::wstring_view sha256, CFileData* entry);
