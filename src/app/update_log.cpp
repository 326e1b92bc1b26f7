#include "app/update_log.h"

#include <cstdio>
#include <vector>

#include "platform/clock.h"

CUpdateLog& GetUpdateLog() {
  static CUpdateLog log;
  return log;
}

std::wstring FormatLogTimestamp() {
  const Platform::SystemTime t = Platform::GetLocalTimeNow();
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%02d-%02d-%02d %02d:%02d:%02d:%03d", t.year, t.month, t.day, t.hour,
                t.minute, t.second, t.milliseconds);
  return std::wstring(buffer, buffer + std::char_traits<char>::length(buffer));
}

bool CUpdateLog::OpenLog(const std::wstring& path, bool timeStamps) {
  const std::lock_guard<std::mutex> lock(mutex_);
  timeStamps_ = timeStamps;
  if (!file_.Create(path, Platform::kShareRead | Platform::kShareWrite)) return false;
  // Handed to the system, as every line is: forcing the new file to the
  // disk made the run wait for whatever else the disk was writing (over
  // 100 ms after a large copy), and a process that dies loses nothing the
  // system holds.
  static const unsigned char kByteOrderMark[2] = {0xFF, 0xFE};
  (void)file_.Write(kByteOrderMark, sizeof kByteOrderMark);
  return true;
}

void CUpdateLog::WriteLog(const std::wstring& text) {
  // Held from the time stamp to the write, so the stamps of lines from two
  // threads rise in file order.
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!file_.IsOpen()) return;
  std::wstring line;
  if (timeStamps_) line = L"[" + FormatLogTimestamp() + L"] ";
  // Every line is one line: a control character (a name from the server may
  // carry CR or LF) is written escaped, so no text can begin a line of its own.
  for (wchar_t unit : text) {
    if (unit == L'\r') {
      line += L"\\r";
    } else if (unit == L'\n') {
      line += L"\\n";
    } else if (unit < 0x20 || unit == 0x7F) {
      static const wchar_t kHex[] = L"0123456789ABCDEF";
      line += L"\\x";
      line += kHex[(unit >> 4) & 0xF];
      line += kHex[unit & 0xF];
    } else {
      line += unit;
    }
  }
  line += L"\r\n";
  std::vector<unsigned char> bytes;
  bytes.reserve(line.size() * 2);
  for (wchar_t unit : line) {
    const auto u = static_cast<std::uint32_t>(unit);
    bytes.push_back(static_cast<unsigned char>(u & 0xFF));
    bytes.push_back(static_cast<unsigned char>((u >> 8) & 0xFF));
  }
  // Written straight to the system, so other processes read the line at
  // once; forcing it to the disk as well would cost a disk flush per line.
  (void)file_.Write(bytes.data(), bytes.size());
}

void CUpdateLog::CloseLog() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (file_.IsOpen()) (void)file_.Flush();
  file_.Close();
}
