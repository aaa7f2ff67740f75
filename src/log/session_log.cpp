#include "log/session_log.h"

#include "base/errors.h"
#include "log/timestamp.h"

namespace ulmar {

SessionLog::~SessionLog() {
  try {
    CloseLog();
  } catch (...) {
    // Nothing can be reported at destruction; what reached the buffer is lost.
  }
}

void SessionLog::start_log(const std::string& path) {
  if (IsOpen()) {
    throw Exception("unServerLog.start_log: Одновременно можно открыть только одну копию журнала.");
  }
  if (!FileExists(path)) {
    try {
      File created = File::CreateForWrite(path);
      created.Write("*** Журнал создан " + TimestampNow(clock_) + "\r\n");
      created.Close();
    } catch (const Exception&) {
      throw Exception("unServerLog.start_log: Не удаётся создать журнала (" + path + ").");
    }
  }
  log_file_name_ = path;
  try {
    file_ = File::OpenForAppend(path);
  } catch (...) {
    // The log is not open when its file could not be opened: later lines fail
    // as on a closed log and the close at program end has nothing to do.
    log_file_name_.clear();
    throw;
  }
  buffer_.clear();
  buffer_.reserve(kBufferSize);
  lines_since_flush_ = 0;
}

void SessionLog::WriteLog(const std::string& text) {
  if (!file_.IsOpen()) throw InOutError("Журнал не открыт");
  buffer_ += TimestampNow(clock_);
  buffer_ += " >>> ";
  buffer_ += text;
  buffer_ += "\r\n";
  FlushFullBuffers();
  if (++lines_since_flush_ >= kLinesPerForcedFlush) {
    lines_since_flush_ = 0;
    Flush();
  }
}

void SessionLog::CloseLog() {
  if (!IsOpen()) return;
  // The log counts as closed even when the last write fails, so the close at
  // program end does not fail a second time on the same file.
  log_file_name_.clear();
  lines_since_flush_ = 0;
  std::string pending;
  pending.swap(buffer_);
  File file = std::move(file_);
  file.Write(pending);
  file.Close();
}

void SessionLog::FlushFullBuffers() {
  size_t full = buffer_.size() - buffer_.size() % kBufferSize;
  if (full == 0) return;
  file_.Write(std::string_view(buffer_).substr(0, full));
  buffer_.erase(0, full);
}

void SessionLog::Flush() {
  if (buffer_.empty()) return;
  file_.Write(buffer_);
  buffer_.clear();
}

}  // namespace ulmar
