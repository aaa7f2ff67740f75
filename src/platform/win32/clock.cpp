// The system clock and the user's regional formats through the Win32 locale API.
#include <windows.h>

#include "platform/clock.h"

namespace ulmar {
namespace {

SYSTEMTIME ToSystemTime(const LocalTime& t) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(t.year);
  st.wMonth = static_cast<WORD>(t.month);
  st.wDay = static_cast<WORD>(t.day);
  st.wHour = static_cast<WORD>(t.hour);
  st.wMinute = static_cast<WORD>(t.minute);
  st.wSecond = static_cast<WORD>(t.second);
  st.wMilliseconds = static_cast<WORD>(t.millisecond);
  return st;
}

class Win32Clock : public RegionalClock {
 public:
  LocalTime Now() const override {
    SYSTEMTIME st;
    GetLocalTime(&st);
    return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
  }
  std::string ShortDate(const LocalTime& t) const override {
    SYSTEMTIME st = ToSystemTime(t);
    char buffer[128];
    int n = GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, n - 1) : std::string();
  }
  std::string LongTime(const LocalTime& t) const override {
    SYSTEMTIME st = ToSystemTime(t);
    char buffer[128];
    int n = GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, n - 1) : std::string();
  }
};

}  // namespace

std::unique_ptr<RegionalClock> MakeSystemClock() { return std::make_unique<Win32Clock>(); }

}  // namespace ulmar
