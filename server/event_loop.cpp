#include "event_loop.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>

namespace ulmar::server {

void ThrowSystemError(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

namespace {

int DescriptorOf(uint64_t key) { return static_cast<int>(static_cast<uint32_t>(key)); }

}  // namespace

EventLoop::EventLoop() : ready_(256) {
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) ThrowSystemError("epoll_create1");
}

EventLoop::~EventLoop() { ::close(epoll_); }

void EventLoop::Add(int fd, uint32_t events, Handler handler) {
  uint64_t key = static_cast<uint64_t>(++registrations_) << 32 | static_cast<uint32_t>(fd);
  epoll_event e{};
  e.events = events;
  e.data.u64 = key;
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e) != 0) ThrowSystemError("epoll_ctl");
  watches_[fd] = std::make_shared<Watch>(Watch{key, events, std::move(handler)});
}

void EventLoop::Modify(int fd, uint32_t events) {
  auto found = watches_.find(fd);
  if (found == watches_.end() || found->second->events == events) return;
  epoll_event e{};
  e.events = events;
  e.data.u64 = found->second->key;
  epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &e);
  found->second->events = events;
}

void EventLoop::Remove(int fd) {
  auto found = watches_.find(fd);
  if (found == watches_.end()) return;
  epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
  watches_.erase(found);  // a running handler is held by Dispatch until it returns
}

void EventLoop::Every(std::chrono::milliseconds period, std::function<void()> action) {
  timers_.push_back(Timer{period, Clock::now() + period, std::move(action)});
}

int EventLoop::WaitMs(std::chrono::milliseconds longest) const {
  auto wait = std::max(longest, std::chrono::milliseconds(0));
  auto now = Clock::now();
  for (const Timer& timer : timers_) {
    // Rounded up, so that the wait never ends before the timer is due.
    wait = std::min(wait, std::max(std::chrono::ceil<std::chrono::milliseconds>(timer.due - now),
                                   std::chrono::milliseconds(0)));
  }
  return static_cast<int>(std::min<std::chrono::milliseconds::rep>(wait.count(), INT_MAX));
}

void EventLoop::Dispatch(std::chrono::milliseconds longest) {
  int n = epoll_wait(epoll_, ready_.data(), static_cast<int>(ready_.size()), WaitMs(longest));
  if (n < 0 && errno != EINTR) ThrowSystemError("epoll_wait");
  for (int i = 0; i < n; ++i) {
    uint64_t key = ready_[i].data.u64;
    auto found = watches_.find(DescriptorOf(key));
    // Removed (and perhaps added again) by a handler that ran before.
    if (found == watches_.end() || found->second->key != key) continue;
    std::shared_ptr<Watch> watch = found->second;  // outlives its own removal
    watch->handler(ready_[i].events);
  }
  RunDueTimers();
}

void EventLoop::RunDueTimers() {
  for (Timer& timer : timers_) {
    if (Clock::now() < timer.due) continue;
    timer.action();
    timer.due = Clock::now() + timer.period;
  }
}

}  // namespace ulmar::server
