// Local time, the performance counter and time conversions on Win32. The clock seam replaces
// the machine's local clock for reading, setting and time_now().
#include <windows.h>

#include <ctime>

#include "kerval/platform/common/local_time.h"
#include "kerval/platform/common/seams_internal.h"

namespace kerval::platform {
namespace {

LocalTime from_systemtime(const SYSTEMTIME& st)
{
    return LocalTime{st.wYear,   st.wMonth,  st.wDay,          st.wHour,
                     st.wMinute, st.wSecond, st.wMilliseconds, st.wDayOfWeek};
}

SYSTEMTIME to_systemtime(const LocalTime& t)
{
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(t.year);
    st.wMonth = static_cast<WORD>(t.month);
    st.wDay = static_cast<WORD>(t.day);
    st.wHour = static_cast<WORD>(t.hour);
    st.wMinute = static_cast<WORD>(t.minute);
    st.wSecond = static_cast<WORD>(t.second);
    st.wMilliseconds = static_cast<WORD>(t.milliseconds);
    st.wDayOfWeek = static_cast<WORD>(t.day_of_week);
    return st;
}

}  // namespace

void local_time_read(LocalTime* t)
{
    if (auto read = detail::clock_read_seam()) {
        read(t);
        return;
    }
    SYSTEMTIME st;
    GetLocalTime(&st);
    *t = from_systemtime(st);
}

bool local_time_set(const LocalTime& t)
{
    if (auto set = detail::clock_set_seam())
        return set(t);
    // A privilege refused by the test seam keeps the real clock untouched.
    auto check = detail::privilege_seam();
    if (check != nullptr && !check("SeSystemtimePrivilege")) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return false;
    }
    const SYSTEMTIME st = to_systemtime(t);
    return SetLocalTime(&st) != 0;
}

uint64_t perf_counter()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart);
}

uint64_t perf_frequency()
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<uint64_t>(frequency.QuadPart);
}

bool local_from_time(int64_t t, std::tm* out)
{
    const __time64_t value = t;
    return _localtime64_s(out, &value) == 0;
}

int64_t time_from_local(std::tm* in)
{
    return _mktime64(in);
}

int64_t time_now()
{
    if (auto read = detail::clock_read_seam()) {
        LocalTime now{};
        read(&now);
        std::tm tm = detail::tm_from_local_time(now);
        return time_from_local(&tm);
    }
    return _time64(nullptr);
}

}  // namespace kerval::platform
