// Local time, the monotonic counter and time conversions.
#include <linux/capability.h>
#include <time.h>

#include <cerrno>

#include "kerval/platform/common/local_time.h"
#include "kerval/platform/common/seams_internal.h"
#include "kerval/platform/platform.h"
#include "kerval/platform/posix/capability.h"
#include "kerval/platform/posix/internal.h"

namespace kerval::platform {
namespace {

constexpr const char* kSystemTimePrivilege = "SeSystemtimePrivilege";

void fill_local_time(const std::tm& tm, long nanoseconds, LocalTime* out)
{
    out->year = tm.tm_year + 1900;
    out->month = tm.tm_mon + 1;
    out->day = tm.tm_mday;
    out->hour = tm.tm_hour;
    out->minute = tm.tm_min;
    out->second = tm.tm_sec;
    out->milliseconds = static_cast<int>(nanoseconds / 1000000L);
    out->day_of_week = tm.tm_wday;
}

bool valid_local_time(const LocalTime& t)
{
    return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 && t.hour >= 0 &&
           t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 59 &&
           t.milliseconds >= 0 && t.milliseconds <= 999;
}

}  // namespace

void local_time_read(LocalTime* t)
{
    if (t == nullptr)
        return;
    if (auto read = detail::clock_read_seam()) {
        read(t);
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm tm{};
    localtime_r(&now.tv_sec, &tm);
    fill_local_time(tm, now.tv_nsec, t);
}

bool local_time_set(const LocalTime& t)
{
    if (!valid_local_time(t)) {
        set_last_error(kErrInvalidParameter);
        return false;
    }
    if (auto set = detail::clock_set_seam())
        return set(t);
    if (!posix::privilege_held(kSystemTimePrivilege, CAP_SYS_TIME)) {
        set_last_error(kErrPrivilegeNotHeld);
        return false;
    }
    std::tm tm = detail::tm_from_local_time(t);
    const time_t seconds = mktime(&tm);
    if (seconds == static_cast<time_t>(-1)) {
        set_last_error(kErrInvalidParameter);
        return false;
    }
    const timespec when{seconds, static_cast<long>(t.milliseconds) * 1000000L};
    if (clock_settime(CLOCK_REALTIME, &when) != 0) {
        set_last_error(errno == EPERM ? kErrPrivilegeNotHeld : posix::win32_from_errno(errno));
        return false;
    }
    return true;
}

bool enable_systemtime_privilege()
{
    if (posix::privilege_held(kSystemTimePrivilege, CAP_SYS_TIME))
        return true;
    set_last_error(kErrPrivilegeNotHeld);
    return false;
}

uint64_t perf_counter()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

uint64_t perf_frequency()
{
    return 1000000000ull;
}

bool local_from_time(int64_t t, std::tm* out)
{
    const time_t seconds = static_cast<time_t>(t);
    return out != nullptr && localtime_r(&seconds, out) != nullptr;
}

int64_t time_from_local(std::tm* in)
{
    if (in == nullptr)
        return -1;
    return static_cast<int64_t>(mktime(in));
}

int64_t time_now()
{
    auto read = detail::clock_read_seam();
    if (read == nullptr)
        return static_cast<int64_t>(time(nullptr));
    LocalTime now{};
    read(&now);
    std::tm tm = detail::tm_from_local_time(now);
    return static_cast<int64_t>(mktime(&tm));
}

}  // namespace kerval::platform
