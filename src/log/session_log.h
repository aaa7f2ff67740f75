// The session log: the program's own journal, "Logs\short.log" beside the
// executable, growing from run to run by one time-stamped line per event.
//
// One instance per process, owned by WinMain and passed to the session.
// While open, the file is held for writing (others may only read it), so a
// second copy of the program cannot append to it at the same time.
#pragma once

#include <string>

#include "platform/clock.h"
#include "platform/file.h"

namespace ulmar {

class SessionLog {
 public:
  // Lines are buffered in a write buffer of this size, which reaches the file
  // whenever it fills, after every tenth line and at close.
  static constexpr size_t kBufferSize = 128;
  static constexpr int kLinesPerForcedFlush = 10;

  explicit SessionLog(const RegionalClock& clock) : clock_(clock) {}
  SessionLog(const SessionLog&) = delete;
  SessionLog& operator=(const SessionLog&) = delete;
  // Closes the log at program end; failures are not reported from here.
  ~SessionLog();

  // Opens the log at path for appending, creating it with its header line
  // when there is no file there. Raises Exception on a second call while
  // open and when the file cannot be created; an InOutError when the
  // existing file cannot be opened for appending (the log then stays closed).
  void start_log(const std::string& path);
  // Appends one event line: timestamp + " >>> " + text + CR LF.
  // Raises InOutError when no log is open or the write fails.
  void WriteLog(const std::string& text);
  // Flushes and closes the log if one is open; does nothing otherwise.
  void CloseLog();

  bool IsOpen() const { return !log_file_name_.empty(); }
  const std::string& LogFileName() const { return log_file_name_; }

 private:
  void FlushFullBuffers();
  void Flush();

  const RegionalClock& clock_;
  std::string log_file_name_;
  File file_;
  std::string buffer_;
  int lines_since_flush_ = 0;
};

}  // namespace ulmar
