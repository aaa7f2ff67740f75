#include "log/timestamp.h"

namespace ulmar {

std::string FormatTimestamp(const RegionalClock& clock, const LocalTime& t) {
  std::string text = clock.ShortDate(t);
  // Milliseconds do not count: 00:00:00.500 is still midnight.
  if (t.hour != 0 || t.minute != 0 || t.second != 0) {
    text += ' ';
    text += clock.LongTime(t);
  }
  return text;
}

std::string TimestampNow(const RegionalClock& clock) { return FormatTimestamp(clock, clock.Now()); }

}  // namespace ulmar
