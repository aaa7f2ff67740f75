// The fleet page: an HTTP listener of its own (cpp-httplib, on its own
// threads, so a busy page never slows a conversation) that serves the
// page's files and a read-only JSON API over the fleet's records, with a
// CSV export of every view. Only GET is answered.
//
//   /                       the page (index.html, app.js, style.css)
//   /api/overview           per-suite counts, sessions per hour, share up to date per day
//   /api/workstations       the workstations, sorted, filtered and paged
//   /api/workstation?id=    one workstation: its state, current files and history
//   /api/drift, /api/foreign, /api/failures
//
// Bound to an address other than loopback it asks for a password (HTTP
// basic authentication against a password file); with a certificate it
// speaks TLS.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "database.h"
#include "recorder.h"

namespace httplib {
class Server;
}

namespace ulmar::server::fleet {

struct PageOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 8091;
  // "user:password" lines; required for an address other than loopback.
  std::string password_file;
  // PEM files; with both, the page is served over TLS.
  std::string certificate_file, key_file;
  int threads = 4;
};

// Whether an IPv4 address is a loopback one (127.0.0.0/8).
bool IsLoopback(const std::string& address);

class FleetPage {
 public:
  using Opener = std::function<std::unique_ptr<Database>()>;
  // recorder (may be null) gives the recording counters.
  FleetPage(PageOptions options, Opener open, const Recorder* recorder);
  ~FleetPage();

  // Reads the password file, binds; raises std::runtime_error when it
  // cannot.
  void Listen();
  // "http://127.0.0.1:8091/" (the port the system chose when 0 was asked).
  std::string url() const;
  // Serves on threads of its own until Stop().
  void Start();
  void Stop();

  // The answer to one GET, for the listener and for tests without one:
  // status, content type, body.
  struct Answer {
    int status = 200;
    std::string type, body;
  };
  using Params = std::function<std::string(const std::string& name)>;
  Answer Get(const std::string& path, const Params& params);

 private:
  class Pool;
  PageOptions options_;
  std::unique_ptr<Pool> pool_;
  const Recorder* recorder_;
  std::unique_ptr<httplib::Server> http_;
  std::string credentials_;  // "user:password" lines as read
  uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace ulmar::server::fleet
