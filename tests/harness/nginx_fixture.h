// The Wine-side view of the nginx that a ctest fixture started for this test
// (vireo_nginx_fixture in CMakeLists.txt): its ports, document root, access
// log and basic-auth credentials.
#pragma once
#include <string>
#include <vector>

namespace TestHarness {

// One line of the access log.
struct AccessLogEntry {
  long connection = 0;  // the TCP connection's serial number
  long requestOnConnection = 0;
  std::string requestLine;  // e.g. "GET /update.xml HTTP/1.1"
  int status = 0;
  long bytesSent = 0;
  std::string userAgent;
};

class CNginxFixture {
 public:
  // Reads the fixture named by VIREO_NGINX_DIR. IsReady() is false (and
  // Problem() says why) when the variable is unset or the server's files are
  // missing: the test was run without its ctest fixture.
  CNginxFixture();
  bool IsReady() const { return port_ != 0; }
  const std::string& Problem() const { return problem_; }

  unsigned short Port() const { return port_; }
  // The https server (self-signed certificate for CN 127.0.0.1), same root.
  unsigned short TlsPort() const { return tlsPort_; }
  // "127.0.0.1:PORT": a server address as the updater's command line gives it.
  std::wstring Address() const;
  // The document root as a Wine path (Z:\...\html), without trailing "\".
  const std::wstring& DocRoot() const { return docRoot_; }
  // Writes DocRoot()\relative ("/" or "\" separated), creating folders.
  // Tests sharing a fixture keep to their own sub-folder.
  bool WriteDocument(const std::wstring& relative, const std::string& bytes) const;

  // Locations with special handling: everything under /auth/ needs basic
  // authentication with AuthUser()/AuthPassword(); files under /chunked/ are
  // sent without Content-Length, chunked.
  const std::wstring& AuthUser() const { return authUser_; }
  const std::wstring& AuthPassword() const { return authPassword_; }

  // All access-log lines so far (nginx writes each at the end of a request).
  std::vector<AccessLogEntry> ReadAccessLog() const;
  // Access-log lines whose request line contains the text.
  std::vector<AccessLogEntry> FindRequests(const std::string& text) const;

 private:
  std::wstring folder_;
  std::wstring docRoot_;
  std::wstring authUser_;
  std::wstring authPassword_;
  std::string problem_;
  unsigned short port_ = 0;
  unsigned short tlsPort_ = 0;
};

// Distinct TCP connections among the entries.
std::size_t CountConnections(const std::vector<AccessLogEntry>& entries);

}  // namespace TestHarness
