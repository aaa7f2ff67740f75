#include <gtest/gtest.h>

#include "log/timestamp.h"
#include "unit/fake_clock.h"

namespace ulmar {
namespace {

TEST(Timestamp, DateAloneOnlyAtExactMidnight) {
  testing::FakeClock clock;
  struct Case {
    LocalTime t;
    std::string stamp;
  } cases[] = {
      {{2026, 12, 8, 9, 5, 7, 0}, "08.12.2026 9:05:07"},
      {{2026, 12, 8, 0, 0, 0, 0}, "08.12.2026"},
      {{2026, 12, 8, 0, 0, 0, 999}, "08.12.2026"},
      {{2026, 12, 8, 0, 0, 1, 0}, "08.12.2026 0:00:01"},
      {{2026, 12, 8, 0, 1, 0, 0}, "08.12.2026 0:01:00"},
      {{2026, 12, 8, 23, 59, 59, 0}, "08.12.2026 23:59:59"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatTimestamp(clock, c.t), c.stamp);
}

}  // namespace
}  // namespace ulmar
