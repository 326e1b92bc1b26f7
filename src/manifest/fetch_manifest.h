// Windows only: downloading the update manifest ("update.xml") from the
// update server named on the command line, over the platform's HTTP service.
#pragma once
#include <cstdint>
#include <string>

#include "manifest/update_trust.h"

struct ManifestFetchSettings {
  // User agent of the requests: the application's name.
  std::wstring agent;
  // Owner window of the platform's authentication dialog on 401/407; null
  // means the desktop, as no window of the updater exists yet.
  void* authOwner = nullptr;
  // Connect, send and receive timeouts. A server that accepts the connection
  // and then stalls would otherwise hold start-up for ever.
  std::uint32_t timeoutMs = 30000;
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
// 200/401/407 are written to the update log, as is a body that ends before
// its Content-Length. *bytes (when given) receives the body's exact bytes
// as received, for the manifest's SHA-256. Main thread only; blocks until
// done.
[[nodiscard]] bool FetchManifest(const std::wstring& serverAddress, const ManifestFetchSettings& settings,
                                 std::wstring* text, std::string* bytes = nullptr);
