// A scripted TCP peer on 127.0.0.1 for tests of the network layer: it
// listens on a free port, accepts one connection and plays its script on a
// thread of its own, recording what it received.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/connection.h"

namespace ulmar::testing {

#ifdef MSG_NOSIGNAL
inline constexpr int kNoSignal = MSG_NOSIGNAL;  // a closed peer is an error, not a signal
#else
inline constexpr int kNoSignal = 0;
#endif

// Limits short enough for tests of waits and time-outs.
inline NetworkLimits ShortLimits() {
  NetworkLimits limits;
  limits.connect_timeout_ms = 600;
  limits.connect_slice_ms = 50;
  limits.wait_slice_ms = 50;
  limits.inactivity_limit_ms = 400;
  return limits;
}

#ifdef _WIN32
using RawSocket = SOCKET;
inline void CloseRaw(RawSocket s) { closesocket(s); }
#else
using RawSocket = int;
inline void CloseRaw(RawSocket s) { ::close(s); }
#endif

// Listens on 127.0.0.1 at a free port (backlog as given).
inline RawSocket ListenLoopback(uint16_t* port, int backlog = 4) {
  ulmar::StartSockets();
  RawSocket s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  ::listen(s, backlog);
#ifdef _WIN32
  int length = sizeof sa;
#else
  socklen_t length = sizeof sa;
#endif
  ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &length);
  *port = ntohs(sa.sin_port);
  return s;
}

// A port on which nothing listens.
inline uint16_t ClosedPort() {
  uint16_t port = 0;
  CloseRaw(ListenLoopback(&port));
  return port;
}

class ScriptedPeer {
 public:
  // What the peer does once a client is connected, step after step.
  struct Step {
    enum Kind { Send, Receive, ReceiveLines, ReceiveAll, UntilClientWaits, Pause, Close, Reset } kind;
    std::string bytes;  // Send: what to send; Receive: size as bytes.size()
    int lines = 0;      // ReceiveLines: how many; Pause: milliseconds
  };
  static Step Send(std::string bytes) { return {Step::Send, std::move(bytes)}; }
  static Step Receive(size_t count) { return {Step::Receive, std::string(count, '\0')}; }
  static Step ReceiveLines(int count) { return {Step::ReceiveLines, {}, count}; }
  // Everything until the client closes.
  static Step ReceiveAll() { return {Step::ReceiveAll, {}}; }
  // Until the client has taken everything sent so far and waits for more:
  // two of its ClientWaits calls after this step began (the second follows a
  // wait that started when the bytes sent were already there, so nothing
  // sent before is still unread). What is sent next arrives on its own.
  static Step UntilClientWaits() { return {Step::UntilClientWaits, {}}; }
  // Says nothing for ms milliseconds: for limits that are about time itself.
  static Step Pause(int ms) { return {Step::Pause, {}, ms}; }
  static Step Close() { return {Step::Close, {}}; }
  static Step Reset() { return {Step::Reset, {}}; }

  explicit ScriptedPeer(std::vector<Step> script) : script_(std::move(script)) {
    listener_ = ListenLoopback(&port_);
    thread_ = std::thread([this] { Play(); });
  }
  ~ScriptedPeer() {
    thread_.join();
    CloseRaw(listener_);
  }
  uint16_t Port() const { return port_; }
  // Called from the client's idle callback: it waits for data.
  void ClientWaits() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++client_waits_;
    changed_.notify_all();
  }
  // Blocks until the script has ended and the connection is closed (at most
  // a few seconds, so a script that never ends fails its test instead of
  // hanging it).
  void WaitUntilClosed() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [this] { return closed_; });
  }
  // Everything received up to now.
  std::string Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  void Play() {
    PlayOn(::accept(listener_, nullptr, nullptr));
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }

  // Whether the client has closed its end (an orderly close is waiting).
  static bool ClientClosed(RawSocket s) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval now{0, 0};
    if (::select(static_cast<int>(s) + 1, &readable, nullptr, nullptr, &now) <= 0) return false;
    char c;
    return ::recv(s, &c, 1, MSG_PEEK) <= 0;
  }

  // Plays the script on the accepted connection and closes it.
  void PlayOn(RawSocket s) {
    for (const Step& step : script_) {
      switch (step.kind) {
        case Step::Send:
          // A client that has gone ends the script.
          if (::send(s, step.bytes.data(), static_cast<int>(step.bytes.size()), kNoSignal) < 0) {
            CloseRaw(s);
            return;
          }
          break;
        case Step::Receive: {
          size_t want = step.bytes.size();
          char buffer[4096];
          while (want > 0) {
            int n = static_cast<int>(::recv(s, buffer, static_cast<int>(std::min(want, sizeof buffer)), 0));
            if (n <= 0) break;
            std::lock_guard<std::mutex> lock(mutex_);
            received_.append(buffer, n);
            want -= n;
          }
          break;
        }
        case Step::ReceiveLines: {
          // One byte at a time, so nothing beyond the last line is taken.
          int lines = step.lines;
          char c;
          while (lines > 0 && ::recv(s, &c, 1, 0) == 1) {
            std::lock_guard<std::mutex> lock(mutex_);
            received_ += c;
            if (c == '\n') --lines;
          }
          break;
        }
        case Step::ReceiveAll: {
          char buffer[4096];
          for (;;) {
            int n = static_cast<int>(::recv(s, buffer, sizeof buffer, 0));
            if (n <= 0) break;
            std::lock_guard<std::mutex> lock(mutex_);
            received_.append(buffer, n);
          }
          break;
        }
        case Step::UntilClientWaits: {
          // Looked at every 50 ms: a client that has closed the connection
          // waits no more, and ends the script.
          std::unique_lock<std::mutex> lock(mutex_);
          const int from = client_waits_;
          for (int i = 0; i < 200 && client_waits_ < from + 2; ++i) {
            changed_.wait_for(lock, std::chrono::milliseconds(50), [&] { return client_waits_ >= from + 2; });
            if (client_waits_ < from + 2 && ClientClosed(s)) {
              lock.unlock();
              CloseRaw(s);
              return;
            }
          }
          break;
        }
        case Step::Pause:
          std::this_thread::sleep_for(std::chrono::milliseconds(step.lines));
          break;
        case Step::Reset: {
          linger l{1, 0};
          ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
          CloseRaw(s);
          return;
        }
        case Step::Close:
          CloseRaw(s);
          return;
      }
    }
    CloseRaw(s);
  }

  std::vector<Step> script_;
  RawSocket listener_;
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string received_;
  int client_waits_ = 0;
  bool closed_ = false;
};

}  // namespace ulmar::testing
