#include "engine/server_connection.h"

#include "engine/engine_log.h"
#include "engine/engine_strings.h"
#include "engine_resource.h"
#include "platform/clock.h"

namespace {

constexpr std::uint32_t kStatusOk = 200;

}  // namespace

CServerConnection::CServerConnection(std::wstring address, IUpdateProgress& progress, const std::atomic<bool>& abort)
    : address_(std::move(address)), progress_(progress), abort_(abort) {}

void CServerConnection::SetTimeoutsForTesting(std::uint32_t connect, std::uint32_t send, std::uint32_t receive) {
  timeouts_.connectMs = connect;
  timeouts_.sendMs = send;
  timeouts_.receiveMs = receive;
}

std::wstring CServerConnection::OpenConnection() {
  // The address keeps its scheme: an https server is asked for everything
  // over TLS.
  const std::wstring url = Platform::HasHttpScheme(address_) ? address_ : L"http://" + address_;
  Platform::HttpAddress parsed;
  if (!Platform::ParseHttpUrl(url, &parsed)) return L"Failed to parse the URL: " + url;
  basePath_ = parsed.path;
  CheckAbort();
  session_.WatchAbort(&abort_);
  const Platform::HttpFailure failure = session_.Open(L"Updater", parsed, timeouts_);
  if (failure) {
    return ReportError(failure.step == Platform::HttpStep::kOpen ? IDS_HTTPDOWNLOAD_GENERIC_ERROR
                                                                  : IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER,
                       failure.code)
        .error;
  }
  CheckAbort();
  return {};
}

void CServerConnection::CloseConnection() { session_.Close(); }

FetchResult CServerConnection::Send(Platform::HttpMethod method, const std::wstring& object,
                                    Platform::CHttpRequest* request, const Platform::HttpResume* resume) {
  CheckAbort();
  Platform::HttpFailure failure;
  {
    CServerWait wait(serverWaits_.get(), CServerWaits::Kind::kResponse, Platform::GetTickCountMs());
    failure = session_.Send(method, object, progress_.AuthOwner(), request, resume);
  }
  // A Send that a cancel cut short is the cancel.
  if (failure) CheckAbort();
  if (failure && failure.cause != Platform::HttpCause::kPlatform) {
    // Refused by the service itself (a redirect off the server or out of
    // https, a password that would travel in clear): its own line.
    Log(Platform::DescribeHttpFailure(failure));
    return ReportError(IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER, failure.code);
  }
  switch (failure.step) {
    case Platform::HttpStep::kNone:
      return {};
    case Platform::HttpStep::kOpen:
      Log(L"DownloadFile : Failed in call to HttpOpenRequest, Error:" + std::to_wstring(failure.code));
      return ReportError(IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER, failure.code);
    case Platform::HttpStep::kSend:
      Log(L"Failed in call to HttpSendRequest, Error:" + std::to_wstring(failure.code));
      return ReportError(IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER, failure.code);
    case Platform::HttpStep::kStatus:
      break;
  }
  Log(L"Failed in call to HttpQueryInfo for HTTP query status code, Error:" + std::to_wstring(failure.code));
  return FetchResult::Failure(LoadEngineString(IDS_HTTPDOWNLOAD_INVALID_SERVER_RESPONSE));
}

Platform::ErrorCode CServerConnection::ReadBody(Platform::CHttpRequest& request, void* buffer, std::size_t capacity,
                                               std::size_t* got) {
  // Blocks that fill are for a run whose window bounds each wait; a run
  // without one reads what is at hand, which never waits past the receive
  // timeout.
  if (!serverWaits_) return request.Read(buffer, capacity, got);
  CServerWait wait(serverWaits_.get(), CServerWaits::Kind::kBody, Platform::GetTickCountMs());
  return request.ReadBlock(buffer, capacity, got);
}

FetchResult CServerConnection::FetchSmallDocument(const std::wstring& path, std::size_t cap, std::string* bytes,
                                                  bool* found) {
  *found = false;
  bytes->clear();
  Platform::CHttpRequest request;
  if (FetchResult sent = Send(Platform::HttpMethod::Get, path, &request); sent.Failed()) return sent;
  if (request.Status() != kStatusOk) return {};
  char piece[4096];
  const std::uint32_t start = Platform::GetTickCountMs();
  Platform::CTransferPace pace(start);
  const Platform::CTransferDeadline deadline(start);
  for (;;) {
    CheckAbort();
    std::size_t got = 0;
    if (ReadBody(request, piece, sizeof piece, &got) != 0) return {};
    if (got == 0) break;
    if (bytes->size() + got > cap) return {};
    bytes->append(piece, got);
    const std::uint32_t now = Platform::GetTickCountMs();
    if (!pace.Advance(bytes->size(), now) || deadline.Expired(now)) return {};
  }
  std::uint64_t length = 0;
  if (request.ContentLength(&length) && length != bytes->size()) return {};
  *found = true;
  return {};
}
