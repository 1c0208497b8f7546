// The date record's calendar arithmetic: leap years, day of the year and back, day of the week,
// moving a date forward, two-digit years, day and month names, the plausibility window and
// the conversion to seconds. Pure functions, callable from any task.
#include <cstring>
#include <ctime>

#include "kerval/date/date.h"
#include "kerval/kerval.h"
#include "kerval/platform/platform.h"

namespace kerval::date {

const char* const kDayNames[7] = {"MON", "TUE", "WED", "THU", "FRI", "SAT", "SUN"};
const char* const kMonthNames[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                     "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

namespace {

constexpr int16_t kMonthLength[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                         {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

bool IsLeap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Day of the week, 1 Monday..7 Sunday, of a Gregorian date with a month in 1..12.
int GregorianWeekday(int year, int month, int day)
{
    static constexpr int kMonthShift[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3)
        year -= 1;
    const int sum = year + year / 4 - year / 100 + year / 400 + kMonthShift[month - 1] + day;
    const int sunday_based = (sum % 7 + 7) % 7;
    return sunday_based == 0 ? 7 : sunday_based;
}

// Looks a name up in a table of three-letter names; writes its number (index + 1).
int FindName(const char* const* table, int count, const char* name, uint16_t* value)
{
    if (name == nullptr || value == nullptr)
        return 0;
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(table[i], name) == 0) {
            *value = static_cast<uint16_t>(i + 1);
            return 1;
        }
    }
    return 0;
}

MsgDate MakeDate(int16_t year, int16_t month, int16_t day, int16_t hour, int16_t minute,
                 int16_t second)
{
    return MsgDate{year, month, day, hour, minute, second, 0, 0, 0};
}

std::tm BrokenDown(const MsgDate& date, int is_dst)
{
    std::tm broken{};
    broken.tm_sec = date.nSecond;
    broken.tm_min = date.nMinute;
    broken.tm_hour = date.nHour;
    broken.tm_mday = date.nDay;
    broken.tm_mon = date.nMonth - 1;
    broken.tm_year = date.nYear - 1900;
    broken.tm_isdst = is_dst;
    return broken;
}

bool SameLocalTime(const std::tm& local, const MsgDate& date)
{
    return local.tm_year + 1900 == date.nYear && local.tm_mon + 1 == date.nMonth &&
           local.tm_mday == date.nDay && local.tm_hour == date.nHour &&
           local.tm_min == date.nMinute && local.tm_sec == date.nSecond;
}

// Moves the record forward by a count of seconds, through local time; unchanged on failure.
void AddSeconds(MsgDate* pxDate, int64_t seconds)
{
    if (pxDate == nullptr)
        return;
    const int64_t start = MsgDateToSecond(pxDate);
    if (start == -1)
        return;
    std::tm local{};
    if (!platform::local_from_time(start + seconds, &local))
        return;
    pxDate->nSecond = static_cast<int16_t>(local.tm_sec);
    pxDate->nMinute = static_cast<int16_t>(local.tm_min);
    pxDate->nHour = static_cast<int16_t>(local.tm_hour);
    pxDate->nDay = static_cast<int16_t>(local.tm_mday);
    pxDate->nMonth = static_cast<int16_t>(local.tm_mon + 1);
    pxDate->nYear = static_cast<int16_t>(local.tm_year + 1900);
    RefreshDayFields(pxDate);
}

}  // namespace

const char* DayName(int16_t nDayOfWeek)
{
    return nDayOfWeek >= 1 && nDayOfWeek <= 7 ? kDayNames[nDayOfWeek - 1] : "???";
}

const char* MonthName(int16_t nMonth)
{
    return nMonth >= 1 && nMonth <= 12 ? kMonthNames[nMonth - 1] : "???";
}

void RefreshDayFields(MsgDate* pxDate)
{
    uint16_t day_of_year = 0;
    uint16_t day_of_week = 0;
    DayOfWeekAndYear(static_cast<uint16_t>(pxDate->nYear), static_cast<uint16_t>(pxDate->nMonth),
                     static_cast<uint16_t>(pxDate->nDay), &day_of_year, &day_of_week);
    pxDate->nDayOfYear = static_cast<int16_t>(day_of_year);
    pxDate->nDayOfWeek = static_cast<int16_t>(day_of_week);
}

}  // namespace kerval::date

using kerval::date::AddSeconds;
using kerval::date::IsLeap;
using kerval::date::kMonthLength;

extern "C" {

int InitDate(MsgDate* pxDate)
{
    if (pxDate == nullptr)
        return 0;
    *pxDate = MsgDate{0, 13, 32, 25, 60, 60, 100, 367, 8};
    return 1;
}

int Bisextile(int16_t nYear)
{
    return IsLeap(nYear) ? 1 : 0;
}

// A month outside 1..12 counts no month beyond the table (no read past it).
int16_t JulianDay(int16_t nYear, int16_t nMonth, int16_t nDay)
{
    const int16_t* lengths = kMonthLength[IsLeap(nYear) ? 1 : 0];
    int total = nDay;
    for (int month = 1; month < nMonth && month <= 12; ++month)
        total += lengths[month - 1];
    return static_cast<int16_t>(total);
}

int ConvJulCal(int16_t nYear, int16_t nDayOfYear, uint16_t* pnMonth, uint16_t* pnDay)
{
    if (nDayOfYear < 1 || pnMonth == nullptr || pnDay == nullptr)
        return 0;
    const bool leap = IsLeap(nYear);
    if (nDayOfYear > (leap ? 366 : 365))
        return 0;
    const int16_t* lengths = kMonthLength[leap ? 1 : 0];
    int end_of_previous = 0;
    int month = 1;
    for (; month < 12; ++month) {
        if (end_of_previous + lengths[month - 1] >= nDayOfYear)
            break;
        end_of_previous += lengths[month - 1];
    }
    *pnMonth = static_cast<uint16_t>(month);
    *pnDay = static_cast<uint16_t>(nDayOfYear - end_of_previous);
    return 1;
}

// A month outside 1..12 has no day of the year or of the week: both come out 0.
void DayOfWeekAndYear(uint16_t nYear, uint16_t nMonth, uint16_t nDay, uint16_t* pnDayOfYear,
                      uint16_t* pnDayOfWeek)
{
    const bool known_month = nMonth >= 1 && nMonth <= 12;
    const auto day_of_year =
        known_month ? JulianDay(static_cast<int16_t>(nYear), static_cast<int16_t>(nMonth),
                                static_cast<int16_t>(nDay))
                    : 0;
    const int day_of_week = known_month ? kerval::date::GregorianWeekday(nYear, nMonth, nDay) : 0;
    if (pnDayOfYear != nullptr)
        *pnDayOfYear = static_cast<uint16_t>(day_of_year);
    if (pnDayOfWeek != nullptr)
        *pnDayOfWeek = static_cast<uint16_t>(day_of_week);
}

void AddDayToDate(MsgDate* pxDate, uint16_t nDays)
{
    AddSeconds(pxDate, static_cast<int64_t>(nDays) * 86400);
}

void AddHourToDate(MsgDate* pxDate, uint16_t nHours)
{
    AddSeconds(pxDate, static_cast<int64_t>(nHours) * 3600);
}

void Year2ToYear4(int16_t* pnYear)
{
    if (pnYear == nullptr)
        return;
    *pnYear = static_cast<int16_t>(*pnYear + (*pnYear >= 81 && *pnYear <= 99 ? 1900 : 2000));
}

void Year4ToYear2(int16_t* pnYear)
{
    if (pnYear != nullptr)
        *pnYear = static_cast<int16_t>(*pnYear % 100);
}

int LiteralDayToEnum(const char* pszName, uint16_t* pnValue)
{
    return kerval::date::FindName(kerval::date::kDayNames, 7, pszName, pnValue);
}

int LiteralMonthToEnum(const char* pszName, uint16_t* pnValue)
{
    return kerval::date::FindName(kerval::date::kMonthNames, 12, pszName, pnValue);
}

// The window runs from 1995-01-01 00:00:00 to 2069-12-31 23:59:59 local time, bounds included.
int IsDate(const MsgDate* pxDate)
{
    if (pxDate == nullptr)
        return 0;
    const MsgDate first = kerval::date::MakeDate(1995, 1, 1, 0, 0, 0);
    const MsgDate last = kerval::date::MakeDate(2069, 12, 31, 23, 59, 59);
    const int64_t seconds = MsgDateToSecond(pxDate);
    if (seconds == -1)
        return 0;
    return seconds >= MsgDateToSecond(&first) && seconds <= MsgDateToSecond(&last) ? 1 : 0;
}

// Daylight saving is left to the runtime (tm_isdst -1). In the hour that a change back to
// standard time repeats, the runtime's choice may depend on earlier conversions: the earlier
// of the two instants is taken, so a record always gives one instant.
int64_t MsgDateToSecond(const MsgDate* pxDate)
{
    if (pxDate == nullptr)
        return -1;
    std::tm fields = kerval::date::BrokenDown(*pxDate, -1);
    const int64_t seconds = kerval::platform::time_from_local(&fields);
    if (seconds == -1 || fields.tm_isdst < 0)
        return seconds;
    std::tm other = kerval::date::BrokenDown(*pxDate, fields.tm_isdst > 0 ? 0 : 1);
    const int64_t other_seconds = kerval::platform::time_from_local(&other);
    if (other_seconds == -1 || other_seconds >= seconds)
        return seconds;
    std::tm check{};
    if (!kerval::platform::local_from_time(other_seconds, &check))
        return seconds;
    return kerval::date::SameLocalTime(check, *pxDate) ? other_seconds : seconds;
}

}  // extern "C"
