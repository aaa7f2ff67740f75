// A millisecond clock for heartbeats in tests: every reading is `step` later
// than the one before, as if each step of the work between two readings took
// that long.
#pragma once

#include <cstdint>

#include "base/heartbeat.h"

namespace ulmar::testing {

class SteppingClock {
 public:
  explicit SteppingClock(int64_t step) : step_(step) {}
  Heartbeat::Clock AsClock() {
    return [this] { return now_ += step_; };
  }

 private:
  int64_t step_;
  int64_t now_ = 0;
};

}  // namespace ulmar::testing
