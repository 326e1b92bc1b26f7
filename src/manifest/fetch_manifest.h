// Windows only: downloading the update manifest ("update.xml") from the
// update server named on the command line, over the platform's HTTP service.
#pragma once
#include <cstdint>
#include <string>

#include "manifest/update_trust.h"
#include "platform/http.h"

struct ManifestFetchSettings {
  // User agent of the requests: the application's name.
  std::wstring agent;
  // Owner window of the platform's authentication dialog on 401/407; null
  // means the desktop, as no window of the updater exists yet.
  void* authOwner = nullptr;
  // Connect, send and receive timeouts. A server that accepts the connection
  // and then stalls would otherwise hold start-up for ever.
  std::uint32_t timeoutMs = 30000;
  // The most the manifest's body and its signature's may each take from
  // their response on, and each 401/407 or redirect page read on the way,
  // besides the transfer pace's floor (a read may run over it by one
  // receive timeout).
  std::uint32_t totalMs = Platform::CTransferDeadline::kDefaultMs;
  // The key the manifest must be signed with ("update.xml.sig" beside it);
  // unkeyed asks for no signature.
  CUpdateKey key;
};

// The manifest URL for a server address: address + "/update.xml", all in
// lower case, with "http://" in front unless the text starts with "http://"
// or "https://" or contains "http://" anywhere.
std::wstring MakeManifestUrl(const std::wstring& serverAddress);

// Fetches the manifest of serverAddress and decodes it from UTF-8 into *text.
// True with the whole body on status 200, or on 401/407 when the
// authentication dialog was not confirmed (*text is then the 401/407 body).
// With a key, the manifest counts only when its signature is the key's (a
// missing or wrong one is logged and fails the fetch; a 401/407 page is never
// taken). False otherwise, *text unchanged; failures to send and statuses other than
// 200/401/407 are written to the update log, as are a body that ends before
// its Content-Length, a fetch past settings.totalMs and what the HTTP service
// refused (a redirect off the server or out of https, a password that would
// travel in clear: DescribeHttpFailure). *bytes (when given) receives the
// body's exact bytes as received, for the manifest's SHA-256. Main thread
// only; blocks until done.
[[nodiscard]] bool FetchManifest(const std::wstring& serverAddress, const ManifestFetchSettings& settings,
                                 std::wstring* text, std::string* bytes = nullptr);
