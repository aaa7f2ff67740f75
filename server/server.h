// The update server's network side: one listening socket shared by a few
// worker threads, each running its own event loop (epoll) over its own
// connections. A conversation costs a few kilobytes: the inventory is
// judged record by record as it arrives (verdict.h) and never held whole.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "conversation.h"
#include "proxy_header.h"
#include "release.h"
#include "server_log.h"
#include "session_record.h"

namespace ulmar::server {

struct ServerOptions {
  std::string address = "0.0.0.0";
  uint16_t port = 8090;
  int threads = 2;
  // Connections served at once; more wait in the listen queue.
  int max_connections = 4096;
  // Seconds a conversation may go without a byte in either direction (the
  // client scans its whole installation between its identity and its
  // inventory), the longest a whole conversation may last, and how long
  // in-flight conversations may still finish after a stop.
  int idle_limit_s = 300;
  int conversation_limit_s = 900;
  int grace_s = 10;
  // Conversations one address may hold at once (a workstation holds one;
  // a misbehaving host must not take every slot), and the seconds a client
  // has for its opening and identity (it sends them before anything else,
  // so a connection that trickles bytes cannot hold a slot until the idle
  // and whole-conversation limits).
  int per_peer_limit = 32;
  int identity_limit_s = 15;
  // Load balancers: a connection from one of these addresses must begin
  // with a PROXY protocol header (version 2), within the identity limit;
  // the client's address it carries is the peer's for everything (log
  // line, record, per-address limit). Other connections send none.
  std::vector<AddressRange> proxy_from;
  // The reply bytes all conversations may hold unsent; a conversation whose
  // reply would pass it is closed with a reason (its client tries again at
  // its next log-on).
  size_t max_unsent_reply_bytes = 256u << 20;
  ConversationLimits limits;
};

class UpdateServer {
 public:
  // The sink, when given, takes every conversation's record as it closes.
  UpdateServer(ServerOptions options, ReleaseStore& releases, ServerLog& log, SessionSink* sink = nullptr);
  ~UpdateServer();

  // Binds and listens; raises std::runtime_error when it cannot.
  void Listen();
  // The port listened on (the one chosen by the system when 0 was asked).
  uint16_t port() const { return port_; }
  // Serves until Stop(); returns when every worker has ended.
  void Run();
  // Stops accepting: the clients already queued are taken in, then new ones
  // are refused; conversations in flight get the grace period. Safe from
  // any thread; returns once new clients are refused.
  void Stop();

 private:
  ServerOptions options_;
  ReleaseStore& releases_;
  ServerLog& log_;
  SessionSink* sink_;
  int listener_ = -1;
  int stop_event_ = -1;
  uint16_t port_ = 0;
  std::mutex stop_mutex_;
  std::condition_variable stop_begun_;
  int stops_begun_ = 0;       // workers that have begun to stop
  std::atomic<int> running_workers_{0};
};

}  // namespace ulmar::server
