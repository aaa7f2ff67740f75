// A single-threaded event loop over epoll that knows nothing of what the
// descriptors carry: each watched descriptor has a handler that receives
// the ready events, each periodic timer a callable, and one Dispatch call
// waits for whichever comes first and runs what is ready. One loop per
// thread; nothing here is safe to call from another thread.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace ulmar::server {

// Raises std::runtime_error with what and the text of errno.
[[noreturn]] void ThrowSystemError(const std::string& what);

class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;
  // Receives the ready events (EPOLLIN, EPOLLOUT, EPOLLERR, EPOLLHUP, ...).
  using Handler = std::function<void(uint32_t events)>;

  // Raises std::runtime_error when the system gives no epoll instance.
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Watches fd for the epoll events given (EPOLLIN | EPOLLEXCLUSIVE for a
  // listener that several loops share). Raises std::runtime_error when
  // the system refuses.
  void Add(int fd, uint32_t events, Handler handler);
  // Watches fd for other events; nothing is asked of the system when they
  // are the ones already watched. An EPOLLEXCLUSIVE registration cannot be
  // changed (the system refuses): remove it and add it again.
  void Modify(int fd, uint32_t events);
  // Stops watching fd; call it before closing fd. Safe from any handler,
  // the running one's own included: a handler removed during a dispatch is
  // not run afterwards, and the running one lives until it returns.
  void Remove(int fd);
  bool Watching(int fd) const { return watches_.count(fd) != 0; }

  // Runs action every period, the first time one period from now.
  void Every(std::chrono::milliseconds period, std::function<void()> action);

  // Waits until a descriptor is ready, a timer is due or `longest` has
  // passed, whichever is first; then runs the handlers of the ready
  // descriptors, then the timers that are due.
  void Dispatch(std::chrono::milliseconds longest);

 private:
  struct Watch {
    // What epoll hands back for this registration: the descriptor in the
    // low half, a registration number in the high half, so that an event
    // of a registration removed earlier in the same round is not taken
    // for a new one of the same descriptor.
    uint64_t key;
    uint32_t events;
    Handler handler;
  };
  struct Timer {
    std::chrono::milliseconds period;
    Clock::time_point due;
    std::function<void()> action;
  };

  // Milliseconds epoll_wait may wait: up to `longest`, at most until the
  // next timer is due.
  int WaitMs(std::chrono::milliseconds longest) const;
  void RunDueTimers();

  int epoll_ = -1;
  uint32_t registrations_ = 0;
  std::unordered_map<int, std::shared_ptr<Watch>> watches_;
  std::list<Timer> timers_;  // a list: an action may add a timer while the others run
  std::vector<epoll_event> ready_;
};

}  // namespace ulmar::server
