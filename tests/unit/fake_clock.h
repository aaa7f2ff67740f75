// A clock for tests: a fixed, settable time and fixed Russian-style formats.
#pragma once

#include <cstdio>
#include <string>

#include "platform/clock.h"

namespace ulmar::testing {

class FakeClock : public RegionalClock {
 public:
  LocalTime now{2026, 12, 8, 9, 5, 7, 0};

  LocalTime Now() const override { return now; }
  std::string ShortDate(const LocalTime& t) const override {
    char b[32];
    std::snprintf(b, sizeof b, "%02d.%02d.%04d", t.day, t.month, t.year);
    return b;
  }
  std::string LongTime(const LocalTime& t) const override {
    char b[32];
    std::snprintf(b, sizeof b, "%d:%02d:%02d", t.hour, t.minute, t.second);
    return b;
  }
};

}  // namespace ulmar::testing
