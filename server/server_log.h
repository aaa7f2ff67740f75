// The server's log: one line per entry, each stamped with the local time.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace ulmar::server {

// One line per entry, written whole and flushed; safe from any thread.
class ServerLog {
 public:
  explicit ServerLog(FILE* out) : out_(out) {}
  void Write(const std::string& line);

 private:
  FILE* out_;
  std::mutex mutex_;
};

// "2026-12-10 16:09:16", local time.
std::string LogTime();

}  // namespace ulmar::server
