#include "harness/scripted_server.h"

// winsock2.h must come before windows.h's own socket declarations.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

namespace TestHarness {

CScriptedReply& CScriptedReply::Send(std::string bytes) {
  steps_.push_back({Kind::Send, std::move(bytes), 0});
  return *this;
}

CScriptedReply& CScriptedReply::Trickle(const std::string& bytes, std::size_t piece, unsigned millis) {
  if (piece == 0) piece = 1;
  for (std::size_t pos = 0; pos < bytes.size(); pos += piece) {
    if (pos) Pause(millis);
    Send(bytes.substr(pos, piece));
  }
  return *this;
}

CScriptedReply& CScriptedReply::Pause(unsigned millis) {
  steps_.push_back({Kind::Pause, {}, millis});
  return *this;
}

CScriptedReply& CScriptedReply::Close() {
  steps_.push_back({Kind::Close, {}, 0});
  return *this;
}

CScriptedReply& CScriptedReply::Reset() {
  steps_.push_back({Kind::Reset, {}, 0});
  return *this;
}

CScriptedReply& CScriptedReply::WaitForRelease() {
  steps_.push_back({Kind::WaitForRelease, {}, 0});
  return *this;
}

std::string CScriptedReply::Head(int status, const std::string& reason, const std::vector<std::string>& headers,
                                 long long contentLength) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
  for (const auto& h : headers) head += h + "\r\n";
  if (contentLength >= 0) head += "Content-Length: " + std::to_string(contentLength) + "\r\n";
  return head + "\r\n";
}

CScriptedReply CScriptedReply::Response(int status, const std::string& reason, const std::string& body,
                                        const std::vector<std::string>& headers, long long contentLength) {
  CScriptedReply reply;
  const long long length = contentLength == -1 ? static_cast<long long>(body.size()) : contentLength;
  reply.Send(Head(status, reason, headers, length) + body);
  return reply;
}

std::string ScriptedRequest::Header(const std::string& name) const {
  auto lower = [](std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  const std::string lowerHead = lower(head);
  const std::string key = "\r\n" + lower(name) + ":";
  const auto pos = lowerHead.find(key);
  if (pos == std::string::npos) return {};
  auto start = pos + key.size();
  const auto end = head.find("\r\n", start);
  while (start < end && head[start] == ' ') ++start;
  return head.substr(start, end - start);
}

struct CScriptedServer::State {
  mutable std::mutex lock;
  std::condition_variable wake;
  bool stopping = false;
  std::atomic<bool> stopFlag{false};  // stopping, readable without the lock
  bool released = false;
  SOCKET listener = INVALID_SOCKET;
  std::vector<SOCKET> clients;
  std::vector<std::thread> threads;
  std::thread acceptor;
  std::vector<ScriptedRequest> requests;
  int connections = 0;
  bool wsaStarted = false;
};

CScriptedServer::CScriptedServer(Handler handler) : handler_(std::move(handler)), state_(new State) {}

CScriptedServer::~CScriptedServer() { Stop(); }

bool CScriptedServer::Start() {
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  state_->wsaStarted = true;
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  int len = sizeof(addr);
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(s, 16) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::closesocket(s);
    return false;
  }
  port_ = ntohs(addr.sin_port);
  state_->listener = s;
  state_->acceptor = std::thread([this] { AcceptLoop(); });
  return true;
}

void CScriptedServer::Stop() {
  if (!state_) return;
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->stopping = true;
    state_->stopFlag = true;
  }
  state_->wake.notify_all();
  if (state_->acceptor.joinable()) state_->acceptor.join();
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->listener != INVALID_SOCKET) ::closesocket(state_->listener);
    state_->listener = INVALID_SOCKET;
  }
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    threads.swap(state_->threads);
  }
  for (auto& t : threads) t.join();
  if (state_->wsaStarted) ::WSACleanup();
  state_->wsaStarted = false;
}

void CScriptedServer::Release() {
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->released = true;
  }
  state_->wake.notify_all();
}

std::wstring CScriptedServer::Address() const { return L"127.0.0.1:" + std::to_wstring(port_); }

std::vector<ScriptedRequest> CScriptedServer::Requests() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->requests;
}

int CScriptedServer::Connections() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->connections;
}

bool CScriptedServer::Wait(unsigned millis, bool waitRelease) {
  std::unique_lock<std::mutex> guard(state_->lock);
  if (waitRelease) {
    state_->wake.wait(guard, [this] { return state_->stopping || state_->released; });
  } else {
    state_->wake.wait_for(guard, std::chrono::milliseconds(millis), [this] { return state_->stopping; });
  }
  return !state_->stopping;
}

namespace {
// Blocking socket calls are not reliably woken by a close from another
// thread, so every wait polls the stop flag.
bool WaitReadable(SOCKET s, const std::atomic<bool>& stopping) {
  while (!stopping.load()) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{0, 50000};
    const int n = ::select(0, &set, nullptr, nullptr, &tv);
    if (n > 0) return true;
    if (n < 0) return false;
  }
  return false;
}

int Receive(SOCKET s, char* buffer, int size, const std::atomic<bool>& stopping) {
  if (!WaitReadable(s, stopping)) return -1;
  return ::recv(s, buffer, size, 0);
}
}  // namespace

void CScriptedServer::AcceptLoop() {
  for (;;) {
    SOCKET listener;
    {
      std::lock_guard<std::mutex> guard(state_->lock);
      if (state_->stopping) return;
      listener = state_->listener;
    }
    if (!WaitReadable(listener, state_->stopFlag)) return;
    SOCKET c = ::accept(listener, nullptr, nullptr);
    if (c == INVALID_SOCKET) return;
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->stopping) {
      ::closesocket(c);
      return;
    }
    const int number = ++state_->connections;
    state_->clients.push_back(c);
    state_->threads.emplace_back([this, c, number] { Serve(static_cast<std::uintptr_t>(c), number); });
  }
}

void CScriptedServer::Serve(std::uintptr_t socketValue, int connection) {
  const SOCKET s = static_cast<SOCKET>(socketValue);
  std::string pending;
  bool open = true;
  while (open) {
    // One request head.
    std::size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
      char buffer[4096];
      const int got = Receive(s, buffer, sizeof(buffer), state_->stopFlag);
      if (got <= 0) {
        open = false;
        break;
      }
      pending.append(buffer, static_cast<std::size_t>(got));
    }
    if (!open) break;
    ScriptedRequest request;
    request.connection = connection;
    request.head = pending.substr(0, end + 4);
    pending.erase(0, end + 4);
    request.requestLine = request.head.substr(0, request.head.find("\r\n"));
    {
      std::lock_guard<std::mutex> guard(state_->lock);
      state_->requests.push_back(request);
    }
    const CScriptedReply reply = handler_(request);
    for (const auto& step : reply.Steps()) {
      if (!open) break;
      switch (step.kind) {
        case CScriptedReply::Kind::Send: {
          std::size_t sent = 0;
          while (sent < step.bytes.size()) {
            const int n = ::send(s, step.bytes.data() + sent, static_cast<int>(step.bytes.size() - sent), 0);
            if (n <= 0) {
              open = false;
              break;
            }
            sent += static_cast<std::size_t>(n);
          }
          break;
        }
        case CScriptedReply::Kind::Pause:
          open = Wait(step.millis, false);
          break;
        case CScriptedReply::Kind::WaitForRelease:
          open = Wait(0, true);
          break;
        case CScriptedReply::Kind::Close:
          ::shutdown(s, SD_SEND);
          // Let the client see the end of data before the socket goes.
          {
            char sink[512];
            while (Receive(s, sink, sizeof(sink), state_->stopFlag) > 0) {
            }
          }
          open = false;
          break;
        case CScriptedReply::Kind::Reset: {
          linger l{1, 0};
          ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof(l));
          open = false;
          break;
        }
      }
    }
  }
  std::lock_guard<std::mutex> guard(state_->lock);
  auto& clients = state_->clients;
  clients.erase(std::remove(clients.begin(), clients.end(), s), clients.end());
  ::closesocket(s);
}

}  // namespace TestHarness
