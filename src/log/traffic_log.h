// A traffic log attached to a network connection: one entry per event,
// "Stat Connected.", "Stat Disconnected.", "Sent <time>: <bytes>" per write,
// "Recv <time>: <bytes>" per chunk read. The file is held open from
// activation to program end; others may read it meanwhile but not write it.
#pragma once

#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/file.h"

namespace ulmar {

// The bytes as the log shows them: CR LF as "<EOL>", other CRs as "<CR>",
// other LFs as "<LF>", every other byte unchanged.
std::string EscapeTraffic(std::string_view bytes);

class TrafficLog {
 public:
  explicit TrafficLog(const RegionalClock& clock) : clock_(clock) {}
  TrafficLog(const TrafficLog&) = delete;
  TrafficLog& operator=(const TrafficLog&) = delete;

  // Opens path for appending, creating it when missing. Raises InOutError.
  void Activate(const std::string& path);
  bool Active() const { return file_.IsOpen(); }

  // Entries; each does nothing while the log is not active.
  void Connected();
  void Disconnected();
  void Sent(std::string_view bytes);
  void Received(std::string_view bytes);

 private:
  void Entry(std::string text);
  void Data(const char* kind, std::string_view bytes);

  const RegionalClock& clock_;
  File file_;
};

}  // namespace ulmar
