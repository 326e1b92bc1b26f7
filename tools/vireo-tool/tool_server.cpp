#include "tool_server.h"

#include <vector>

#include "platform/file.h"
#include "platform/text.h"
#include "tool_files.h"
#include "tool_http.h"
#include "tool_server_paths.h"

namespace VireoTool {

bool CServerSource::Open(const std::string& location, std::string* error) {
  const std::wstring text = Platform::FromUtf8(location);
  if (text.empty()) {
    *error = "no server given";
    return false;
  }
  const bool looksLikeUrl = text.find(L"://") != std::wstring::npos;
  if (!looksLikeUrl && Platform::IsDirectory(text)) {
    folder_ = text;
    return true;
  }
  std::wstring rest = text;
  if (looksLikeUrl) {
    std::wstring scheme = FoldCase(text.substr(0, text.find(L"://")));
    if (scheme != L"HTTP") {
      *error = "only http:// servers and folders can be read: " + location;
      return false;
    }
    rest = text.substr(text.find(L"://") + 3);
  }
  const std::size_t slash = rest.find(L'/');
  const std::wstring authority = rest.substr(0, slash);
  const std::wstring path = slash == std::wstring::npos ? std::wstring() : rest.substr(slash);
  const std::size_t colon = authority.rfind(L':');
  host_ = authority.substr(0, colon);
  if (colon != std::wstring::npos) {
    unsigned long port = 0;
    const std::wstring digits = authority.substr(colon + 1);
    bool ok = !digits.empty() && digits.size() <= 5;
    for (const wchar_t c : digits) {
      ok = ok && c >= L'0' && c <= L'9';
      if (ok) port = port * 10 + static_cast<unsigned long>(c - L'0');
    }
    if (!ok || port == 0 || port > 65535) {
      *error = "bad port in " + location;
      return false;
    }
    port_ = static_cast<std::uint16_t>(port);
  }
  if (host_.empty()) {
    *error = looksLikeUrl ? "no host in " + location : location + ": no such folder, and not a server address";
    return false;
  }
  // The manifest is requested with the whole address in lower case; the
  // worker keeps the path's case.
  manifestPath_ = path;
  for (wchar_t& c : manifestPath_) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  manifestPath_ += L"/update.xml";
  basePath_ = path.empty() ? L"/" : path;
  return true;
}

std::string CServerSource::Describe() const {
  if (IsFolder()) return Platform::ToUtf8(folder_);
  return Platform::ToUtf8(host_) + ":" + std::to_string(port_);
}

bool CServerSource::Get(const std::wstring& requestPath, bool wantBody, ServerReply* reply, std::string* error) {
  *reply = ServerReply();
  if (!IsFolder()) {
    HttpReply http;
    if (!HttpGet(host_, port_, requestPath, wantBody, &http, error)) return false;
    reply->status = http.status;
    reply->truncated = http.truncated;
    reply->body = std::move(http.body);
    // The updater takes a non-zero Content-Length, else counts the body.
    reply->reportedSize = static_cast<std::uint32_t>(
        http.hasContentLength && http.contentLength != 0 ? http.contentLength : http.bodyLength);
    return true;
  }
  std::vector<std::wstring> segments;
  if (!ResolveServerPath(requestPath, &segments)) {
    reply->status = 400;
    return true;
  }
  const std::wstring path = TreePath(folder_, segments);
  if (!Platform::PathExists(path) || Platform::IsDirectory(path)) {
    reply->status = 404;
    return true;
  }
  if (!wantBody) {
    Platform::CFile file;
    std::uint64_t size = 0;
    if (!file.OpenRead(path) || !file.GetSize(&size)) {
      *error = Platform::ToUtf8(path) + ": cannot be read (" + LastErrorText() + ")";
      return false;
    }
    reply->status = 200;
    reply->reportedSize = static_cast<std::uint32_t>(size);
    return true;
  }
  std::string bytes;
  if (!ReadWholeFile(path, &bytes)) {
    *error = Platform::ToUtf8(path) + ": cannot be read (" + LastErrorText() + ")";
    return false;
  }
  reply->status = 200;
  reply->reportedSize = static_cast<std::uint32_t>(bytes.size());
  reply->body = std::move(bytes);
  return true;
}

}  // namespace VireoTool
