#include "harness/nginx_fixture.h"

#include <cstdlib>
#include <set>
#include <sstream>

#include "common/test_files.h"
#include "harness/wine_paths.h"
#include "platform/text.h"

namespace TestHarness {

namespace {

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

// Parses: CONN REQNO "REQUEST LINE" STATUS BYTES "AGENT"
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
  if (a1 != std::string::npos && line.size() > a1 + 1) {
    e->userAgent = line.substr(a1 + 1, line.size() - a1 - 2);
  }
  return true;
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
  std::string port, tlsPort, user, password;
  if (!TestFiles::ReadBytes(folder_ + L"\\port", &port) || !TestFiles::ReadBytes(folder_ + L"\\tls_port", &tlsPort)) {
    problem_ = "the nginx fixture in " + dir + " is not running (no port file)";
    return;
  }
  (void)TestFiles::ReadBytes(folder_ + L"\\auth_user", &user);
  (void)TestFiles::ReadBytes(folder_ + L"\\auth_password", &password);
  authUser_ = Platform::FromUtf8(Trimmed(user));
  authPassword_ = Platform::FromUtf8(Trimmed(password));
  tlsPort_ = static_cast<unsigned short>(std::atoi(tlsPort.c_str()));
  port_ = static_cast<unsigned short>(std::atoi(port.c_str()));
}

std::wstring CNginxFixture::Address() const { return L"127.0.0.1:" + std::to_wstring(port_); }

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

std::size_t CountConnections(const std::vector<AccessLogEntry>& entries) {
  std::set<long> seen;
  for (const auto& e : entries) seen.insert(e.connection);
  return seen.size();
}

}  // namespace TestHarness
