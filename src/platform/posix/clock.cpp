// The system clock for the native build. There are no user formats here: the
// native build formats as Russian regional settings do (dd.MM.yyyy, H:mm:ss).
#include <sys/time.h>

#include <cstdio>
#include <ctime>

#include "platform/clock.h"

namespace ulmar {
namespace {

class PosixClock : public RegionalClock {
 public:
  LocalTime Now() const override {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::tm tm{};
    localtime_r(&tv.tv_sec, &tm);
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                     tm.tm_min,         tm.tm_sec,     static_cast<int>(tv.tv_usec / 1000)};
  }
  std::string ShortDate(const LocalTime& t) const override { return RussianShortDate(t); }
  std::string LongTime(const LocalTime& t) const override { return RussianLongTime(t); }
};

}  // namespace

std::unique_ptr<RegionalClock> MakeSystemClock() { return std::make_unique<PosixClock>(); }

}  // namespace ulmar
