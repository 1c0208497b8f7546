#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "civil.h"
#include "fake_clock.h"
#include "kerval/kerval.h"

namespace {

constexpr const char* kStamp = "%c%04hd/%02hd/%02hd-%02hd:%02hd:%02hd";
constexpr const char* kSeconds = "%04hd/%02hd/%02hd-%02hd:%02hd:%02hd";
constexpr const char* kHundredths = "%04hd/%02hd/%02hd-%02hd:%02hd:%02hd:%02hd";
constexpr const char* kNamed = "%04hd/%02hd/%02hd-%02hd:%02hd:%02hd:%02hd (j=%03hd) (DoW=%d) %s %s";
constexpr const char* kYearDigit = "%01hd%03hd";
constexpr const char* kCompact = "%02hd%02hd%02hd%02hd%02hd";

MsgDate Sample()
{
    return MsgDate{2000, 10, 3, 14, 5, 9, 27, 277, 2};
}

std::string Text(const MsgDate& date, const char* format)
{
    char out[128];
    std::memset(out, '#', sizeof out);
    out[sizeof out - 1] = '\0';
    EXPECT_EQ(out, DateToChar(&date, out, format));
    return out;
}

MsgDate Read(const char* text, const char* format)
{
    MsgDate date{9, 9, 9, 9, 9, 9, 9, 9, 9};
    CharToDate(text, format, &date);
    return date;
}

void ExpectDate(const MsgDate& date, int y, int mo, int d, int h, int mi, int s)
{
    EXPECT_EQ(y, date.nYear);
    EXPECT_EQ(mo, date.nMonth);
    EXPECT_EQ(d, date.nDay);
    EXPECT_EQ(h, date.nHour);
    EXPECT_EQ(mi, date.nMinute);
    EXPECT_EQ(s, date.nSecond);
    EXPECT_EQ(0, date.nHundredth);
    if (mo >= 1 && mo <= 12) {
        EXPECT_EQ(civil::DaysFromCivil(y, mo, d) - civil::DaysFromCivil(y, 1, 1) + 1,
                  date.nDayOfYear);
        EXPECT_EQ(civil::Weekday(y, mo, d), date.nDayOfWeek);
    }
}

TEST(DateText, EachFormatWritesItsLayout)
{
    const MsgDate date = Sample();
    EXPECT_EQ("W2000/10/03-14:05:09", Text(date, kStamp));
    EXPECT_EQ("2000/10/03-14:05:09", Text(date, kSeconds));
    EXPECT_EQ("2000/10/03-14:05:09:27", Text(date, kHundredths));
    EXPECT_EQ("2000/10/03-14:05:09:27 (j=277) (DoW=2) TUE OCT", Text(date, kNamed));
    EXPECT_EQ("0277", Text(date, kYearDigit));
    EXPECT_EQ("0310001405", Text(date, kCompact));
    // Day of year from year, month and day, not from the record, which stays as it was.
    MsgDate end_of_decade{2019, 12, 31, 8, 7, 0, 0, 1, 1};
    const MsgDate before = end_of_decade;
    EXPECT_EQ("9365", Text(end_of_decade, kYearDigit));
    EXPECT_EQ("3112190807", Text(end_of_decade, kCompact));
    EXPECT_EQ(0, std::memcmp(&before, &end_of_decade, sizeof before));
    MsgDate pattern;
    InitDate(&pattern);
    EXPECT_EQ("0000/13/32-25:60:60:100 (j=367) (DoW=8) ??? ???", Text(pattern, kNamed));
}

TEST(DateText, UnknownFormatLeavesTheBufferUntouched)
{
    const MsgDate date = Sample();
    char out[32] = "untouched";
    DateToChar(&date, out, "%04hd/%02hd/%02hd-%02hd:%02hd:%02d");
    EXPECT_STREQ("untouched", out);
    DateToChar(&date, out, nullptr);
    EXPECT_STREQ("untouched", out);
    EXPECT_EQ(out, DateToChar(nullptr, out, kSeconds));
}

TEST(DateText, SlashFormatsReadBack)
{
    ExpectDate(Read("2000/10/03-14:05:09", kSeconds), 2000, 10, 3, 14, 5, 9);
    ExpectDate(Read("X2001/02/03-04:05:06", kStamp), 2001, 2, 3, 4, 5, 6);
    ExpectDate(Read("W2001/02/03-04:05:06", kStamp), 2001, 2, 3, 4, 5, 6);
    const MsgDate sample = Sample();
    ExpectDate(Read(Text(sample, kStamp).c_str(), kStamp), 2000, 10, 3, 14, 5, 9);
    const MsgDate stopped = Read("2001/05", kSeconds);
    ExpectDate(stopped, 2001, 5, 0, 0, 0, 0);
}

TEST(DateText, CompactFormatReadsBackWithTheYearPivot)
{
    ExpectDate(Read("3112991830", kCompact), 1999, 12, 31, 18, 30, 0);
    ExpectDate(Read("0101001200", kCompact), 2000, 1, 1, 12, 0, 0);
    ExpectDate(Read("2902801159", kCompact), 2080, 2, 29, 11, 59, 0);
}

TEST(DateText, FormatsThatAreNotReadGiveAZeroRecord)
{
    const MsgDate zero{};
    for (const char* format : {kHundredths, kNamed, "%d", static_cast<const char*>(nullptr)}) {
        const MsgDate date = Read("2000/10/03-14:05:09:27", format);
        EXPECT_EQ(0, std::memcmp(&zero, &date, sizeof date)) << (format ? format : "null");
    }
}

TEST(DateText, YearDigitTakesTheDecadeOfTheClock)
{
    fake_clock::Install(2004, 6, 1, 10);
    ExpectDate(Read("0277", kYearDigit), 2000, 10, 3, 0, 0, 0);
    ExpectDate(Read("9365", kYearDigit), 2009, 12, 31, 0, 0, 0);
    fake_clock::Install(2010, 1, 1);
    ExpectDate(Read("0277", kYearDigit), 2010, 10, 4, 0, 0, 0);
    fake_clock::Install(2019, 12, 31, 23, 59, 59);
    ExpectDate(Read("0277", kYearDigit), 2010, 10, 4, 0, 0, 0);
    fake_clock::Install(2024, 3, 1);
    ExpectDate(Read("4060", kYearDigit), 2024, 2, 29, 0, 0, 0);
    const MsgDate impossible = Read("3366", kYearDigit);
    EXPECT_EQ(2023, impossible.nYear);
    EXPECT_EQ(0, impossible.nMonth);
    EXPECT_EQ(0, impossible.nDay);
    fake_clock::Remove();
}

TEST(DateText, CurrentStampComesFromTheClock)
{
    fake_clock::Install(2000, 10, 3, 14, 5, 9, 990);
    char out[32];
    EXPECT_EQ(out, StrDateCour(out));
    EXPECT_STREQ("W2000/10/03-14:05:09", out);
    fake_clock::Remove();
}

}  // namespace
