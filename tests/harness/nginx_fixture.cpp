#include "harness/nginx_fixture.h"

#include <chrono>
#include <cstdlib>
#include <set>
#include <sstream>
#include <thread>

#include "common/test_files.h"
#include "harness/trusted_root.h"
#include "harness/wine_paths.h"
#include "platform/text.h"

namespace TestHarness {

namespace {

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

// Parses: CONN REQNO "REQUEST LINE" STATUS BYTES "AGENT" PORT SECONDS MSEC
// (nginx writes a '"' inside a field as \x22, so quotes only delimit).
bool ParseLine(const std::string& line, AccessLogEntry* e) {
  std::istringstream in(line);
  if (!(in >> e->connection >> e->requestOnConnection)) return false;
  const auto q1 = line.find('"');
  const auto q2 = q1 == std::string::npos ? q1 : line.find("\" ", q1 + 1);
  if (q2 == std::string::npos) return false;
  e->requestLine = line.substr(q1 + 1, q2 - q1 - 1);
  std::istringstream rest(line.substr(q2 + 2));
  if (!(rest >> e->status >> e->bytesSent)) return false;
  const auto a1 = line.find('"', q2 + 2);
  const auto a2 = a1 == std::string::npos ? a1 : line.find('"', a1 + 1);
  if (a2 == std::string::npos) return false;
  e->userAgent = line.substr(a1 + 1, a2 - a1 - 1);
  unsigned port = 0;
  std::istringstream tail(line.substr(a2 + 1));
  if (!(tail >> port >> e->requestSeconds >> e->loggedAt) || port > 65535) return false;
  e->serverPort = static_cast<unsigned short>(port);
  return true;
}

unsigned short ReadPort(const std::wstring& path) {
  std::string text;
  if (!TestFiles::ReadBytes(path, &text)) return 0;
  const int port = std::atoi(text.c_str());
  return port > 0 && port < 65536 ? static_cast<unsigned short>(port) : 0;
}

}  // namespace

CNginxFixture::CNginxFixture() {
  const std::string dir = GetEnv("VIREO_NGINX_DIR");
  if (dir.empty()) {
    problem_ = "VIREO_NGINX_DIR is not set: run this test through ctest (nginx fixture)";
    return;
  }
  folder_ = UnixToWinePath(dir);
  docRoot_ = folder_ + L"\\html";
  const unsigned short port = ReadPort(folder_ + L"\\port");
  tlsPort_ = ReadPort(folder_ + L"\\tls_port");
  untrustedTlsPort_ = ReadPort(folder_ + L"\\untrusted_tls_port");
  if (port == 0 || tlsPort_ == 0 || untrustedTlsPort_ == 0) {
    problem_ = "the nginx fixture in " + dir + " is not running (no port files)";
    return;
  }
  std::string user, password;
  (void)TestFiles::ReadBytes(folder_ + L"\\auth_user", &user);
  (void)TestFiles::ReadBytes(folder_ + L"\\auth_password", &password);
  authUser_ = Platform::FromUtf8(Trimmed(user));
  authPassword_ = Platform::FromUtf8(Trimmed(password));
  port_ = port;
}

std::wstring CNginxFixture::Address() const { return L"127.0.0.1:" + std::to_wstring(port_); }

std::wstring CNginxFixture::TlsAddress() const { return L"https://localhost:" + std::to_wstring(tlsPort_); }

std::wstring CNginxFixture::UntrustedTlsAddress() const {
  return L"https://localhost:" + std::to_wstring(untrustedTlsPort_);
}

bool CNginxFixture::TrustTestCa(std::string* problem) const {
  if (!IsReady()) {
    if (problem) *problem = problem_;
    return false;
  }
  return AddTrustedRootFile(TestCaPath(), problem);
}

bool CNginxFixture::WriteDocument(const std::wstring& relative, const std::string& bytes) const {
  std::wstring rel = relative;
  for (auto& c : rel) {
    if (c == L'/') c = L'\\';
  }
  if (!rel.empty() && rel[0] == L'\\') rel.erase(0, 1);
  return TestFiles::WriteBytes(docRoot_ + L"\\" + rel, bytes);
}

std::vector<AccessLogEntry> CNginxFixture::ReadAccessLog() const {
  std::vector<AccessLogEntry> entries;
  std::string text;
  if (!TestFiles::ReadBytes(folder_ + L"\\access.log", &text)) return entries;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    AccessLogEntry e;
    if (ParseLine(Trimmed(line), &e)) entries.push_back(e);
  }
  return entries;
}

std::vector<AccessLogEntry> CNginxFixture::FindRequests(const std::string& text) const {
  std::vector<AccessLogEntry> found;
  for (const auto& e : ReadAccessLog()) {
    if (e.requestLine.find(text) != std::string::npos) found.push_back(e);
  }
  return found;
}

std::vector<AccessLogEntry> CNginxFixture::WaitForRequests(
    const std::string& text, const std::function<bool(const std::vector<AccessLogEntry>&)>& done) const {
  auto found = FindRequests(text);
  for (int i = 0; i < 1000 && !done(found); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    found = FindRequests(text);
  }
  return found;
}

std::vector<AccessLogEntry> CNginxFixture::WaitForRequests(const std::string& text, std::size_t count) const {
  return WaitForRequests(text, [count](const std::vector<AccessLogEntry>& found) { return found.size() >= count; });
}

std::size_t CountConnections(const std::vector<AccessLogEntry>& entries) {
  std::set<long> seen;
  for (const auto& e : entries) seen.insert(e.connection);
  return seen.size();
}

std::vector<AccessLogEntry> OnPort(const std::vector<AccessLogEntry>& entries, unsigned short port) {
  std::vector<AccessLogEntry> found;
  for (const auto& e : entries) {
    if (e.serverPort == port) found.push_back(e);
  }
  return found;
}

std::uint64_t SumBytesSent(const std::vector<AccessLogEntry>& entries) {
  std::uint64_t sum = 0;
  for (const auto& e : entries) sum += static_cast<std::uint64_t>(e.bytesSent);
  return sum;
}

}  // namespace TestHarness
