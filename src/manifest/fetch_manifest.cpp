#include "manifest/fetch_manifest.h"

#include <string>

#include "app/update_log.h"
#include "engine_resource.h"
#include "manifest/fetch_exception.h"
#include "manifest/trust_formats.h"
#include "platform/clock.h"
#include "platform/http.h"
#include "platform/windows_api.h"
#include "xml/utf8.h"

namespace {

constexpr std::size_t kReadSize = 64 * 1024;

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

std::wstring ToLower(std::wstring text) {
  if (!text.empty()) ::CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

}  // namespace

std::wstring MakeManifestUrl(const std::wstring& serverAddress) {
  const std::wstring url = ToLower(serverAddress + L"/update.xml");
  if (StartsWith(url, L"http://") || StartsWith(url, L"https://") || url.find(L"http://") != std::wstring::npos) {
    return url;
  }
  return L"http://" + url;
}

bool FetchManifest(const std::wstring& serverAddress, const ManifestFetchSettings& settings, std::wstring* text,
                   std::string* bytes) {
  CUpdateLog& log = GetUpdateLog();
  Platform::CHttpSession session;
  Platform::CHttpRequest request;
  try {
    const std::wstring url = MakeManifestUrl(serverAddress);
    Platform::HttpAddress parsed;
    if (!Platform::ParseHttpUrl(url, &parsed)) throw CMyException();

    Platform::HttpTimeouts timeouts;
    timeouts.connectMs = timeouts.sendMs = timeouts.receiveMs = settings.timeoutMs;
    timeouts.pageMs = settings.totalMs;
    // Counted from each response on: the time a person spends in the
    // credentials dialog is not the server's.
    Platform::CTransferDeadline deadline(Platform::GetTickCountMs(), settings.totalMs);
    const auto checkDeadline = [&deadline, &log, &settings] {
      if (!deadline.Expired(Platform::GetTickCountMs())) return;
      log.WriteLog(L"The server did not send the manifest within " + std::to_wstring(settings.totalMs / 1000) + L" s");
      throw CMyException(IDS_HTTPDOWNLOAD_ERROR_READFILE);
    };
    // What the HTTP service refused (a redirect, a password in clear, a page
    // too slow) has a line of its own.
    const auto logRefusal = [&log](const Platform::HttpFailure& failure) {
      if (failure.cause == Platform::HttpCause::kPlatform) return false;
      log.WriteLog(Platform::DescribeHttpFailure(failure));
      return true;
    };
    const Platform::HttpFailure opened = session.Open(settings.agent, parsed, timeouts);
    if (opened) {
      throw CMyException(opened.step == Platform::HttpStep::kOpen ? IDS_HTTPDOWNLOAD_GENERIC_ERROR
                                                                   : IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER);
    }

    // An unconfirmed 401/407 answers with its page, which stands as the
    // manifest text.
    const Platform::HttpFailure sent = session.Send(Platform::HttpMethod::Get, parsed.path, settings.authOwner, &request);
    if (logRefusal(sent)) throw CMyException(IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER);
    deadline = Platform::CTransferDeadline(Platform::GetTickCountMs(), settings.totalMs);
    if (sent.step == Platform::HttpStep::kOpen) throw CMyException(IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER);
    if (sent.step == Platform::HttpStep::kSend) {
      log.WriteLog(L"Failed in call to HttpSendRequest, Error: " + std::to_wstring(sent.code));
      throw CMyException(IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER);
    }
    if (sent.step == Platform::HttpStep::kStatus) throw CMyException(IDS_HTTPDOWNLOAD_INVALID_SERVER_RESPONSE);
    const std::uint32_t status = request.Status();
    if (status != 200 && status != 401 && status != 407) {
      log.WriteLog(L"Failed to retrieve a HTTP 200 status, Status Code: " + std::to_wstring(status));
      throw CMyException(IDS_HTTPDOWNLOAD_INVALID_HTTP_RESPONSE);
    }

    std::uint64_t expected = 0;
    if (!request.ContentLength(&expected)) expected = 0;
    if (expected > kMaxManifestBytes) {
      log.WriteLog(L"The manifest declares " + std::to_wstring(expected) + L" bytes, more than the " +
                   std::to_wstring(kMaxManifestBytes) + L" a manifest may have");
      throw CMyException(IDS_HTTPDOWNLOAD_ERROR_READFILE);
    }
    std::string body;
    body.reserve(static_cast<std::size_t>(expected));
    std::string buffer(kReadSize, '\0');
    Platform::CTransferPace pace(Platform::GetTickCountMs());
    for (;;) {
      std::size_t got = 0;
      if (request.Read(buffer.data(), buffer.size(), &got) != 0) throw CMyException(IDS_HTTPDOWNLOAD_ERROR_READFILE);
      if (got == 0) break;
      if (body.size() + got > kMaxManifestBytes) {
        log.WriteLog(L"The manifest runs past " + std::to_wstring(kMaxManifestBytes) +
                     L" bytes, more than a manifest may have");
        throw CMyException(IDS_HTTPDOWNLOAD_ERROR_READFILE);
      }
      body.append(buffer.data(), got);
      if (!pace.Advance(body.size(), Platform::GetTickCountMs())) {
        log.WriteLog(L"The server sent less than 1 KiB of the manifest in 30 s");
        throw CMyException(IDS_HTTPDOWNLOAD_ERROR_READFILE);
      }
      checkDeadline();
    }
    if (body.size() < expected) {
      // The connection ended early: a cut-off manifest would drop modules.
      log.WriteLog(L"The manifest ended after " + std::to_wstring(body.size()) + L" of its " +
                   std::to_wstring(expected) + L" bytes");
      throw CMyException(IDS_HTTPDOWNLOAD_ERROR_READFILE);
    }
    if (settings.key.RequiresSignatures()) {
      if (status != 200) {
        log.WriteLog(L"The manifest is not trusted: the server answered " + std::to_wstring(status));
        throw CMyException(IDS_HTTPDOWNLOAD_INVALID_HTTP_RESPONSE);
      }
      std::string signature;
      const Platform::HttpFailure signatureSent =
          session.Send(Platform::HttpMethod::Get, SignaturePathOf(parsed.path), settings.authOwner, &request);
      if (logRefusal(signatureSent)) throw CMyException(IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER);
      deadline = Platform::CTransferDeadline(Platform::GetTickCountMs(), settings.totalMs);
      if (signatureSent || request.Status() != 200) {
        log.WriteLog(L"The manifest is not trusted: its signature update.xml.sig is missing");
        throw CMyException(IDS_HTTPDOWNLOAD_ERROR_READFILE);
      }
      for (;;) {
        std::size_t got = 0;
        if (request.Read(buffer.data(), buffer.size(), &got) != 0) throw CMyException(IDS_HTTPDOWNLOAD_ERROR_READFILE);
        if (got == 0) break;
        signature.append(buffer.data(), got);
        if (signature.size() > kMaxSignatureBytes) break;  // no signature is this long: it fails below
        checkDeadline();
      }
      const DocumentTrust trust = VerifyDocumentSignature(settings.key, body, signature);
      if (trust != DocumentTrust::Trusted) {
        log.WriteLog(L"The manifest is not trusted: " + DescribeDocumentTrust(trust));
        throw CMyException(IDS_HTTPDOWNLOAD_ERROR_READFILE);
      }
    }
    *text = Utf8ToWide(std::string_view(body));
    if (bytes) *bytes = std::move(body);
  } catch (const CMyException&) {
    return false;  // the request and the session close as they go out of scope
  }
  return true;
}
