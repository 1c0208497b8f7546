// Date test helpers: an independent Gregorian calendar and record builders.
#pragma once

#include "tests/support/fixtures.h"

namespace civil {

// Days since 1970-01-01 of a Gregorian date.
inline int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400, yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}
inline int DayOfYear(int y, int m, int d) {
    return static_cast<int>(DaysFromCivil(y, m, d) - DaysFromCivil(y, 1, 1) + 1);
}
// 1 Monday .. 7 Sunday; 1970-01-01 was a Thursday.
inline int Weekday(int y, int m, int d) {
    return static_cast<int>(((DaysFromCivil(y, m, d) + 3) % 7 + 7) % 7) + 1;
}
// A record without extras, or (Full) with the day of year and day of week computed here.
inline MsgDate Date(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return MsgDate{int16_t(y), int16_t(mo), int16_t(d), int16_t(h), int16_t(mi),
                   int16_t(s), 0,           0,          0};
}
inline MsgDate Full(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    MsgDate date = Date(y, mo, d, h, mi, s);
    date.nDayOfYear = int16_t(DayOfYear(y, mo, d));
    date.nDayOfWeek = int16_t(Weekday(y, mo, d));
    return date;
}
// Every field, so that a failed comparison prints the two records.
inline std::array<int, 9> Fields(const MsgDate& d) {
    return {d.nYear,   d.nMonth,     d.nDay,       d.nHour,     d.nMinute,
            d.nSecond, d.nHundredth, d.nDayOfYear, d.nDayOfWeek};
}

}  // namespace civil
