#include "event_loop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ulmar::server {
namespace {

using std::chrono::hours;
using std::chrono::milliseconds;

// A pipe whose ends close with it.
struct Pipe {
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    for (int fd : fds) {
      if (fd >= 0) close(fd);
    }
  }
  void Put() { ASSERT_EQ(write(fds[1], "x", 1), 1); }
  int fds[2] = {-1, -1};
  int& in = fds[0];
  int& out = fds[1];
};

TEST(EventLoop, RunsAHandlerOnlyWhenItsDescriptorIsReady) {
  for (uint32_t registration : {uint32_t{EPOLLIN}, EPOLLIN | EPOLLEXCLUSIVE}) {
    SCOPED_TRACE(registration);
    EventLoop loop;
    Pipe pipe;
    std::vector<uint32_t> seen;
    loop.Add(pipe.in, registration, [&](uint32_t events) { seen.push_back(events); });
    loop.Dispatch(milliseconds(0));
    EXPECT_TRUE(seen.empty());
    pipe.Put();
    loop.Dispatch(milliseconds(0));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0] & EPOLLIN);
    loop.Remove(pipe.in);
    EXPECT_FALSE(loop.Watching(pipe.in));
    loop.Dispatch(milliseconds(0));
    EXPECT_EQ(seen.size(), 1u);
  }
}

TEST(EventLoop, ModifyChangesTheEventsWaitedFor) {
  EventLoop loop;
  Pipe pipe;
  int runs = 0;
  loop.Add(pipe.out, EPOLLIN, [&](uint32_t events) { runs += (events & EPOLLOUT) ? 1 : 100; });
  loop.Dispatch(milliseconds(0));
  EXPECT_EQ(runs, 0);  // a pipe's writing end is never readable
  loop.Modify(pipe.out, EPOLLOUT);
  loop.Dispatch(milliseconds(0));
  EXPECT_EQ(runs, 1);
  loop.Modify(pipe.out, EPOLLIN);
  loop.Dispatch(milliseconds(0));
  EXPECT_EQ(runs, 1);
}

// Two pipes ready in the same round: whichever handler runs first removes
// its own descriptor and the other one, and puts a new registration (an
// eventfd that is never ready) under the other's number. Neither the
// removed handler nor the new one may run in that round; under the
// sanitizer, a handler destroyed while it runs shows as a use after free.
TEST(EventLoop, AHandlerMayRemoveItsOwnDescriptorAndOthers) {
  EventLoop loop;
  Pipe pipes[2];
  std::vector<std::string> ran;
  for (int i = 0; i < 2; ++i) {
    std::string name(64, static_cast<char>('a' + i));  // on the heap, freed with the handler
    loop.Add(pipes[i].in, EPOLLIN, [&loop, &ran, self = &pipes[i], other = &pipes[1 - i], name](uint32_t) {
      loop.Remove(self->in);
      loop.Remove(other->in);
      int quiet = eventfd(0, EFD_CLOEXEC);
      ASSERT_GE(quiet, 0);
      ASSERT_EQ(dup2(quiet, other->in), other->in);
      close(quiet);
      loop.Add(other->in, EPOLLIN, [&ran](uint32_t) { ran.push_back("replacement"); });
      ran.push_back(name);
    });
    pipes[i].Put();
  }
  loop.Dispatch(milliseconds(0));
  ASSERT_EQ(ran.size(), 1u);
  EXPECT_EQ(ran[0].size(), 64u);
  loop.Dispatch(milliseconds(0));
  EXPECT_EQ(ran.size(), 1u);
}

TEST(EventLoop, RunsEachTimerWhenItIsDueAndAgainAfterItsPeriod) {
  EventLoop loop;
  int soon = 0, later = 0;
  loop.Every(milliseconds(20), [&] { ++soon; });
  loop.Every(hours(1), [&] { ++later; });
  // Nothing is ready: the wait ends when the first timer is due, long
  // before the hour asked for.
  loop.Dispatch(hours(1));
  EXPECT_EQ(soon, 1);
  loop.Dispatch(hours(1));
  EXPECT_EQ(soon, 2);
  EXPECT_EQ(later, 0);
}

}  // namespace
}  // namespace ulmar::server
