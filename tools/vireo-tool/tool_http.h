// A small HTTP/1.1 GET client for vireo-tool's check and plan: one request
// per connection, plain http only. The posix build talks sockets; the
// Windows build goes through WinINet with the updater's request flags, so a
// path reaches the server exactly as the updater's request would.
#pragma once
#include <cstdint>
#include <string>

namespace VireoTool {

struct HttpReply {
  int status = 0;
  bool hasContentLength = false;
  std::uint64_t contentLength = 0;
  std::string body;  // empty when the body was not wanted
  std::uint64_t bodyLength = 0;  // bytes of body received (also when not kept)
  bool truncated = false;        // the connection ended before Content-Length bytes
};

// GET `path` (as the updater hands it to its HTTP client: "\" is sent as
// "/", spaces and bytes beyond ASCII are escaped) from host:port. With
// `wantBody` false and a Content-Length present the body is not read. A body
// that ends before its Content-Length sets `truncated`. False with *error for
// a connection, send or protocol failure, a broken chunked body, or a
// timeout (30 s without data).
[[nodiscard]] bool HttpGet(const std::wstring& host, std::uint16_t port, const std::wstring& path, bool wantBody,
                           HttpReply* reply, std::string* error);

// The request target the client sends for `path`: "\" made "/", the path
// encoded in Windows-1252 (UTF-8 where that cannot hold it), and bytes
// outside printable ASCII, spaces and quotes percent-escaped.
std::string EncodeRequestTarget(const std::wstring& path);

}  // namespace VireoTool
