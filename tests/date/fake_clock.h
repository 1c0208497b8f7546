// A replaceable local clock for date tests: reads answer a set time, sets are recorded.
#pragma once

#include "kerval/platform/platform.h"

namespace fake_clock {

inline kerval::platform::LocalTime& Now()
{
    static kerval::platform::LocalTime now{};
    return now;
}
inline kerval::platform::LocalTime& LastSet()
{
    static kerval::platform::LocalTime last{};
    return last;
}
inline int& SetCount()
{
    static int count = 0;
    return count;
}

inline void Read(kerval::platform::LocalTime* t)
{
    *t = Now();
}
inline bool Set(const kerval::platform::LocalTime& t)
{
    LastSet() = t;
    Now() = t;
    ++SetCount();
    return true;
}

// Installs the clock at the given local time.
inline void Install(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                    int ms = 0)
{
    Now() = kerval::platform::LocalTime{year, month, day, hour, minute, second, ms, 0};
    SetCount() = 0;
    kerval::platform::seams::set_clock(&Read, &Set);
}

inline void Remove()
{
    kerval::platform::seams::set_clock(nullptr, nullptr);
}

}  // namespace fake_clock
