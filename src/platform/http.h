// HTTP as a platform service: a session to one server (scheme, host, port and
// timeouts) and requests on it, one at a time. The Windows implementation is
// WinINet with the system's request flags (reload, no cache write, keep the
// connection; TLS with certificate validation for https), with redirects and
// credentials under the service's own rules (CHttpSession::Send). Every
// failure comes back as a value that carries the platform's error code.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
  // The longest Send spends reading one page of its own (a 401/407 page read
  // before the credentials dialog, a redirect's page), counted from its
  // status on; it may run over by one receive timeout. Such a page must also
  // keep CTransferPace's floor.
  std::uint32_t pageMs = 60000;
};

enum class HttpMethod { Get, Head };

// A GET that continues an earlier transfer: the body from byte `from` on,
// but only while the document is still the one `validator` names (an entity
// tag or a date, as ResumeValidator gave it); a document that changed comes
// whole, with status 200. A validator that is not in its standard form
// (IsStandardValidator) fails Send with HttpCause::kResumeValidator.
struct HttpResume {
  std::uint64_t from = 0;
  std::wstring validator;
};

// The longest validator kept (units).
inline constexpr std::size_t kMaxValidatorLength = 256;
// Whether `text` is a validator in its standard form, the only form kept and
// sent back: 1 to kMaxValidatorLength visible ASCII characters (0x21-0x7E),
// either a quoted entity tag ("..." with no quote inside) or a date, which may
// also hold single spaces between its words. Anything else (control
// characters, non-ASCII, an empty or overlong text) is not. Any thread.
[[nodiscard]] bool IsStandardValidator(std::wstring_view text);

// Whether a 401 over plain http may be answered through the credentials
// dialog, given the response's WWW-Authenticate values (one per header; each
// may list several challenges): only when a scheme that never sends the
// password in clear (NTLM, Negotiate, Digest, Kerberos) is offered and Basic
// is not, since the platform may answer with any scheme offered. Scheme names
// are compared without regard to case. Any thread.
[[nodiscard]] bool AllowsCredentialsOverHttp(const std::vector<std::wstring>& challenges);

// The machine policy that lets Basic authentication over plain http through
// (a site that cannot move its update server to https): the DWORD value
// kAllowBasicOverHttpValue = 1 under HKEY_LOCAL_MACHINE\kPolicyKey. Read at
// each 401 over plain http. Posix builds have no such policy.
inline constexpr wchar_t kPolicyKey[] = L"Software\\Vireo PACS Updater";
inline constexpr wchar_t kAllowBasicOverHttpValue[] = L"AllowBasicOverHttp";
// Whether that policy is set on this machine. Any thread.
[[nodiscard]] bool PolicyAllowsBasicOverHttp();

// Redirects (301, 302, 303, 307, 308) are followed by the service itself, at
// most this many per Send, and only on the same server: the same scheme, host
// (without regard to case) and port as the session. Anything else fails Send.
inline constexpr int kMaxRedirects = 5;

// The most of an answer's rest that closing its request reads off the
// connection, and the time it may take, once the session already has a
// request left open (CHttpRequest).
inline constexpr std::uint64_t kMaxDrainedAnswer = 16ull << 20;
inline constexpr std::uint32_t kMaxDrainMs = 15000;

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
  kSend,    // sending failed (connection refused, reset, TLS refused ...), or
            // the service refused what the server answered (see HttpCause)
  kStatus,  // the response carried no status that could be read
};

// Why a request failed when the platform's own call did not fail: the
// service refused to go on. Each has its log line (DescribeHttpFailure).
enum class HttpCause {
  kPlatform,             // a platform call failed: `code` says why
  // Step kOpen, code kErrorInvalidParameter, nothing sent: the resume's
  // validator is not in its standard form. The staged part cannot be
  // continued: discard it and send again without a resume.
  kResumeValidator,
  // Step kSend, `url` the address asked for, `location` the one the server
  // redirected to:
  kRedirectLeavesHttps,  // https to http (code kErrorRedirectLeavesHttps)
  kRedirectOtherServer,  // another host, port or scheme (kErrorRedirectRefused)
  kTooManyRedirects,     // more than kMaxRedirects (kErrorRedirectRefused)
  kRedirectNoAddress,    // no usable http address in Location (kErrorRedirectRefused)
  // Step kSend, code kErrorAccessDenied, `url` the address: a 401 over plain
  // http offered Basic (or no scheme that keeps the password safe) and the
  // policy does not allow it. No dialog was shown.
  kPasswordInClear,
  // Step kSend, code kErrorTransferStalled, `url` the address: a page Send
  // reads itself (a 401/407 or redirect page) did not arrive within
  // HttpTimeouts::pageMs or fell below CTransferPace's floor.
  kPageTooSlow,
  // Step kSend, code kErrorTransferStalled, `url` the address, nothing sent:
  // a request is already left open on the session and a second answer's
  // rest could not be read off within its bound (CHttpRequest), so the
  // session sends nothing more.
  kConnectionSpent,
};

inline constexpr ErrorCode kErrorRedirectLeavesHttps = 12040;  // WinINet's code for that refusal
inline constexpr ErrorCode kErrorRedirectRefused = 12156;      // WinINet's "redirect failed"

struct HttpFailure {
  HttpStep step = HttpStep::kNone;
  ErrorCode code = 0;
  HttpCause cause = HttpCause::kPlatform;
  std::wstring url;       // see HttpCause; empty for kPlatform
  std::wstring location;  // see HttpCause; empty unless a redirect was refused
  explicit operator bool() const { return step != HttpStep::kNone; }
};

// The log line for a failure the service refused (cause other than
// kPlatform), naming the addresses involved and, for kPasswordInClear, https
// as the remedy; empty for kPlatform, whose callers log the step and the
// code. Any thread.
std::wstring DescribeHttpFailure(const HttpFailure& failure);

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

// The total bound on a whole document (a manifest, an update list, a
// signature, an error page): besides keeping CTransferPace's floor, it must
// arrive within limitMs of startTick. Check Expired after every read (a read
// waits at most the receive timeout, so the overrun is at most that); fail
// with kErrorTransferStalled. Ticks wrap at 2^32.
class CTransferDeadline {
 public:
  static constexpr std::uint32_t kDefaultMs = 60000;
  explicit CTransferDeadline(std::uint32_t startTick, std::uint32_t limitMs = kDefaultMs)
      : startTick_(startTick), limitMs_(limitMs) {}
  [[nodiscard]] bool Expired(std::uint32_t now) const {
    return static_cast<std::uint32_t>(now - startTick_) >= limitMs_;
  }
  std::uint32_t LimitMs() const { return limitMs_; }

 private:
  std::uint32_t startTick_;
  std::uint32_t limitMs_;
};

class CHttpSession;

// One request. Send it, read its status and length, read its body, then let
// it go (or Close it) before the session's next request. An unread body is
// drained by the implementation, keeping the connection for the next one.
// A long rest (a refused resume's document, a body given up on) is not: the
// session's first such request is left open, and its next request takes a
// new connection; any later one is read off to its end within a bound
// (kMaxDrainedAnswer bytes, kMaxDrainMs, the pace floor, the session's
// abort flag), or the session refuses every later request
// (HttpCause::kConnectionSpent). A session never holds more than one request
// left open while it is still sending.
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
  // entity tag when it is a strong one in its standard form, else its
  // Last-Modified date in its standard form (IsStandardValidator); empty
  // otherwise (the document can then only be fetched whole).
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
  // again. Over plain http a 401 gets the dialog only when
  // AllowsCredentialsOverHttp or PolicyAllowsBasicOverHttp; otherwise Send
  // fails with kPasswordInClear. Redirects are followed as kMaxRedirects
  // says; a refused one fails with its HttpCause. The final status is in
  // request->Status(), also when it is not 200 (an unconfirmed 401 keeps its
  // body readable). A failure leaves *request closed.
  // With `resume`, a GET asks for the rest of the document (HttpResume).
  [[nodiscard]] HttpFailure Send(HttpMethod method, const std::wstring& path, void* authOwner, CHttpRequest* request,
                                 const HttpResume* resume = nullptr);
  // Closes the connection and the root handle. Requests must be gone first.
  void Close();
  bool IsOpen() const;
  // A flag whose setting stops the session's own reads of pages and rests
  // (null: none); it outlives the session.
  void WatchAbort(const std::atomic<bool>* abort);
  const std::wstring& Host() const { return host_; }
  // The address of `path` on this session's server, as logs name it
  // ("https://host:port/path"; the port only when it is not the scheme's).
  std::wstring AddressOf(const std::wstring& path) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  HttpScheme scheme_ = HttpScheme::Http;
  const std::atomic<bool>* abort_ = nullptr;
  std::wstring host_;
  std::uint16_t port_ = 0;
};

}  // namespace Platform
