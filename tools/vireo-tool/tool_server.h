// An update server as check and plan see it: an http:// address, fetched
// with the updater's request paths, or a folder holding a server tree, read
// the way a web server maps those paths onto its files.
#pragma once
#include <cstdint>
#include <string>

namespace VireoTool {

struct ServerReply {
  int status = 0;     // 200, 404 ...
  std::string body;   // only when asked for
  std::uint32_t reportedSize = 0;  // what the updater's size query takes from the reply
  bool truncated = false;          // the body ended before its announced length
};

class CServerSource {
 public:
  // `location`: "http://host[:port][/path]", "host:port[/path]" (as the
  // updater's command line gives it), or an existing folder. False with
  // *error for anything else.
  [[nodiscard]] bool Open(const std::string& location, std::string* error);

  bool IsFolder() const { return !folder_.empty(); }
  // The request path of the manifest (the address's path in lower case
  // followed by "/update.xml") and the worker's base path ("/" when none).
  const std::wstring& ManifestPath() const { return manifestPath_; }
  const std::wstring& BasePath() const { return basePath_; }
  // "host:port" or the folder, for messages.
  std::string Describe() const;

  // GET of a request path. With `wantBody` false only the status and the
  // size are needed. False with *error when the server cannot be reached or
  // the reply breaks off; a missing file is status 404, not a failure.
  [[nodiscard]] bool Get(const std::wstring& requestPath, bool wantBody, ServerReply* reply, std::string* error);

 private:
  std::wstring folder_;
  std::wstring host_;
  std::uint16_t port_ = 80;
  std::wstring basePath_ = L"/";
  std::wstring manifestPath_ = L"/update.xml";
};

}  // namespace VireoTool
