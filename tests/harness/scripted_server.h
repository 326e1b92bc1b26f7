// A small HTTP server on 127.0.0.1 inside the test process, for the answers a
// real server does not give on purpose: a body cut off by a close or a reset,
// a Content-Length that is wrong either way, a body that trickles or stalls,
// a 407, a reply held back until the test lets it go. Every request is
// answered by a handler that returns a script of steps.
#pragma once
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace TestHarness {

// The steps that answer one request, run in order on its connection. After
// the last step the connection waits for the next request unless a Close or
// Reset step ended it.
class CScriptedReply {
 public:
  enum class Kind { Send, Pause, Close, Reset, WaitForRelease };
  struct Step {
    Kind kind;
    std::string bytes;    // Send
    unsigned millis = 0;  // Pause
  };

  CScriptedReply& Send(std::string bytes);
  // Sends bytes in pieces of `piece` bytes with `millis` between them.
  CScriptedReply& Trickle(const std::string& bytes, std::size_t piece, unsigned millis);
  // Waits; ends early when the server stops.
  CScriptedReply& Pause(unsigned millis);
  // Graceful close (FIN) of the connection.
  CScriptedReply& Close();
  // Abortive close (RST) of the connection.
  CScriptedReply& Reset();
  // Waits until CScriptedServer::Release() (or Stop()).
  CScriptedReply& WaitForRelease();

  // A whole response: status line, the headers (each "Name: value", no line
  // break), "Content-Length: N" unless contentLength is -2 (none), N being
  // the body's size when contentLength is -1, then the body.
  static CScriptedReply Response(int status, const std::string& reason, const std::string& body,
                                 const std::vector<std::string>& headers = {}, long long contentLength = -1);
  // Only the status line and headers of such a response (add the body with
  // Send/Trickle).
  static std::string Head(int status, const std::string& reason, const std::vector<std::string>& headers,
                          long long contentLength);

  const std::vector<Step>& Steps() const { return steps_; }

 private:
  std::vector<Step> steps_;
};

struct ScriptedRequest {
  int connection = 0;       // 1 for the first accepted connection, and so on
  std::string requestLine;  // "GET /update.xml HTTP/1.1"
  std::string head;         // request line and headers as received
  // A header's value (name matched without case), or empty.
  std::string Header(const std::string& name) const;
};

class CScriptedServer {
 public:
  // Called on the server's connection threads, one call per request.
  using Handler = std::function<CScriptedReply(const ScriptedRequest&)>;

  explicit CScriptedServer(Handler handler);
  ~CScriptedServer();  // Stop()
  CScriptedServer(const CScriptedServer&) = delete;
  CScriptedServer& operator=(const CScriptedServer&) = delete;

  // Listens on a free 127.0.0.1 port; false when that fails.
  bool Start();
  // Closes the listener and every connection and joins the threads.
  void Stop();
  // Lets every WaitForRelease step (present and future) go on.
  void Release();

  unsigned short Port() const { return port_; }
  // "127.0.0.1:PORT"
  std::wstring Address() const;
  // The requests received so far, in order of arrival.
  std::vector<ScriptedRequest> Requests() const;
  int Connections() const;

 private:
  struct State;
  void AcceptLoop();
  void Serve(std::uintptr_t socket, int connection);
  // Waits up to millis (or for the release when waitRelease); false if stopping.
  bool Wait(unsigned millis, bool waitRelease);

  Handler handler_;
  std::unique_ptr<State> state_;
  unsigned short port_ = 0;
};

}  // namespace TestHarness
