// An independent calendar for checking the library: days since 1970-01-01 of a Gregorian date.
#pragma once

#include <cstdint>

#include "kerval/kerval.h"

namespace civil {

inline int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d)
{
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

inline int DaysInMonth(int y, int m)
{
    return static_cast<int>(m == 12 ? DaysFromCivil(y + 1, 1, 1) - DaysFromCivil(y, 12, 1)
                                    : DaysFromCivil(y, m + 1, 1) - DaysFromCivil(y, m, 1));
}

// 1 Monday .. 7 Sunday; 1970-01-01 was a Thursday.
inline int Weekday(int y, int m, int d)
{
    const int64_t days = DaysFromCivil(y, m, d);
    return static_cast<int>(((days + 3) % 7 + 7) % 7) + 1;
}

inline MsgDate Date(int16_t y, int16_t mo, int16_t d, int16_t h = 0, int16_t mi = 0, int16_t s = 0)
{
    return MsgDate{y, mo, d, h, mi, s, 0, 0, 0};
}

}  // namespace civil
