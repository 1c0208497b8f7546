// Date texts: reading any text with every known format and with near-miss formats, writing any
// date record with every format, and the calendar helpers on any field values.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"

namespace {

const char* const kFormats[] = {
    "%c%04hd/%02hd/%02hd-%02hd:%02hd:%02hd",
    "%04hd/%02hd/%02hd-%02hd:%02hd:%02hd",
    "%04hd/%02hd/%02hd-%02hd:%02hd:%02hd:%02hd",
    "%04hd/%02hd/%02hd-%02hd:%02hd:%02hd:%02hd (j=%03hd) (DoW=%d) %s %s",
    "%01hd%03hd",
    "%02hd%02hd%02hd%02hd%02hd",
};

void WriteWithEveryFormat(const MsgDate& date)
{
    for (const char* format : kFormats) {
        char out[160];
        std::memset(out, '#', sizeof out);
        out[sizeof out - 1] = '\0';
        DateToChar(&date, out, format);
        if (std::strlen(out) >= 100)
            std::abort();  // every layout fits well inside the buffer
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const MsgDate date = kvfuzz::AnyDate(in);
    WriteWithEveryFormat(date);
    MsgDate copy = date;
    IsDate(&copy);
    MsgDateToSecond(&copy);
    AddDayToDate(&copy, in.ConsumeIntegral<uint16_t>());
    AddHourToDate(&copy, in.ConsumeIntegral<uint16_t>());
    uint16_t month = 0, day = 0, day_of_year = 0, day_of_week = 0;
    JulianDay(date.nYear, date.nMonth, date.nDay);
    ConvJulCal(date.nYear, date.nDayOfYear, &month, &day);
    DayOfWeekAndYear(static_cast<uint16_t>(date.nYear), static_cast<uint16_t>(date.nMonth),
                     static_cast<uint16_t>(date.nDay), &day_of_year, &day_of_week);
    int16_t year = date.nYear;
    Year2ToYear4(&year);
    Year4ToYear2(&year);

    const std::string name = in.ConsumeRandomLengthString(16);
    uint16_t value = 0;
    LiteralDayToEnum(name.c_str(), &value);
    LiteralMonthToEnum(name.c_str(), &value);

    const std::string text = in.ConsumeRandomLengthString(64);
    std::string near_miss = kFormats[in.ConsumeIntegralInRange<size_t>(0, 5)];
    if (!near_miss.empty() && in.ConsumeBool())
        near_miss[in.ConsumeIntegralInRange<size_t>(0, near_miss.size() - 1)] ^= 1;
    for (const char* format : kFormats) {
        MsgDate read{};
        CharToDate(text.c_str(), format, &read);
        WriteWithEveryFormat(read);
    }
    MsgDate read{};
    CharToDate(text.c_str(), near_miss.c_str(), &read);
    return 0;
}
