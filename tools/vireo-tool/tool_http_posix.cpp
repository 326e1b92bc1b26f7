// posix build: the request over a plain TCP socket.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/text.h"
#include "tool_http.h"

namespace VireoTool {
namespace {

constexpr int kTimeoutMs = 30000;

class CSocket {
 public:
  ~CSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd_ = -1;
};

bool SendAll(int fd, const std::string& data, std::string* error) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = std::string("send failed: ") + std::strerror(errno);
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Buffered reads from the socket; false on error or timeout, *eof at the end.
class CReader {
 public:
  explicit CReader(int fd) : fd_(fd) {}
  bool Fill(bool* eof, std::string* error) {
    *eof = false;
    pollfd p{fd_, POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&p, 1, kTimeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
      *error = "timed out waiting for the server";
      return false;
    }
    char chunk[16384];
    ssize_t n;
    do {
      n = ::recv(fd_, chunk, sizeof chunk, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      *error = std::string("receive failed: ") + std::strerror(errno);
      return false;
    }
    if (n == 0) *eof = true;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
  std::string buffer_;

 private:
  int fd_;
};

bool ParseHeaders(const std::string& head, HttpReply* reply, bool* chunked, std::string* error) {
  // "HTTP/1.x NNN reason"
  if (head.compare(0, 5, "HTTP/") != 0 || head.size() < 12 || head[8] != ' ') {
    *error = "not an HTTP response";
    return false;
  }
  reply->status = 0;
  for (int i = 9; i < 12; ++i) {
    if (head[i] < '0' || head[i] > '9') {
      *error = "bad status line";
      return false;
    }
    reply->status = reply->status * 10 + (head[i] - '0');
  }
  *chunked = false;
  std::size_t pos = head.find("\r\n");
  while (pos != std::string::npos && pos + 2 < head.size()) {
    const std::size_t end = head.find("\r\n", pos + 2);
    std::string line = head.substr(pos + 2, (end == std::string::npos ? head.size() : end) - pos - 2);
    pos = end;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    if (name == "content-length") {
      std::uint64_t length = 0;
      if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos) {
        *error = "bad Content-Length";
        return false;
      }
      for (const char c : value) length = length * 10 + static_cast<std::uint64_t>(c - '0');
      reply->hasContentLength = true;
      reply->contentLength = length;
    } else if (name == "transfer-encoding") {
      for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      *chunked = value.find("chunked") != std::string::npos;
    }
  }
  if (*chunked) reply->hasContentLength = false;
  return true;
}

}  // namespace

bool HttpGet(const std::wstring& host, std::uint16_t port, const std::wstring& path, bool wantBody, HttpReply* reply,
             std::string* error) {
  *reply = HttpReply();
  const std::string hostText = Platform::ToUtf8(host);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int rc = ::getaddrinfo(hostText.c_str(), service.c_str(), &hints, &found); rc != 0) {
    *error = "cannot resolve " + hostText + ": " + gai_strerror(rc);
    return false;
  }
  CSocket sock;
  std::string lastError = "no address";
  for (addrinfo* a = found; a; a = a->ai_next) {
    sock.fd_ = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (sock.fd_ < 0) continue;
    if (::connect(sock.fd_, a->ai_addr, a->ai_addrlen) == 0) break;
    lastError = std::strerror(errno);
    ::close(sock.fd_);
    sock.fd_ = -1;
  }
  ::freeaddrinfo(found);
  if (sock.fd_ < 0) {
    *error = "cannot connect to " + hostText + ":" + service + ": " + lastError;
    return false;
  }
  const std::string request = "GET " + EncodeRequestTarget(path) + " HTTP/1.1\r\nHost: " + hostText + ":" + service +
                              "\r\nAccept: */*\r\nUser-Agent: vireo-tool\r\nConnection: close\r\n\r\n";
  if (!SendAll(sock.fd_, request, error)) return false;

  CReader reader(sock.fd_);
  bool eof = false;
  std::size_t headEnd;
  while ((headEnd = reader.buffer_.find("\r\n\r\n")) == std::string::npos) {
    if (reader.buffer_.size() > 65536) {
      *error = "response headers too long";
      return false;
    }
    if (!reader.Fill(&eof, error)) return false;
    if (eof) {
      *error = "connection closed before the response headers ended";
      return false;
    }
  }
  bool chunked = false;
  if (!ParseHeaders(reader.buffer_.substr(0, headEnd), reply, &chunked, error)) return false;
  std::string rest = reader.buffer_.substr(headEnd + 4);
  reader.buffer_.swap(rest);
  if (!wantBody && reply->hasContentLength) return true;

  auto take = [&](std::size_t count) {
    if (wantBody) reply->body.append(reader.buffer_, 0, count);
    reply->bodyLength += count;
    reader.buffer_.erase(0, count);
  };
  if (chunked) {
    for (;;) {
      std::size_t lineEnd;
      while ((lineEnd = reader.buffer_.find("\r\n")) == std::string::npos) {
        if (!reader.Fill(&eof, error)) return false;
        if (eof) {
          *error = "chunked body cut short";
          return false;
        }
      }
      std::uint64_t size = 0;
      std::size_t digits = 0;
      for (; digits < lineEnd && std::isxdigit(static_cast<unsigned char>(reader.buffer_[digits])); ++digits) {
        if (digits >= 15) {
          *error = "bad chunk size";
          return false;
        }
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(reader.buffer_[digits])));
        size = size * 16 + static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
      }
      if (digits == 0) {
        *error = "bad chunk size";
        return false;
      }
      reader.buffer_.erase(0, lineEnd + 2);
      if (size == 0) return true;  // trailers are not needed
      while (reader.buffer_.size() < size + 2) {
        if (!reader.Fill(&eof, error)) return false;
        if (eof) {
          *error = "chunked body cut short";
          return false;
        }
      }
      take(static_cast<std::size_t>(size));
      reader.buffer_.erase(0, 2);
    }
  }
  if (reply->hasContentLength) {
    while (reply->bodyLength + reader.buffer_.size() < reply->contentLength) {
      take(reader.buffer_.size());
      if (!reader.Fill(&eof, error)) return false;
      if (eof) {
        take(reader.buffer_.size());
        reply->truncated = true;
        return true;
      }
    }
    take(static_cast<std::size_t>(reply->contentLength - reply->bodyLength));
    return true;
  }
  for (;;) {  // delimited by the end of the connection
    take(reader.buffer_.size());
    if (!reader.Fill(&eof, error)) return false;
    if (eof) return true;
  }
}

}  // namespace VireoTool
