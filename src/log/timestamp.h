// Time stamps of the logs: the user's short date, then a blank and the long
// time unless the time of day is exactly midnight.
#pragma once

#include <string>

#include "platform/clock.h"

namespace ulmar {

std::string FormatTimestamp(const RegionalClock& clock, const LocalTime& t);

// The current local date and time, stamped as above.
std::string TimestampNow(const RegionalClock& clock);

}  // namespace ulmar
