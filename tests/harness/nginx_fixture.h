// The Wine-side view of the nginx that a ctest fixture started for this test
// (vireo_nginx_fixture in CMakeLists.txt): its ports, document root, access
// log, basic-auth credentials and test CA.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace TestHarness {

// One line of the access log.
struct AccessLogEntry {
  long connection = 0;  // the TCP connection's serial number
  long requestOnConnection = 0;
  std::string requestLine;  // e.g. "GET /update.xml HTTP/1.1"
  int status = 0;
  long bytesSent = 0;  // the body's bytes ($body_bytes_sent), headers not counted
  std::string userAgent;
  unsigned short serverPort = 0;  // which server answered: Port(), TlsPort() or UntrustedTlsPort()
  double requestSeconds = 0;      // from the request's first byte to the response's last
  double loggedAt = 0;            // when nginx wrote the line, seconds since 1970 (ms resolution)
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
  // The https server, same root. Its certificate names localhost (CN and
  // subjectAltName DNS:localhost) and is signed by the fixture's test CA,
  // which WinINet trusts once TrustTestCa() has run in the prefix.
  unsigned short TlsPort() const { return tlsPort_; }
  // Another https server, same root, whose localhost certificate is signed by
  // a CA that nobody installs: requests to it must fail on the certificate.
  unsigned short UntrustedTlsPort() const { return untrustedTlsPort_; }
  // "127.0.0.1:PORT": a server address as the updater's command line gives it.
  std::wstring Address() const;
  // "https://localhost:TLSPORT" and "https://localhost:UNTRUSTEDPORT". The
  // host is localhost, not 127.0.0.1: Wine's certificate name check does not
  // match an IP address, even one in the subjectAltName.
  std::wstring TlsAddress() const;
  std::wstring UntrustedTlsAddress() const;

  // Adds the test CA (DIR/tls/ca.der) to the LocalMachine "Root" store of
  // this Wine prefix, where every later process of the prefix (Updater.exe
  // too) finds it. Adding it again changes nothing. False, with the reason
  // in *problem, when the file is missing or the store refuses it.
  bool TrustTestCa(std::string* problem = nullptr) const;
  // The test CA as a Wine path (DER), for helpers run from scripts.
  std::wstring TestCaPath() const { return folder_ + L"\\tls\\ca.der"; }
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
  // The same, once `done` holds for them (or after 10 s, whatever is there).
  // nginx writes a request's line only after its response went out, so a
  // client may have read the whole response before the line is there: a
  // test that looks at a request it just made waits for its line.
  std::vector<AccessLogEntry> WaitForRequests(
      const std::string& text, const std::function<bool(const std::vector<AccessLogEntry>&)>& done) const;
  // ... once there are at least `count` of them.
  std::vector<AccessLogEntry> WaitForRequests(const std::string& text, std::size_t count) const;

 private:
  std::wstring folder_;
  std::wstring docRoot_;
  std::wstring authUser_;
  std::wstring authPassword_;
  std::string problem_;
  unsigned short port_ = 0;
  unsigned short tlsPort_ = 0;
  unsigned short untrustedTlsPort_ = 0;
};

// Distinct TCP connections among the entries.
std::size_t CountConnections(const std::vector<AccessLogEntry>& entries);
// The entries that the server on `port` answered.
std::vector<AccessLogEntry> OnPort(const std::vector<AccessLogEntry>& entries, unsigned short port);
// The body bytes sent for the entries, summed.
std::uint64_t SumBytesSent(const std::vector<AccessLogEntry>& entries);

}  // namespace TestHarness
