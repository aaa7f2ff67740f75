// Keeps the window answering while the session works on its one thread.
//
// Long work calls Tick() at every small step (a chunk received or sent, a
// block of a checksum, a file, a data source); the heartbeat calls its beat,
// the window's message handling, whenever kHeartbeatDueMs have passed since
// the last beat ended, however much or little data flows. Waits ask
// MillisecondsUntilDue() so that they never sleep past a beat. As long as no
// single step takes longer than the rest of the budget, pending window
// messages are handled at least every kLongestHeartbeatGapMs.
#pragma once

#include <cstdint>
#include <functional>

namespace ulmar {

// A beat is due this long after the previous one ended.
inline constexpr int kHeartbeatDueMs = 25;
// What the window is promised: no longer between two beats. The steps
// between two ticks must stay well under the difference.
inline constexpr int kLongestHeartbeatGapMs = 50;

// Milliseconds of a clock that never goes back.
int64_t SteadyMilliseconds();

class Heartbeat {
 public:
  using Clock = std::function<int64_t()>;

  // Beats nothing: Tick() does nothing and waits use their own slices.
  Heartbeat() = default;
  explicit Heartbeat(std::function<void()> beat, Clock now = SteadyMilliseconds, int due_ms = kHeartbeatDueMs);

  // Beats when one is due.
  void Tick();
  // How long a wait may last before the next beat is due (0 when it is due
  // now); a large number when there is nothing to beat.
  int MillisecondsUntilDue();

 private:
  void Beat();

  std::function<void()> beat_;
  Clock now_;
  int due_ms_ = kHeartbeatDueMs;
  int64_t last_ = 0;
  // A beat handles window messages; one of them could reach work that ticks
  // again. Beats never nest.
  bool beating_ = false;
};

// Tick() on a heartbeat that may be absent.
inline void Tick(Heartbeat* heartbeat) {
  if (heartbeat) heartbeat->Tick();
}

}  // namespace ulmar
