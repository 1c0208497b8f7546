// Matching a date against a pattern with wildcards, and ordering two dates field by field.
#include "kerval/kerval.h"

namespace kerval::date {
namespace {

// Pattern wildcards, as InitDate writes them.
constexpr int16_t kAnyYear = 0;
constexpr int16_t kAnyMonth = 13;
constexpr int16_t kAnyDay = 32;
constexpr int16_t kAnyDayOfWeek = 8;
constexpr int16_t kAnyHour = 25;
constexpr int16_t kAnyMinute = 60;
constexpr int16_t kAnySecond = 60;

// -1, 0 or 1 as the date lies before, on or after the pattern, over the pattern's fields that
// are not wildcards, in the order year, month, day, day of week, hour, minute, second. The
// date's day of week is computed from its year, month and day, not read from the record.
int WalkPattern(const MsgDate& date, const MsgDate& pattern)
{
    uint16_t day_of_year = 0;
    uint16_t day_of_week = 0;
    DayOfWeekAndYear(static_cast<uint16_t>(date.nYear), static_cast<uint16_t>(date.nMonth),
                     static_cast<uint16_t>(date.nDay), &day_of_year, &day_of_week);
    const struct {
        int16_t date, pattern, wildcard;
    } fields[] = {
        {date.nYear, pattern.nYear, kAnyYear},
        {date.nMonth, pattern.nMonth, kAnyMonth},
        {date.nDay, pattern.nDay, kAnyDay},
        {static_cast<int16_t>(day_of_week), pattern.nDayOfWeek, kAnyDayOfWeek},
        {date.nHour, pattern.nHour, kAnyHour},
        {date.nMinute, pattern.nMinute, kAnyMinute},
        {date.nSecond, pattern.nSecond, kAnySecond},
    };
    for (const auto& field : fields) {
        if (field.pattern == field.wildcard || field.date == field.pattern)
            continue;
        return field.date < field.pattern ? -1 : 1;
    }
    return 0;
}

}  // namespace
}  // namespace kerval::date

extern "C" {

int16_t CompareDateField(int16_t nField1, int16_t nField2)
{
    if (nField1 == -1 || nField2 == -1 || nField1 == nField2)
        return 0;
    return nField1 > nField2 ? 1 : -1;
}

int InfOrEgal(const MsgDate* pxDate, const MsgDate* pxPattern)
{
    if (pxDate == nullptr || pxPattern == nullptr)
        return 0;
    return kerval::date::WalkPattern(*pxDate, *pxPattern) <= 0 ? 1 : 0;
}

int SupOrEgal(const MsgDate* pxDate, const MsgDate* pxPattern)
{
    if (pxDate == nullptr || pxPattern == nullptr)
        return 0;
    return kerval::date::WalkPattern(*pxDate, *pxPattern) >= 0 ? 1 : 0;
}

int IsInInterval(const MsgDate* pxDate, const MsgDate* pxInterval)
{
    if (pxDate == nullptr || pxInterval == nullptr)
        return 0;
    return SupOrEgal(pxDate, &pxInterval[0]) && InfOrEgal(pxDate, &pxInterval[1]) ? 1 : 0;
}

int16_t FinalInitialDate(const MsgDate* pxDate1, const MsgDate* pxDate2)
{
    if (pxDate1 == nullptr || pxDate2 == nullptr)
        return 0;
    const int16_t pairs[6][2] = {
        {pxDate1->nYear, pxDate2->nYear},     {pxDate1->nMonth, pxDate2->nMonth},
        {pxDate1->nDay, pxDate2->nDay},       {pxDate1->nHour, pxDate2->nHour},
        {pxDate1->nMinute, pxDate2->nMinute}, {pxDate1->nSecond, pxDate2->nSecond},
    };
    for (const auto& pair : pairs) {
        if (const int16_t order = CompareDateField(pair[0], pair[1]); order != 0)
            return order;
    }
    return 0;
}

}  // extern "C"
