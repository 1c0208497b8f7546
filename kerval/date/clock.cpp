// The application clock: reading and setting the local clock, the application date, the
// virtual date and the performance-counter time-out test.
#include <atomic>
#include <cstdio>
#include <limits>
#include <mutex>

#include "kerval/date/clock.h"
#include "kerval/date/date.h"
#include "kerval/error/report.h"
#include "kerval/platform/platform.h"

namespace kerval::date {
namespace {

constexpr const char* kWriteLocalTimeProc = "KERVAL-WriteLocalTime()";

platform::GuardedMutex& AppDateLock()
{
    static platform::GuardedMutex lock;
    return lock;
}

std::atomic<int64_t> g_start_counter{0};

platform::LocalTime ToLocalTime(const MsgDate& date)
{
    const bool hundredth_ok = date.nHundredth >= 0 && date.nHundredth <= 99;
    return platform::LocalTime{date.nYear,
                               date.nMonth,
                               date.nDay,
                               date.nHour,
                               date.nMinute,
                               date.nSecond,
                               hundredth_ok ? date.nHundredth : 0,
                               date.nDayOfWeek % 7};
}

void PrintSetClockFailure(const MsgDate& date)
{
    char line[96];
    std::snprintf(line, sizeof line, "SetLocalTime(%04d\\%02d\\%02d-%02d:%02d:%02d) echoue !\n",
                  date.nYear, date.nMonth, date.nDay, date.nHour, date.nMinute, date.nSecond);
    DisplayDebug(line, 1);
}

}  // namespace

int32_t ReadLocalTime(MsgDate* pxDate)
{
    if (pxDate == nullptr)
        return eOK;
    platform::LocalTime now{};
    platform::local_time_read(&now);
    pxDate->nYear = static_cast<int16_t>(now.year);
    pxDate->nMonth = static_cast<int16_t>(now.month);
    pxDate->nDay = static_cast<int16_t>(now.day);
    pxDate->nHour = static_cast<int16_t>(now.hour);
    pxDate->nMinute = static_cast<int16_t>(now.minute);
    pxDate->nSecond = static_cast<int16_t>(now.second);
    pxDate->nHundredth = 0;
    RefreshDayFields(pxDate);
    return eOK;
}

// The privilege is enabled for the process; the platform layer keeps it enabled afterwards.
int32_t WriteLocalTime(MsgDate* pxDate)
{
    if (pxDate == nullptr)
        return 1;
    if (!platform::enable_systemtime_privilege()) {
        KV_CHECK(kWriteLocalTimeProc, platform::last_error(), 0);
        return 1;
    }
    RefreshDayFields(pxDate);
    if (!platform::local_time_set(ToLocalTime(*pxDate))) {
        const uint32_t error = platform::last_error();
        PrintSetClockFailure(*pxDate);
        KV_CHECK(kWriteLocalTimeProc, error, 0);
        return 1;
    }
    return 0;
}

void StoreAppDate(const MsgDate& xDate)
{
    std::lock_guard guard(AppDateLock());
    if (_pxSysDescript == nullptr)
        return;
    // Tasks copy the date for their life sign without this lock, field by field.
    const int16_t* src = &xDate.nYear;
    int16_t* dst = &_pxSysDescript->xAppDate.nYear;
    for (size_t i = 0; i < sizeof(MsgDate) / sizeof(int16_t); ++i)
        std::atomic_ref<int16_t>(dst[i]).store(src[i], std::memory_order_relaxed);
}

MsgDate LoadAppDate()
{
    std::lock_guard guard(AppDateLock());
    MsgDate date{};
    if (_pxSysDescript != nullptr)
        date = _pxSysDescript->xAppDate;
    return date;
}

void SetStartCounter(int64_t lCounter)
{
    g_start_counter.store(lCounter);
}

int64_t StartCounter()
{
    return g_start_counter.load();
}

}  // namespace kerval::date

extern "C" {

int32_t ReadAppDateTime(MsgDate* pxDate)
{
    kerval::date::ReadLocalTime(pxDate);
    if (pxDate != nullptr)
        kerval::date::RefreshDayFields(pxDate);
    return eOK;
}

int32_t WriteAppDateTime(MsgDate* pxDate)
{
    const int32_t result = kerval::date::WriteLocalTime(pxDate);
    if (result == 0)
        kerval::date::StoreAppDate(*pxDate);
    return result;
}

void ForceToVirtualDate(MsgDate* pxDate)
{
    if (pxDate == nullptr)
        return;
    pxDate->nYear = 1995;
    pxDate->nMonth = 5;
    pxDate->nDay = 15;
    pxDate->nHour = 0;
    pxDate->nMinute = 0;
    pxDate->nSecond = 0;
}

void GetOffsetSinceStart(int64_t* pxCounter)
{
    if (pxCounter != nullptr)
        *pxCounter = kerval::date::StartCounter();
}

double GetAbsoluteMsSinceStart(void)
{
    KervalErreur(eNOK, "", "KERVAL-GetAbsoluteMsSinceStart",
                 "Obsolete (limit\xE9 \xE0 49.5 jours) !", __FILE__, __LINE__, 0);
    return 0.0;
}

// Whole seconds elapsed since the start reading, in ms, strictly above the limit. A frequency
// that is not positive cannot measure anything: the answer is false.
int IsTimeOutOver(const int64_t* pxStart, const int64_t* pxFrequency, uint32_t lLimitMs)
{
    if (pxStart == nullptr || pxFrequency == nullptr || *pxFrequency <= 0)
        return 0;
    const int64_t now = static_cast<int64_t>(kerval::platform::perf_counter());
    // Counter readings wrap like the hardware counter: the difference is taken modulo 2^64.
    const auto elapsed =
        static_cast<int64_t>(static_cast<uint64_t>(now) - static_cast<uint64_t>(*pxStart));
    const int64_t seconds = elapsed / *pxFrequency;
    if (seconds > std::numeric_limits<int64_t>::max() / 1000)
        return 1;
    return seconds * 1000 > static_cast<int64_t>(lLimitMs) ? 1 : 0;
}

}  // extern "C"
