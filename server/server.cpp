#include "server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <vector>

#include "client_conversation.h"
#include "event_loop.h"

namespace ulmar::server {
namespace {

std::string AddressText(const sockaddr_in& address) {
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, ip, sizeof ip);
  return ip;
}

std::string PeerName(const sockaddr_in& address) {
  return AddressText(address) + ":" + std::to_string(ntohs(address.sin_port));
}

// How many conversations each client address holds, across the workers.
class PeerCounts {
 public:
  explicit PeerCounts(int limit) : limit_(limit) {}
  // False when the address holds its limit already.
  bool Take(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    int& count = counts_[address];
    if (count >= limit_) return false;
    ++count;
    return true;
  }
  void Give(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = counts_.find(address);
    if (it != counts_.end() && --it->second <= 0) counts_.erase(it);
  }

 private:
  const int limit_;
  std::mutex mutex_;
  std::unordered_map<std::string, int> counts_;
};

// A client's socket and the conversation over it; its address's slot is
// given back with it. A connection from a load balancer first reads the
// balancer's PROXY protocol header, and takes its slot once the header has
// said whose connection it is.
struct Connection {
  Connection(int fd, const sockaddr_in& from, ReleaseStore& releases, const ConversationLimits& limits,
             PeerCounts& peers, ReplyBudget& budget, bool keep_names)
      : fd(fd),
        own_address(AddressText(from)),
        accepted(Clock::now()),
        peers(peers),
        conversation(PeerName(from), releases, limits, &budget, keep_names) {}
  ~Connection() {
    // The slot first: a client that sees its connection closed finds its
    // address's slot free when it connects again.
    if (!slot.empty()) peers.Give(slot);
    ::close(fd);
  }

  int fd;
  std::string own_address;  // the socket's peer: a client, or a load balancer
  Clock::time_point accepted;
  std::string slot;         // the address whose per-address count this holds; empty while none
  PeerCounts& peers;
  ClientConversation conversation;
  std::optional<ProxyHeaderReader> header;  // while a balancer's header is awaited
  bool balancer_own = false;  // the header said LOCAL: the balancer's own connection (its health check)
  std::string first_bytes;    // of a connection that sends no header, the first few (a header there is named)
};

// One worker thread: accepts from the shared listener while it has room,
// moves its conversations' bytes through its own event loop, and closes
// each conversation with its one log line.
class Worker {
 public:
  Worker(const ServerOptions& options, ReleaseStore& releases, ServerLog& log, SessionSink* sink, int listener,
         int stop_event, int capacity, PeerCounts& peers, ReplyBudget& budget, std::function<void()> stop_begun)
      : stop_begun_(std::move(stop_begun)),
        options_(options),
        releases_(releases),
        log_(log),
        sink_(sink),
        peers_(peers),
        budget_(budget),
        listener_(listener),
        capacity_(capacity) {
    loop_.Add(stop_event, EPOLLIN, [this, stop_event](uint32_t) { BeginStop(stop_event); });
    ListenerOn(true);
    loop_.Every(std::chrono::seconds(1), [this] { Sweep(); });
  }

  void Run() {
    while (!stopping_ || (!connections_.empty() && Clock::now() < stop_deadline_)) {
      loop_.Dispatch(std::chrono::milliseconds(500));
    }
    // A client that has its whole verdict was served, connection open or not.
    for (auto& [fd, c] : connections_) {
      const bool served = c->conversation.phase() == ClientConversation::Phase::Waiting;
      End(c->conversation, served ? kServed : Failed("server stopped"), c->balancer_own);
    }
  }

 private:
  // The conversation's log line, and its record for the fleet's store: a
  // connection that never sent a byte (a health check's, a port scan's) is
  // no workstation's session and is not recorded. A balancer's own
  // connection that said nothing after its header is its health check,
  // several a second: it has no line either.
  void End(const ClientConversation& conversation, const Outcome& outcome, bool balancer_own = false) {
    if (balancer_own && !conversation.heard()) return;
    log_.Write(conversation.LogLine(outcome));
    if (sink_ && conversation.heard()) sink_->Record(conversation.Record(outcome));
  }

  bool FromBalancer(const sockaddr_in& address) const {
    const uint32_t host_order = ntohl(address.sin_addr.s_addr);
    return std::any_of(options_.proxy_from.begin(), options_.proxy_from.end(),
                       [host_order](const AddressRange& range) { return range.Contains(host_order); });
  }

  std::string PerPeerRefusal() const {
    return "more than " + std::to_string(options_.per_peer_limit) + " conversations from this address at once";
  }

  void ListenerOn(bool on) {
    if (on == loop_.Watching(listener_)) return;
    if (on) {
      loop_.Add(listener_, EPOLLIN | EPOLLEXCLUSIVE, [this](uint32_t) { Accept(); });
    } else {
      loop_.Remove(listener_);
    }
  }

  // Takes the listener back while there is room (after a pause for want
  // of descriptors, too).
  void ResumeAccepting() {
    if (!stopping_ && static_cast<int>(connections_.size()) < capacity_) ListenerOn(true);
  }

  void BeginStop(int stop_event) {
    stopping_ = true;
    stop_deadline_ = Clock::now() + std::chrono::seconds(options_.grace_s);
    // Clients the system has already taken in are served; then this worker
    // takes no more.
    if (loop_.Watching(listener_)) Accept();
    ListenerOn(false);
    // The stop event stays signalled for the other workers.
    loop_.Remove(stop_event);
    stop_begun_();
  }

  void Accept() {
    while (static_cast<int>(connections_.size()) < capacity_) {
      sockaddr_in address{};
      socklen_t length = sizeof address;
      int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          // Out of descriptors: rest a second, the queue keeps the clients.
          log_.Write(LogTime() + " accept: " + std::strerror(errno) + "; pausing");
          ListenerOn(false);
        }
        return;
      }
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      const bool from_balancer = FromBalancer(address);
      // A balancer's connection takes its slot once its header has said
      // whose it is.
      if (!from_balancer && !peers_.Take(AddressText(address))) {
        // One host may not take every slot: refused at once, with its line.
        ClientConversation refused(PeerName(address), releases_, options_.limits);
        End(refused, Failed(PerPeerRefusal()));
        ::close(fd);
        continue;
      }
      auto connection =
          std::make_unique<Connection>(fd, address, releases_, options_.limits, peers_, budget_, sink_ != nullptr);
      Connection* c = connection.get();
      if (from_balancer) {
        c->header.emplace();
      } else {
        c->slot = c->own_address;
      }
      loop_.Add(fd, EPOLLIN, [this, c](uint32_t events) { Serve(*c, events); });
      connections_.emplace(fd, std::move(connection));
    }
    ListenerOn(false);
  }

  void Close(Connection& c, const Outcome& outcome) {
    End(c.conversation, outcome, c.balancer_own);
    int fd = c.fd;
    loop_.Remove(fd);
    connections_.erase(fd);  // closes the socket
    ResumeAccepting();
  }

  void Serve(Connection& c, uint32_t events) {
    if (events & EPOLLIN) {
      // A few blocks at a time, so one fast client cannot starve the rest.
      static thread_local std::vector<char> block(64 * 1024);
      for (int round = 0; round < 16; ++round) {
        ssize_t got = recv(c.fd, block.data(), block.size(), 0);
        if (got > 0) {
          std::string_view bytes(block.data(), static_cast<size_t>(got));
          if (c.header) {
            switch (c.header->Feed(bytes)) {
              case ProxyHeaderReader::Result::NeedMore:
                continue;
              case ProxyHeaderReader::Result::Malformed:
                return Close(c, Failed(c.header->failure()));
              case ProxyHeaderReader::Result::Done:
                break;
            }
            bytes.remove_prefix(c.header->used());
            if (!TakeRelayedSlot(c)) return;
            if (bytes.empty()) continue;
          } else if (c.first_bytes.size() < kProxySignature.size()) {
            c.first_bytes.append(bytes.substr(0, kProxySignature.size() - c.first_bytes.size()));
          }
          if (!c.conversation.Receive(bytes)) {
            // A header from an address that is no balancer of ours says
            // so, rather than "the opening is 168626701".
            if (BeginsLikeProxyHeader(c.first_bytes)) {
              return Close(c, Failed("a PROXY protocol header from an address not in --proxy-from"));
            }
            return Close(c, Failed(c.conversation.failure()));
          }
          // The inventory is complete: answer before reading anything else.
          if (c.conversation.phase() != ClientConversation::Phase::Reading) break;
          continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (got < 0 && errno == EINTR) continue;
        // The client closed (or reset) the connection.
        const std::string why = got == 0 ? "the client closed the connection" : std::string(std::strerror(errno));
        if (c.header) return Close(c, Failed(why + " before its PROXY protocol header was whole"));
        return Close(c, c.conversation.ClientLeft(why));
      }
    } else if (events & (EPOLLERR | EPOLLHUP)) {
      if (c.header) return Close(c, Failed("the connection broke before its PROXY protocol header was whole"));
      return Close(c, c.conversation.ConnectionBroke());
    }
    Send(c);
  }

  // The balancer's header is whole: the client it names (or, for LOCAL,
  // the balancer itself) is the peer from now on and takes its slot. False
  // when the connection was closed for want of one.
  bool TakeRelayedSlot(Connection& c) {
    std::string address = c.own_address;
    if (c.header->local()) {
      c.balancer_own = true;
    } else {
      address = c.header->address();
      c.conversation.SetPeer(c.header->peer());
    }
    c.header.reset();
    if (!peers_.Take(address)) {
      Close(c, Failed(PerPeerRefusal()));
      return false;
    }
    c.slot = std::move(address);
    return true;
  }

  void Send(Connection& c) {
    std::string_view out;
    while (!(out = c.conversation.Outgoing()).empty()) {
      ssize_t put = send(c.fd, out.data(), out.size(), MSG_NOSIGNAL);
      if (put < 0 && errno == EINTR) continue;
      if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (put < 0) return Close(c, Failed(std::string(std::strerror(errno)) + " while answering"));
      c.conversation.Sent(static_cast<size_t>(put));
    }
    loop_.Modify(c.fd, EPOLLIN | (c.conversation.Outgoing().empty() ? 0u : EPOLLOUT));
  }

  // Once a second: closes the conversations that went silent or lasted too
  // long.
  void Sweep() {
    auto now = Clock::now();
    std::vector<std::pair<Connection*, Outcome>> expired;
    for (auto& [fd, c] : connections_) {
      // The balancer's header counts against the time for the identity.
      if (c->header && now - c->accepted > std::chrono::seconds(options_.identity_limit_s)) {
        expired.emplace_back(c.get(), Failed("no PROXY protocol header within " +
                                             std::to_string(options_.identity_limit_s) + " s"));
        continue;
      }
      auto result = c->conversation.Overstayed(now, std::chrono::seconds(options_.idle_limit_s),
                                               std::chrono::seconds(options_.conversation_limit_s),
                                               std::chrono::seconds(options_.identity_limit_s));
      if (result) expired.emplace_back(c.get(), std::move(*result));
    }
    for (auto& [c, result] : expired) Close(*c, result);
    ResumeAccepting();
  }

  std::function<void()> stop_begun_;
  const ServerOptions& options_;
  ReleaseStore& releases_;
  ServerLog& log_;
  SessionSink* sink_;
  PeerCounts& peers_;
  ReplyBudget& budget_;
  int listener_;
  int capacity_;
  bool stopping_ = false;
  Clock::time_point stop_deadline_;
  EventLoop loop_;  // before the connections: they close their sockets first
  std::map<int, std::unique_ptr<Connection>> connections_;
};

}  // namespace

UpdateServer::UpdateServer(ServerOptions options, ReleaseStore& releases, ServerLog& log, SessionSink* sink)
    : options_(std::move(options)), releases_(releases), log_(log), sink_(sink) {}

UpdateServer::~UpdateServer() {
  if (listener_ >= 0) ::close(listener_);
  if (stop_event_ >= 0) ::close(stop_event_);
}

void UpdateServer::Listen() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  if (inet_pton(AF_INET, options_.address.c_str(), &address.sin_addr) != 1) {
    throw std::runtime_error("not an IPv4 address: " + options_.address);
  }
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener_ < 0) ThrowSystemError("socket");
  int one = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ThrowSystemError("cannot listen on " + options_.address + ":" + std::to_string(options_.port));
  }
  if (listen(listener_, SOMAXCONN) != 0) ThrowSystemError("listen");
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  stop_event_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_event_ < 0) ThrowSystemError("eventfd");
}

void UpdateServer::Run() {
  int threads = std::max(1, options_.threads);
  int capacity = std::max(1, options_.max_connections / threads);
  std::vector<std::thread> workers;
  std::vector<std::string> errors(threads);
  PeerCounts peers(std::max(1, options_.per_peer_limit));
  ReplyBudget budget(options_.max_unsent_reply_bytes);
  running_workers_ = threads;
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([this, capacity, i, &errors, &peers, &budget] {
      try {
        Worker(options_, releases_, log_, sink_, listener_, stop_event_, capacity, peers, budget, [this] {
          std::lock_guard lock(stop_mutex_);
          ++stops_begun_;
          stop_begun_.notify_all();
        }).Run();
      } catch (const std::exception& e) {
        errors[i] = e.what();
        Stop();
      }
    });
  }
  for (std::thread& t : workers) t.join();
  for (const std::string& e : errors) {
    if (!e.empty()) throw std::runtime_error(e);
  }
}

void UpdateServer::Stop() {
  uint64_t one = 1;
  if (stop_event_ >= 0) (void)!write(stop_event_, &one, sizeof one);
  // Once every worker has taken in the clients already queued, new ones are
  // refused rather than left waiting in the listen queue through the grace
  // period: a load balancer's health check then sees the server go, and
  // the clients go to another.
  {
    std::unique_lock lock(stop_mutex_);
    stop_begun_.wait_for(lock, std::chrono::seconds(2), [this] { return stops_begun_ >= running_workers_; });
  }
  if (listener_ >= 0) shutdown(listener_, SHUT_RDWR);
}

}  // namespace ulmar::server
