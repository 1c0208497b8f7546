// Conversion shared by both platforms' clock code.
#pragma once

#include <ctime>

#include "kerval/platform/platform.h"

namespace kerval::platform::detail {

// The broken-down local time of a LocalTime, daylight saving left to the runtime.
inline std::tm tm_from_local_time(const LocalTime& t)
{
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    return tm;
}

}  // namespace kerval::platform::detail
