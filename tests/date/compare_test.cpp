#include <gtest/gtest.h>

#include "civil.h"
#include "kerval/kerval.h"

namespace {

using civil::Date;

MsgDate Pattern()
{
    MsgDate pattern;
    InitDate(&pattern);
    return pattern;
}

TEST(DatePattern, WildcardPatternMatchesEveryDateBothWays)
{
    const MsgDate any = Pattern();
    for (const MsgDate& date :
         {Date(1995, 1, 1), Date(2069, 12, 31, 23, 59, 59), Date(2001, 5, 15, 10)}) {
        EXPECT_TRUE(InfOrEgal(&date, &any));
        EXPECT_TRUE(SupOrEgal(&date, &any));
    }
}

TEST(DatePattern, FirstDifferingFieldDecidesAndLaterFieldsAreIgnored)
{
    MsgDate pattern = Pattern();
    pattern.nYear = 2001;
    pattern.nMonth = 6;
    pattern.nMinute = 30;
    const MsgDate earlier_month_later_minute = Date(2001, 5, 31, 23, 59);
    EXPECT_TRUE(InfOrEgal(&earlier_month_later_minute, &pattern));
    EXPECT_FALSE(SupOrEgal(&earlier_month_later_minute, &pattern));
    const MsgDate same_month_earlier_minute = Date(2001, 6, 1, 23, 29);
    EXPECT_TRUE(InfOrEgal(&same_month_earlier_minute, &pattern));
    EXPECT_FALSE(SupOrEgal(&same_month_earlier_minute, &pattern));
    const MsgDate equal_on_every_compared_field = Date(2001, 6, 17, 3, 30, 59);
    EXPECT_TRUE(InfOrEgal(&equal_on_every_compared_field, &pattern));
    EXPECT_TRUE(SupOrEgal(&equal_on_every_compared_field, &pattern));
    EXPECT_FALSE(InfOrEgal(nullptr, &pattern));
    EXPECT_FALSE(SupOrEgal(&equal_on_every_compared_field, nullptr));
}

// 2001-05-15 is a Tuesday; the record's own day of week is wrong on purpose.
TEST(DatePattern, DayOfWeekIsComputedAndComparedBeforeTheHour)
{
    MsgDate pattern = Pattern();
    pattern.nDayOfWeek = 1;
    pattern.nHour = 8;
    MsgDate tuesday_early = Date(2001, 5, 15, 7);
    tuesday_early.nDayOfWeek = 1;
    EXPECT_TRUE(SupOrEgal(&tuesday_early, &pattern));
    EXPECT_FALSE(InfOrEgal(&tuesday_early, &pattern));
    const MsgDate monday_late = Date(2001, 5, 14, 9);
    EXPECT_TRUE(SupOrEgal(&monday_late, &pattern));
    EXPECT_FALSE(InfOrEgal(&monday_late, &pattern));
}

TEST(DatePattern, WorkingHoursIntervalIncludesWholeLastHour)
{
    MsgDate interval[2] = {Pattern(), Pattern()};
    interval[0].nHour = 8;
    interval[1].nHour = 17;
    const MsgDate before = Date(2001, 5, 15, 7, 59, 59);
    const MsgDate start = Date(2001, 5, 15, 8);
    const MsgDate end = Date(2001, 5, 15, 17, 59, 59);
    const MsgDate after = Date(2001, 5, 15, 18);
    EXPECT_FALSE(IsInInterval(&before, interval));
    EXPECT_TRUE(IsInInterval(&start, interval));
    EXPECT_TRUE(IsInInterval(&end, interval));
    EXPECT_FALSE(IsInInterval(&after, interval));
    EXPECT_FALSE(IsInInterval(nullptr, interval));
    EXPECT_FALSE(IsInInterval(&start, nullptr));
}

TEST(DatePattern, WorkingDaysIntervalOverAWholeFortnight)
{
    MsgDate interval[2] = {Pattern(), Pattern()};
    interval[0].nDayOfWeek = 1;
    interval[1].nDayOfWeek = 5;
    for (int16_t day = 1; day <= 14; ++day) {
        for (int16_t hour : {0, 12, 23}) {
            const MsgDate date = Date(2001, 10, day, hour, 59, 59);
            const bool working_day = civil::Weekday(2001, 10, day) <= 5;
            EXPECT_EQ(working_day, IsInInterval(&date, interval) != 0) << day << " " << hour;
        }
    }
}

TEST(DateOrder, FieldsOrderFromYearToSecondWithMinusOneAsAny)
{
    EXPECT_EQ(0, CompareDateField(-1, 5));
    EXPECT_EQ(0, CompareDateField(5, -1));
    EXPECT_EQ(-1, CompareDateField(3, 5));
    EXPECT_EQ(1, CompareDateField(5, 3));
    EXPECT_EQ(0, CompareDateField(4, 4));
    EXPECT_EQ(-1, CompareDateField(-2, 0));

    const MsgDate date = Date(2001, 5, 15, 10);
    MsgDate any_hour = date;
    any_hour.nHour = -1;
    EXPECT_EQ(0, FinalInitialDate(&date, &any_hour));
    const MsgDate just_before = Date(2001, 5, 15, 9, 59, 59);
    EXPECT_EQ(1, FinalInitialDate(&date, &just_before));
    EXPECT_EQ(-1, FinalInitialDate(&just_before, &date));
    MsgDate other_extras = date;
    other_extras.nHundredth = 99;
    other_extras.nDayOfWeek = 7;
    other_extras.nDayOfYear = 1;
    EXPECT_EQ(0, FinalInitialDate(&date, &other_extras));
    const MsgDate next_year_earlier_month = Date(2002, 1, 1);
    EXPECT_EQ(-1, FinalInitialDate(&date, &next_year_earlier_month));
}

}  // namespace
