#include "log/traffic_log.h"

#include "log/timestamp.h"

namespace ulmar {

std::string EscapeTraffic(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 16);
  for (size_t i = 0; i < bytes.size(); ++i) {
    char c = bytes[i];
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      out += "<EOL>";
      ++i;
    } else if (c == '\r') {
      out += "<CR>";
    } else if (c == '\n') {
      out += "<LF>";
    } else {
      out += c;
    }
  }
  return out;
}

void TrafficLog::Activate(const std::string& path) { file_ = File::OpenOrCreateForAppend(path); }

void TrafficLog::Connected() { Entry("Stat Connected."); }

void TrafficLog::Disconnected() { Entry("Stat Disconnected."); }

void TrafficLog::Sent(std::string_view bytes) { Data("Sent ", bytes); }

void TrafficLog::Received(std::string_view bytes) { Data("Recv ", bytes); }

void TrafficLog::Data(const char* kind, std::string_view bytes) {
  if (!Active()) return;
  Entry(kind + TimestampNow(clock_) + ": " + EscapeTraffic(bytes));
}

void TrafficLog::Entry(std::string text) {
  if (!Active()) return;
  text += "\r\n";
  file_.Write(text);
}

}  // namespace ulmar
