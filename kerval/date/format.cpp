// The date record as text and back, in the library's six fixed layouts.
#include <cstdio>
#include <cstring>

#include "kerval/date/date.h"
#include "kerval/kerval.h"

namespace kerval::date {
namespace {

// The known layouts; a format text must equal one of them to be used.
constexpr const char* kStampFormat = "%c%04hd/%02hd/%02hd-%02hd:%02hd:%02hd";
constexpr const char* kSecondFormat = "%04hd/%02hd/%02hd-%02hd:%02hd:%02hd";
constexpr const char* kHundredthFormat = "%04hd/%02hd/%02hd-%02hd:%02hd:%02hd:%02hd";
constexpr const char* kNamedFormat =
    "%04hd/%02hd/%02hd-%02hd:%02hd:%02hd:%02hd (j=%03hd) (DoW=%d) %s %s";
constexpr const char* kYearDigitFormat = "%01hd%03hd";
constexpr const char* kCompactFormat = "%02hd%02hd%02hd%02hd%02hd";

bool Is(const char* format, const char* known)
{
    return format != nullptr && std::strcmp(format, known) == 0;
}

int16_t DayOfYearOf(const MsgDate& date)
{
    uint16_t day_of_year = 0;
    DayOfWeekAndYear(static_cast<uint16_t>(date.nYear), static_cast<uint16_t>(date.nMonth),
                     static_cast<uint16_t>(date.nDay), &day_of_year, nullptr);
    return static_cast<int16_t>(day_of_year);
}

// Writes the record in the known format equal to pszFormat; false when there is none.
bool Print(const MsgDate& d, char* out, const char* format)
{
    if (Is(format, kStampFormat)) {
        std::sprintf(out, "%c%04hd/%02hd/%02hd-%02hd:%02hd:%02hd", 'W', d.nYear, d.nMonth, d.nDay,
                     d.nHour, d.nMinute, d.nSecond);
    } else if (Is(format, kSecondFormat)) {
        std::sprintf(out, "%04hd/%02hd/%02hd-%02hd:%02hd:%02hd", d.nYear, d.nMonth, d.nDay, d.nHour,
                     d.nMinute, d.nSecond);
    } else if (Is(format, kHundredthFormat)) {
        std::sprintf(out, "%04hd/%02hd/%02hd-%02hd:%02hd:%02hd:%02hd", d.nYear, d.nMonth, d.nDay,
                     d.nHour, d.nMinute, d.nSecond, d.nHundredth);
    } else if (Is(format, kNamedFormat)) {
        std::sprintf(out, "%04hd/%02hd/%02hd-%02hd:%02hd:%02hd:%02hd (j=%03hd) (DoW=%d) %s %s",
                     d.nYear, d.nMonth, d.nDay, d.nHour, d.nMinute, d.nSecond, d.nHundredth,
                     d.nDayOfYear, d.nDayOfWeek, DayName(d.nDayOfWeek), MonthName(d.nMonth));
    } else if (Is(format, kYearDigitFormat)) {
        std::sprintf(out, "%01hd%03hd", static_cast<int16_t>(d.nYear % 10), DayOfYearOf(d));
    } else if (Is(format, kCompactFormat)) {
        int16_t year = d.nYear;
        Year4ToYear2(&year);
        std::sprintf(out, "%02hd%02hd%02hd%02hd%02hd", d.nDay, d.nMonth, year, d.nHour, d.nMinute);
    } else {
        return false;
    }
    return true;
}

// Year digit and day of year; the decade is the current one.
void ScanYearDigit(const char* text, MsgDate* date)
{
    int16_t digit = 0;
    int16_t day_of_year = 0;
    // NOLINTNEXTLINE(cert-err34-c): one and three digits cannot overflow int16_t
    const int read = std::sscanf(text, "%1hd%3hd", &digit, &day_of_year);
    if (read < 1)
        return;
    MsgDate now{};
    ReadAppDateTime(&now);
    date->nYear = static_cast<int16_t>(now.nYear - now.nYear % 10 + digit);
    if (read < 2)
        return;
    uint16_t month = 0;
    uint16_t day = 0;
    if (ConvJulCal(date->nYear, day_of_year, &month, &day)) {
        date->nMonth = static_cast<int16_t>(month);
        date->nDay = static_cast<int16_t>(day);
    }
}

// Fills the fields the known format reads; fields the text does not reach stay 0, so the
// count of fields read is not needed, and no field is wider than four digits, so none overflows.
// NOLINTBEGIN(cert-err33-c,cert-err34-c)
void Scan(const char* text, const char* format, MsgDate* d)
{
    if (Is(format, kStampFormat)) {
        char ignored = 0;
        std::sscanf(text, "%c%4hd/%2hd/%2hd-%2hd:%2hd:%2hd", &ignored, &d->nYear, &d->nMonth,
                    &d->nDay, &d->nHour, &d->nMinute, &d->nSecond);
    } else if (Is(format, kSecondFormat)) {
        std::sscanf(text, "%4hd/%2hd/%2hd-%2hd:%2hd:%2hd", &d->nYear, &d->nMonth, &d->nDay,
                    &d->nHour, &d->nMinute, &d->nSecond);
    } else if (Is(format, kYearDigitFormat)) {
        ScanYearDigit(text, d);
    } else if (Is(format, kCompactFormat)) {
        std::sscanf(text, "%2hd%2hd%2hd%2hd%2hd", &d->nDay, &d->nMonth, &d->nYear, &d->nHour,
                    &d->nMinute);
        Year2ToYear4(&d->nYear);
    }
}
// NOLINTEND(cert-err33-c,cert-err34-c)

}  // namespace
}  // namespace kerval::date

extern "C" {

char* DateToChar(const MsgDate* pxDate, char* pszOut, const char* pszFormat)
{
    if (pxDate != nullptr && pszOut != nullptr)
        kerval::date::Print(*pxDate, pszOut, pszFormat);
    return pszOut;
}

void CharToDate(const char* pszText, const char* pszFormat, MsgDate* pxDate)
{
    if (pxDate == nullptr)
        return;
    *pxDate = MsgDate{};
    if (pszText != nullptr)
        kerval::date::Scan(pszText, pszFormat, pxDate);
    pxDate->nHundredth = 0;
    kerval::date::RefreshDayFields(pxDate);
}

char* StrDateCour(char* pszOut)
{
    MsgDate now{};
    ReadAppDateTime(&now);
    return DateToChar(&now, pszOut, "%c%04hd/%02hd/%02hd-%02hd:%02hd:%02hd");
}

}  // extern "C"
