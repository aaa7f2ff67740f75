#include "server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/cp1251.h"
#include "wire/elements.h"
#include "text.h"
#include "verdict.h"

namespace ulmar::server {

using Clock = std::chrono::steady_clock;

void ServerLog::Write(const std::string& line) {
  std::lock_guard lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

std::string LogTime() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

namespace {

std::string PeerName(const sockaddr_in& address) {
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(address.sin_port));
}

// One client's conversation, from accept to close.
class Conversation final : public InventorySink {
 public:
  enum class Phase { Reading, Answering, Waiting };

  Conversation(int fd, std::string peer, ReleaseStore& releases, const ConversationLimits& limits)
      : fd(fd), peer(std::move(peer)), started(Clock::now()), last_progress(started), releases_(releases),
        reader_(*this, limits) {}
  ~Conversation() override { ::close(fd); }

  // Takes received bytes; false when the conversation failed.
  bool Receive(std::string_view bytes) {
    if (phase != Phase::Reading) return true;  // nothing more is expected from the client
    switch (reader_.Feed(bytes)) {
      case InventoryReader::Result::NeedMore:
        return true;
      case InventoryReader::Result::Failed:
        return false;
      case InventoryReader::Result::Done:
        break;
    }
    lists_ = builder_->Finish();
    pending += wire::EncodeServerLists(*lists_);
    phase = Phase::Answering;
    return true;
  }

  const std::string& failure() const { return reader_.failure(); }

  // The conversation's one log line.
  std::string LogLine(const std::string& result) const {
    std::string line = LogTime() + " peer=" + peer;
    if (protocol_id_ && !SameTextCp1251(*protocol_id_, wire::kProtocolId)) line += " protocol=" + Quoted(*protocol_id_);
    line += " suite=" + (suite_ ? Quoted(*suite_) : std::string("-"));
    line += " user=" + (user_ ? Quoted(*user_) : std::string("-"));
    line += " files=" + (file_count_ ? std::to_string(*file_count_) : std::string("-"));
    line += " sources=" + (source_count_ ? std::to_string(*source_count_) : std::string("-"));
    if (lists_) {
      line += " ftp=" + std::to_string(lists_->FtpServers.size()) +
              " foreign=" + std::to_string(lists_->ForeignFiles.size()) +
              " update=" + std::to_string(lists_->UpdateCount) +
              " new_sources=" + std::to_string(lists_->NewDataSources.size()) +
              " delete=" + std::to_string(lists_->FilesToDelete.size());
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    return line + " ms=" + std::to_string(ms) + " result=" + result;
  }

  int fd;
  std::string peer;
  Clock::time_point started;
  Clock::time_point last_progress;
  Phase phase = Phase::Reading;
  std::string pending;  // bytes to send
  size_t sent = 0;
  bool want_write = false;

 private:
  void OnOpening(const std::string& protocol_id) override {
    protocol_id_ = protocol_id;
    pending += wire::EncodeLine(wire::kProtocolId);
  }
  std::string OnSuite(const std::string& suite) override {
    suite_ = suite;
    std::shared_ptr<const Release> release = releases_.Find(suite);
    if (!release) return "unknown suite code";
    builder_.emplace(std::move(release));
    return "";
  }
  void OnUser(const std::string& user) override { user_ = user; }
  void OnFileCount(int32_t count) override { file_count_ = count; }
  void OnFile(uint32_t crc, const std::string& name) override { builder_->AddFile(crc, name); }
  void OnDataSourceCount(int32_t count) override { source_count_ = count; }
  void OnDataSource(const TDBAlias& source) override { builder_->AddDataSource(source); }

  ReleaseStore& releases_;
  InventoryReader reader_;
  std::optional<VerdictBuilder> builder_;
  std::optional<ServerLists> lists_;
  std::optional<std::string> protocol_id_, suite_, user_;
  std::optional<int32_t> file_count_, source_count_;
};

[[noreturn]] void ThrowSystemError(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

// The event loop of one worker thread.
class Worker {
 public:
  Worker(const ServerOptions& options, ReleaseStore& releases, ServerLog& log, int listener, int stop_event,
         int capacity)
      : options_(options), releases_(releases), log_(log), listener_(listener), stop_event_(stop_event),
        capacity_(capacity) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) ThrowSystemError("epoll_create1");
    Watch(stop_event_, EPOLLIN);
    ListenerOn(true);
  }
  ~Worker() {
    conversations_.clear();
    ::close(epoll_);
  }

  void Run() {
    std::vector<epoll_event> events(256);
    auto next_sweep = Clock::now();
    for (;;) {
      if (stopping_ && (conversations_.empty() || Clock::now() >= stop_deadline_)) break;
      int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 500);
      if (n < 0 && errno != EINTR) ThrowSystemError("epoll_wait");
      for (int i = 0; i < n; ++i) {
        int fd = events[i].data.fd;
        if (fd == stop_event_) {
          BeginStop();
        } else if (fd == listener_) {
          Accept();
        } else {
          auto found = conversations_.find(fd);
          if (found != conversations_.end()) Serve(*found->second, events[i].events);
        }
      }
      if (Clock::now() >= next_sweep) {
        Sweep();
        next_sweep = Clock::now() + std::chrono::seconds(1);
      }
    }
    for (auto& [fd, conversation] : conversations_) log_.Write(conversation->LogLine(Failed("server stopped")));
  }

 private:
  void Watch(int fd, uint32_t events) {
    epoll_event e{};
    e.events = events;
    e.data.fd = fd;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e) != 0) ThrowSystemError("epoll_ctl");
  }

  void ListenerOn(bool on) {
    if (on == listening_) return;
    if (on) {
      Watch(listener_, EPOLLIN | EPOLLEXCLUSIVE);
    } else {
      epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_, nullptr);
    }
    listening_ = on;
  }

  void BeginStop() {
    if (stopping_) return;
    stopping_ = true;
    stop_deadline_ = Clock::now() + std::chrono::seconds(options_.grace_s);
    ListenerOn(false);
    // The stop event stays signalled for the other workers.
    epoll_ctl(epoll_, EPOLL_CTL_DEL, stop_event_, nullptr);
  }

  void Accept() {
    while (static_cast<int>(conversations_.size()) < capacity_) {
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
      auto conversation = std::make_unique<Conversation>(fd, PeerName(address), releases_, options_.limits);
      Watch(fd, EPOLLIN);
      conversations_.emplace(fd, std::move(conversation));
    }
    ListenerOn(false);
  }

  void Close(Conversation& c, const std::string& result) {
    log_.Write(c.LogLine(result));
    epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
    conversations_.erase(c.fd);  // closes the socket
    if (!stopping_ && static_cast<int>(conversations_.size()) < capacity_) ListenerOn(true);
  }

  static std::string Failed(const std::string& reason) { return "failed reason=" + Quoted(reason); }

  void Serve(Conversation& c, uint32_t events) {
    if (events & EPOLLIN) {
      // A few blocks at a time, so one fast client cannot starve the rest.
      static thread_local std::vector<char> block(64 * 1024);
      for (int round = 0; round < 16; ++round) {
        ssize_t got = recv(c.fd, block.data(), block.size(), 0);
        if (got > 0) {
          c.last_progress = Clock::now();
          if (!c.Receive(std::string_view(block.data(), static_cast<size_t>(got)))) return Close(c, Failed(c.failure()));
          // The inventory is complete: answer before reading anything else.
          if (c.phase != Conversation::Phase::Reading) break;
          continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (got < 0 && errno == EINTR) continue;
        // The client closed (or reset) the connection.
        if (c.phase == Conversation::Phase::Waiting) return Close(c, "ok");
        std::string why = got == 0 ? "the client closed the connection" : std::string(std::strerror(errno));
        return Close(c, Failed(why + (c.phase == Conversation::Phase::Reading ? " during the inventory" : " during the reply")));
      }
    } else if (events & (EPOLLERR | EPOLLHUP)) {
      return Close(c, c.phase == Conversation::Phase::Waiting ? "ok" : Failed("the connection broke"));
    }
    Send(c);
  }

  void Send(Conversation& c) {
    while (c.sent < c.pending.size()) {
      ssize_t put = send(c.fd, c.pending.data() + c.sent, c.pending.size() - c.sent, MSG_NOSIGNAL);
      if (put < 0 && errno == EINTR) continue;
      if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (put < 0) {
        return Close(c, Failed(std::string(std::strerror(errno)) + " while answering"));
      }
      c.sent += static_cast<size_t>(put);
      c.last_progress = Clock::now();
    }
    if (c.sent == c.pending.size()) {
      c.pending.clear();
      c.sent = 0;
      // The reply is out: the client reads it and closes the connection.
      if (c.phase == Conversation::Phase::Answering) c.phase = Conversation::Phase::Waiting;
    }
    bool want_write = !c.pending.empty();
    if (want_write != c.want_write) {
      epoll_event e{};
      e.events = EPOLLIN | (want_write ? EPOLLOUT : 0u);
      e.data.fd = c.fd;
      epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &e);
      c.want_write = want_write;
    }
  }

  void Sweep() {
    auto now = Clock::now();
    std::vector<std::pair<Conversation*, std::string>> expired;
    for (auto& [fd, c] : conversations_) {
      if (now - c->last_progress > std::chrono::seconds(options_.idle_limit_s)) {
        expired.emplace_back(c.get(), c->phase == Conversation::Phase::Waiting
                                          ? "ok"
                                          : Failed("idle for " + std::to_string(options_.idle_limit_s) + " s"));
      } else if (now - c->started > std::chrono::seconds(options_.conversation_limit_s)) {
        expired.emplace_back(c.get(), Failed("longer than " + std::to_string(options_.conversation_limit_s) + " s"));
      }
    }
    for (auto& [c, result] : expired) Close(*c, result);
    if (!stopping_ && static_cast<int>(conversations_.size()) < capacity_) ListenerOn(true);
  }

  const ServerOptions& options_;
  ReleaseStore& releases_;
  ServerLog& log_;
  int listener_;
  int stop_event_;
  int capacity_;
  int epoll_ = -1;
  bool listening_ = false;
  bool stopping_ = false;
  Clock::time_point stop_deadline_;
  std::map<int, std::unique_ptr<Conversation>> conversations_;
};

}  // namespace

UpdateServer::UpdateServer(ServerOptions options, ReleaseStore& releases, ServerLog& log)
    : options_(std::move(options)), releases_(releases), log_(log) {}

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
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([this, capacity, i, &errors] {
      try {
        Worker(options_, releases_, log_, listener_, stop_event_, capacity).Run();
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
}

}  // namespace ulmar::server
