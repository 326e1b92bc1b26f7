// Helpers shared by the engine's tests: the update log opened on a file of
// the test's own, read back as lines.
#pragma once
#include <string>
#include <vector>

namespace EngineTest {

// Opens the process-wide update log (without time stamps) on `path`, and
// closes it when the object goes away.
class CScopedLog {
 public:
  explicit CScopedLog(const std::wstring& path);
  ~CScopedLog();
  CScopedLog(const CScopedLog&) = delete;
  CScopedLog& operator=(const CScopedLog&) = delete;
  // The lines written so far (UTF-16 units narrowed; non-ASCII becomes '?').
  std::vector<std::string> Lines() const;
  // True when some line equals `line`.
  bool Has(const std::string& line) const;
  // True when some line begins with `prefix`.
  bool HasPrefix(const std::string& prefix) const;

 private:
  std::wstring path_;
};

// ASCII text of a wide string (non-ASCII becomes '?'), for messages.
std::string Narrow(const std::wstring& text);

}  // namespace EngineTest
