// HTTP as a platform service: a session to one server (scheme, host, port and
// timeouts) and requests on it, one at a time. The Windows implementation is
// WinINet with the system's request flags (reload, no cache write, keep the
// connection; TLS with certificate validation for https). Every failure comes
// back as a value that carries the platform's error code.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/error.h"

namespace Platform {

enum class HttpScheme { Http, Https };

// A server address split into what a session and its requests need.
struct HttpAddress {
  HttpScheme scheme = HttpScheme::Http;
  std::wstring host;
  std::uint16_t port = 0;   // the address's port, or the scheme's default
  std::wstring path = L"/";  // with any query; always begins with "/"
};

// Parses an absolute http or https URL (scheme compared without regard to
// case), canonicalising it first: unsafe characters are escaped and "." and
// ".." segments resolved. False, *out unchanged, for any other scheme, or
// when the host is empty. Any thread.
[[nodiscard]] bool ParseHttpUrl(const std::wstring& url, HttpAddress* out);

// Whether `text` begins with "http://" or "https://", in any letter case.
bool HasHttpScheme(const std::wstring& text);

struct HttpTimeouts {
  std::uint32_t connectMs = 10000;
  std::uint32_t sendMs = 10000;
  // The longest a read waits for data: a server that stops sending fails the
  // read after it, and a cancel is seen at the latest then.
  std::uint32_t receiveMs = 5000;
};

enum class HttpMethod { Get, Head };

// A GET that continues an earlier transfer: the body from byte `from` on,
// but only while the document is still the one `validator` names (an entity
// tag or a date, as ResumeValidator gave it); a document that changed comes
// whole, with status 200.
struct HttpResume {
  std::uint64_t from = 0;
  std::wstring validator;
};

// A response's Content-Range: "bytes FIRST-LAST/TOTAL" (a part, status 206)
// or "bytes */TOTAL" (status 416: the range asked for lies past the end).
struct HttpContentRange {
  bool unsatisfied = false;  // the "*" form: first and last are 0
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  bool totalKnown = false;   // false for a TOTAL of "*"
  std::uint64_t total = 0;
};
// Parses a Content-Range value. False for anything but the two forms above
// with plain decimal numbers, FIRST <= LAST, and LAST < TOTAL when both are
// known. Any thread.
[[nodiscard]] bool ParseContentRange(const std::wstring& text, HttpContentRange* out);

// Where a request failed, for the caller's log line and message.
enum class HttpStep {
  kNone,    // no failure
  kOpen,    // the request could not be opened
  kSend,    // sending failed (connection refused, reset, TLS refused ...)
  kStatus,  // the response carried no status that could be read
};

struct HttpFailure {
  HttpStep step = HttpStep::kNone;
  ErrorCode code = 0;
  explicit operator bool() const { return step != HttpStep::kNone; }
};

// The slowest a body may arrive: a transfer that moves fewer than
// kMinBytes in any kWindowMs fails as a stall, so a server that trickles a
// byte now and then cannot hold a transfer for ever. Feed it the byte count
// and the millisecond tick after every read; ticks wrap at 2^32.
class CTransferPace {
 public:
  static constexpr std::uint32_t kWindowMs = 30000;
  static constexpr std::uint64_t kMinBytes = 1024;
  explicit CTransferPace(std::uint32_t startTick) : windowTick_(startTick) {}
  // False once a whole window passed with fewer than kMinBytes.
  [[nodiscard]] bool Advance(std::uint64_t totalBytes, std::uint32_t now) {
    if (static_cast<std::uint32_t>(now - windowTick_) < kWindowMs) return true;
    if (totalBytes - windowBytes_ < kMinBytes) return false;
    windowTick_ = now;
    windowBytes_ = totalBytes;
    return true;
  }

 private:
  std::uint32_t windowTick_;
  std::uint64_t windowBytes_ = 0;
};

// The error code of a transfer that failed as a stall (WinINet's timeout).
inline constexpr ErrorCode kErrorTransferStalled = 12002;

class CHttpSession;

// One request. Send it, read its status and length, read its body, then let
// it go (or Close it) before the session's next request. An unread body is
// drained by the implementation, keeping the connection for the next one.
class CHttpRequest {
 public:
  CHttpRequest();
  ~CHttpRequest();
  CHttpRequest(CHttpRequest&&) noexcept;
  CHttpRequest& operator=(CHttpRequest&&) noexcept;
  CHttpRequest(const CHttpRequest&) = delete;
  CHttpRequest& operator=(const CHttpRequest&) = delete;

  // The response's status (after a successful Send).
  std::uint32_t Status() const { return status_; }
  // True with *length when the response declares a Content-Length that is a
  // plain decimal number; false without one (chunked or close-delimited).
  [[nodiscard]] bool ContentLength(std::uint64_t* length) const;
  // What a later request can resume against (HttpResume): the response's
  // entity tag when it is a strong one, else its Last-Modified date; empty
  // when it has neither.
  std::wstring ResumeValidator() const;
  // True with *range when the response carries a Content-Range that parses.
  [[nodiscard]] bool ContentRange(HttpContentRange* range) const;
  // Reads what the connection has at hand, at most `capacity` bytes, waiting
  // (up to the receive timeout) only while nothing is there. *got is 0 at the
  // end of the body. Failure: the platform error code (non-zero); 0 on success.
  [[nodiscard]] ErrorCode Read(void* buffer, std::size_t capacity, std::size_t* got);
  // Like Read, for a caller that bounds the wait of a read by other means
  // (the update worker, whose window gives up on a read that waits too
  // long): once the body streams, a read waits to fill a block sized to what
  // the connection has been delivering, instead of returning the little the
  // platform has at hand (Wine's WinINet never has more than 8 KiB). A block
  // shrinks when it is slow to fill, back to Read's way when very slow; a
  // server that slows down in the middle of one holds it until the block is
  // full, or until a whole receive timeout passes without a byte.
  [[nodiscard]] ErrorCode ReadBlock(void* buffer, std::size_t capacity, std::size_t* got);
  void Close();
  bool IsOpen() const;

 private:
  friend class CHttpSession;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::uint32_t status_ = 0;
};

class CHttpSession {
 public:
  CHttpSession();
  ~CHttpSession();
  CHttpSession(const CHttpSession&) = delete;
  CHttpSession& operator=(const CHttpSession&) = delete;

  // Opens the session to `server` (its path is not used here) with the user
  // agent `agent` and the timeouts. Failure: step kOpen for the platform's
  // root handle, kSend for the connection, with the error code.
  [[nodiscard]] HttpFailure Open(const std::wstring& agent, const HttpAddress& server, const HttpTimeouts& timeouts);
  // Sends `method` for `path` (as it goes on the wire after the platform's
  // own escaping) on *request. 401 and 407 (this one only when a proxy is in
  // use) are answered through the platform's credentials dialog, owned by
  // the window `authOwner` (null: the desktop); a confirmed dialog sends
  // again. The final status is in request->Status(), also when it is not
  // 200 (an unconfirmed 401 keeps its body readable).
  // With `resume`, a GET asks for the rest of the document (HttpResume).
  [[nodiscard]] HttpFailure Send(HttpMethod method, const std::wstring& path, void* authOwner, CHttpRequest* request,
                                 const HttpResume* resume = nullptr);
  // Closes the connection and the root handle. Requests must be gone first.
  void Close();
  bool IsOpen() const;
  const std::wstring& Host() const { return host_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  HttpScheme scheme_ = HttpScheme::Http;
  std::wstring host_;
};

}  // namespace Platform
