#include "engine/engine_strings.h"

#include "engine_resource.h"

namespace {

struct StringEntry {
  unsigned id;
  const wchar_t* text;
};

const StringEntry kStrings[] = {
    {IDS_HTTPDOWNLOAD_CONNECTED, L"Connected to %1"},
    {IDS_HTTPDOWNLOAD_RESOLVING_NAME, L"Resolving name: %1"},
    {IDS_HTTPDOWNLOAD_RESOLVED_NAME, L"Resolved name to %1"},
    {IDS_HTTPDOWNLOAD_CONNECTING, L"Connecting to %1"},
    {IDS_HTTPDOWNLOAD_REDIRECTING, L"Redirecting to %1"},
    {IDS_HTTPDOWNLOAD_GETTING_FILE_INFORMATION, L"Getting file information"},
    {IDS_HTTPDOWNLOAD_INVALID_URL, L"An error occurred parsing the url: %s"},
    {IDS_HTTPDOWNLOAD_GENERIC_ERROR, L"An error occurred while attempting to download the file, Error:%1"},
    {IDS_HTTPDOWNLOAD_FAIL_CONNECT_SERVER, L"An error occurred connecting to the server, Error:%1"},
    {IDS_HTTPDOWNLOAD_INVALID_SERVER_RESPONSE, L"Failed to receive a valid response from the server"},
    {IDS_HTTPDOWNLOAD_INVALID_HTTP_RESPONSE, L"Failed to receive a valid HTTP response from the server"},
    {IDS_HTTPDOWNLOAD_ERROR_READFILE, L"An error occurred while downloading the file, Error:%1"},
    {IDS_HTTPDOWNLOAD_PERCENTAGE, L"%1% of %2 Completed"},
    {IDS_HTTPDOWNLOAD_RETRIEVEING_FILE, L"Retrieving the file"},
    {IDS_HTTPDOWNLOAD_OF, L"%1 of %2"},
    {IDS_HTTPDOWNLOAD_SECONDS, L"%1 sec"},
    {IDS_HTTPDOWNLOAD_MINUTES, L"%1 min"},
    {IDS_HTTPDOWNLOAD_MINUTES_AND_SECONDS, L"%1 min %2 sec"},
    {IDS_HTTPDOWNLOAD_BYTES, L"%1 Bytes"},
    {IDS_HTTPDOWNLOAD_FILESTATUS, L"%1 from %2"},
    {IDS_HTTPDOWNLOAD_KILOBYTES, L"%1 KB"},
    {IDS_HTTPDOWNLOAD_MEGABYTES, L"%1 MB"},
    {IDS_HTTPDOWNLOAD_TIMELEFT, L"%1 (%2 copied)"},
    {IDS_HTTPDOWNLOAD_BYTESPERSECOND, L"%1 Bytes/Sec"},
    {IDS_HTTPDOWNLOAD_KILOBYTESPERSECOND, L"%1 KB/Sec"},
    {IDS_HTTPDOWNLOAD_OK_TO_OVERWRITE, L"The file '%1' already exists.\nDo you want to replace it?"},
    {IDS_HTTPDOWNLOAD_FAIL_FILE_OPEN, L"An error occured while opening the file to be downloaded, Error:%1"},
    {IDS_HTTPDOWNLOAD_ABORTING_TRANSFER, L"Aborting transfer"},
    {IDS_UPDATE_LIST_NOT_SIGNED, L"The update list %1 is not signed by the publisher"},
    {IDS_UPDATE_LIST_ENTRY_UNDECLARED, L"The update list %1 names %2 without a valid size and SHA-256"},
};

}  // namespace

const wchar_t* BuiltInEngineString(unsigned id) {
  for (const StringEntry& entry : kStrings) {
    if (entry.id == id) return entry.text;
  }
  return nullptr;
}

std::wstring FillPlaceholders(const std::wstring& pattern, const std::wstring& first, const std::wstring& second) {
  std::wstring out;
  out.reserve(pattern.size() + first.size() + second.size());
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == L'%' && i + 1 < pattern.size() && (pattern[i + 1] == L'1' || pattern[i + 1] == L'2')) {
      out += pattern[i + 1] == L'1' ? first : second;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

std::wstring FormatEngineString(unsigned id, const std::wstring& first, const std::wstring& second) {
  return FillPlaceholders(LoadEngineString(id), first, second);
}
