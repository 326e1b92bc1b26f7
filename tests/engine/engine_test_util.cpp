#include "engine/engine_test_util.h"

#include <algorithm>

#include "app/update_log.h"
#include "common/test_files.h"

namespace EngineTest {

CScopedLog::CScopedLog(const std::wstring& path) : path_(path) { GetUpdateLog().OpenLog(path, false); }

CScopedLog::~CScopedLog() { GetUpdateLog().CloseLog(); }

std::vector<std::string> CScopedLog::Lines() const {
  std::string bytes;
  std::vector<std::string> lines;
  if (!TestFiles::ReadBytes(path_, &bytes)) return lines;
  std::string text;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    const unsigned unit = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    text += unit < 0x80 ? static_cast<char>(unit) : '?';
  }
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

bool CScopedLog::Has(const std::string& line) const {
  const auto lines = Lines();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool CScopedLog::HasPrefix(const std::string& prefix) const {
  for (const auto& line : Lines()) {
    if (line.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += (c > 0 && c < 0x80) ? static_cast<char>(c) : '?';
  return out;
}

}  // namespace EngineTest
