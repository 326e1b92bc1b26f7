// The process-wide update log: a UTF-16LE text file with a byte-order mark,
// one line per event, every line flushed at once so that the file is complete
// up to the last line if the process dies.
#pragma once
#include <memory>
#include <mutex>
#include <string>

#include "platform/file.h"

class CUpdateLog {
 public:
  // Creates (empties) the file at path, remembers whether lines get a time
  // stamp, writes the byte-order mark and flushes. False when the file could
  // not be created; the log then stays without a file.
  bool OpenLog(const std::wstring& path, bool timeStamps);
  // Appends "[stamp] text" (or "text") and CR LF, handed to the system at
  // once (readable by other processes; on the disk by CloseLog). Control
  // characters in text are written escaped ("\r", "\n", "\xHH"). Does nothing
  // when the log has no file. Write failures are not reported. Any thread:
  // lines from two threads never mix.
  void WriteLog(const std::wstring& text);
  // Closes the file; later WriteLog calls are dropped.
  void CloseLog();
  bool IsOpen() const { return file_.IsOpen(); }

 private:
  std::mutex mutex_;  // guards file_ while lines are written
  Platform::CFile file_;
  bool timeStamps_ = false;
};

// The one log of the process, created without a file on first use. Used by
// the main thread before and after the update dialog and by the worker
// thread (and the thread that unpacks what it staged) while it runs.
CUpdateLog& GetUpdateLog();

// The local time as "YYYY-MM-DD hh:mm:ss:mmm".
std::wstring FormatLogTimestamp();
