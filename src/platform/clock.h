// The local clock and the user's regional date and time formats.
// The session log, the traffic logs and the update date all stamp with the
// formats the user chose in the operating system; the program sets none.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace ulmar {

struct LocalTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

class RegionalClock {
 public:
  virtual ~RegionalClock() = default;
  virtual LocalTime Now() const = 0;
  // The date in the user's short date format, e.g. "08.12.2026".
  virtual std::string ShortDate(const LocalTime& t) const = 0;
  // The time in the user's long time format, e.g. "9:05:07".
  virtual std::string LongTime(const LocalTime& t) const = 0;
};

// The operating system's clock and the current user's formats.
std::unique_ptr<RegionalClock> MakeSystemClock();

// The formats of Russian regional settings, for clocks that have no user
// formats of their own: "08.12.2026" and "9:05:07".
inline std::string RussianShortDate(const LocalTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d", t.day, t.month, t.year);
  return text;
}
inline std::string RussianLongTime(const LocalTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%d:%02d:%02d", t.hour, t.minute, t.second);
  return text;
}

}  // namespace ulmar
