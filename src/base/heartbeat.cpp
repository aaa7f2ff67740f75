#include "base/heartbeat.h"

#include <chrono>
#include <climits>

namespace ulmar {

int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

Heartbeat::Heartbeat(std::function<void()> beat, Clock now, int due_ms)
    : beat_(std::move(beat)), now_(std::move(now)), due_ms_(due_ms), last_(now_()) {}

void Heartbeat::Tick() {
  if (beat_ && !beating_ && now_() - last_ >= due_ms_) Beat();
}

int Heartbeat::MillisecondsUntilDue() {
  if (!beat_) return INT_MAX;
  int64_t left = last_ + due_ms_ - now_();
  return left <= 0 ? 0 : static_cast<int>(left);
}

void Heartbeat::Beat() {
  beating_ = true;
  try {
    beat_();
  } catch (...) {
    beating_ = false;
    last_ = now_();
    throw;
  }
  beating_ = false;
  last_ = now_();
}

}  // namespace ulmar
