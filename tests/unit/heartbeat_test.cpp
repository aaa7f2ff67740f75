// The heartbeat's rule: a beat whenever the due time has passed since the
// last one ended, never before, never nested; waits never outlast it.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "base/heartbeat.h"

namespace ulmar {
namespace {

TEST(Heartbeat, BeatsOnlyOnceTheDueTimeHasPassedSinceTheLastBeat) {
  int64_t now = 1000;
  std::vector<int64_t> beats;
  Heartbeat heartbeat([&] { beats.push_back(now); }, [&] { return now; }, 25);
  struct Row {
    int64_t tick_at;
    int until_due_after;  // MillisecondsUntilDue() after the tick
  };
  const Row rows[] = {
      {1000, 25}, {1010, 15}, {1024, 1},  // not yet due
      {1025, 25},                         // due: beats, the next is due at 1050
      {1049, 1},  {1050, 25},             // beats again
      {1200, 25},                         // long after: one beat, not several
      {1201, 24},
  };
  for (const Row& row : rows) {
    now = row.tick_at;
    heartbeat.Tick();
    EXPECT_EQ(heartbeat.MillisecondsUntilDue(), row.until_due_after) << "tick at " << row.tick_at;
  }
  EXPECT_EQ(beats, (std::vector<int64_t>{1025, 1050, 1200}));
}

TEST(Heartbeat, TheNextBeatCountsFromTheEndOfTheLastOne) {
  // A beat that itself takes 40 ms (a repaint, say) does not make the next
  // one due at once.
  int64_t now = 0;
  int beats = 0;
  Heartbeat heartbeat([&] { ++beats, now += 40; }, [&] { return now; }, 25);
  now = 25;
  heartbeat.Tick();
  EXPECT_EQ(now, 65);
  EXPECT_EQ(heartbeat.MillisecondsUntilDue(), 25);
  now = 80;
  heartbeat.Tick();
  EXPECT_EQ(beats, 1);
}

TEST(Heartbeat, ABeatThatTicksAgainDoesNotNestAndAFailingBeatPassesItsError) {
  int64_t now = 0;
  int beats = 0;
  bool fail = false;
  Heartbeat* self = nullptr;
  Heartbeat heartbeat(
      [&] {
        ++beats;
        now += 100;
        self->Tick();  // window messages that reach work which ticks
        if (fail) throw std::runtime_error("beat failed");
      },
      [&] { return now; }, 25);
  self = &heartbeat;
  now = 30;
  heartbeat.Tick();
  EXPECT_EQ(beats, 1);
  fail = true;
  now += 30;
  EXPECT_THROW(heartbeat.Tick(), std::runtime_error);
  fail = false;
  now += 30;
  heartbeat.Tick();  // the failed beat did not leave it stuck
  EXPECT_EQ(beats, 3);
}

TEST(Heartbeat, WithNothingToBeatTickDoesNothingAndWaitsKeepTheirOwnSlices) {
  Heartbeat none;
  none.Tick();
  EXPECT_GT(none.MillisecondsUntilDue(), 60 * 60 * 1000);
}

TEST(Heartbeat, ThePromiseLeavesRoomForAStepBetweenTicks) {
  static_assert(kHeartbeatDueMs * 2 <= kLongestHeartbeatGapMs);
  EXPECT_EQ(kLongestHeartbeatGapMs, 50);
}

}  // namespace
}  // namespace ulmar
