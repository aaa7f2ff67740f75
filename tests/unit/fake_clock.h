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
  std::string ShortDate(const LocalTime& t) const override { return RussianShortDate(t); }
  std::string LongTime(const LocalTime& t) const override { return RussianLongTime(t); }
};

}  // namespace ulmar::testing
