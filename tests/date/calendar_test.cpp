#include <gtest/gtest.h>

#include "civil.h"
#include "kerval/kerval.h"
#include "kerval/platform/platform.h"

namespace {

using civil::Date;

TEST(Calendar, InitDateWritesEveryWildcard)
{
    MsgDate date{1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_TRUE(InitDate(&date));
    const int16_t expected[9] = {0, 13, 32, 25, 60, 60, 100, 367, 8};
    EXPECT_EQ(0, memcmp(&date, expected, sizeof expected));
    EXPECT_FALSE(InitDate(nullptr));
}

TEST(Calendar, LeapYearsFollowTheGregorianRule)
{
    for (int year = 1900; year <= 2100; ++year) {
        const bool leap =
            civil::DaysFromCivil(year + 1, 1, 1) - civil::DaysFromCivil(year, 1, 1) == 366;
        EXPECT_EQ(leap, Bisextile(static_cast<int16_t>(year)) != 0) << year;
    }
    EXPECT_FALSE(Bisextile(1900));
    EXPECT_TRUE(Bisextile(2000));
    EXPECT_FALSE(Bisextile(2100));
}

// Every day from 1900 to 2100: day of year, day of week and the way back from the day of year.
TEST(Calendar, DayOfYearAndWeekMatchAnIndependentCalendar)
{
    for (int y = 1900; y <= 2100; ++y) {
        for (int m = 1; m <= 12; ++m) {
            for (int d = 1; d <= civil::DaysInMonth(y, m); ++d) {
                const auto expected_doy =
                    civil::DaysFromCivil(y, m, d) - civil::DaysFromCivil(y, 1, 1) + 1;
                const auto y16 = static_cast<int16_t>(y);
                ASSERT_EQ(expected_doy,
                          JulianDay(y16, static_cast<int16_t>(m), static_cast<int16_t>(d)))
                    << y << "-" << m << "-" << d;
                uint16_t doy = 0, dow = 0;
                DayOfWeekAndYear(static_cast<uint16_t>(y), static_cast<uint16_t>(m),
                                 static_cast<uint16_t>(d), &doy, &dow);
                ASSERT_EQ(expected_doy, doy);
                ASSERT_EQ(civil::Weekday(y, m, d), dow) << y << "-" << m << "-" << d;
                uint16_t month = 0, day = 0;
                ASSERT_TRUE(ConvJulCal(y16, static_cast<int16_t>(doy), &month, &day));
                ASSERT_EQ(m, month);
                ASSERT_EQ(d, day);
            }
        }
    }
}

TEST(Calendar, ConvJulCalRefusesDaysOutsideTheYearAndLeavesOutputs)
{
    uint16_t month = 77, day = 77;
    EXPECT_FALSE(ConvJulCal(2001, 366, &month, &day));
    EXPECT_FALSE(ConvJulCal(2000, 367, &month, &day));
    EXPECT_FALSE(ConvJulCal(2000, 0, &month, &day));
    EXPECT_FALSE(ConvJulCal(2000, -5, &month, &day));
    EXPECT_EQ(77, month);
    EXPECT_EQ(77, day);
    ASSERT_TRUE(ConvJulCal(2000, 366, &month, &day));
    EXPECT_EQ(12, month);
    EXPECT_EQ(31, day);
    ASSERT_TRUE(ConvJulCal(2000, 60, &month, &day));
    EXPECT_EQ(2, month);
    EXPECT_EQ(29, day);
}

TEST(Calendar, MonthOutsideTheYearGivesNoDayFieldsAndReadsNoTable)
{
    EXPECT_EQ(0, JulianDay(2000, 0, 0));
    uint16_t doy = 9, dow = 9;
    DayOfWeekAndYear(0, 0, 0, &doy, &dow);
    EXPECT_EQ(0, doy);
    EXPECT_EQ(0, dow);
    DayOfWeekAndYear(2000, 13, 32, &doy, &dow);
    EXPECT_EQ(0, doy);
    EXPECT_EQ(0, dow);
}

TEST(Calendar, TwoDigitYearsPivotAt81)
{
    for (int16_t y = 0; y <= 99; ++y) {
        int16_t year = y;
        Year2ToYear4(&year);
        EXPECT_EQ(y >= 81 ? 1900 + y : 2000 + y, year) << y;
        Year4ToYear2(&year);
        EXPECT_EQ(y, year);
    }
}

TEST(Calendar, NamesMatchExactlyInUpperCase)
{
    const char* days[] = {"MON", "TUE", "WED", "THU", "FRI", "SAT", "SUN"};
    const char* months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                            "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    uint16_t value = 0;
    for (int i = 0; i < 7; ++i) {
        ASSERT_TRUE(LiteralDayToEnum(days[i], &value));
        EXPECT_EQ(i + 1, value);
    }
    for (int i = 0; i < 12; ++i) {
        ASSERT_TRUE(LiteralMonthToEnum(months[i], &value));
        EXPECT_EQ(i + 1, value);
    }
    value = 99;
    EXPECT_FALSE(LiteralDayToEnum("mon", &value));
    EXPECT_FALSE(LiteralDayToEnum("Monday", &value));
    EXPECT_FALSE(LiteralMonthToEnum("Dec", &value));
    EXPECT_FALSE(LiteralMonthToEnum("DECEMBER", &value));
    EXPECT_FALSE(LiteralMonthToEnum(nullptr, &value));
    EXPECT_FALSE(LiteralMonthToEnum("DEC", nullptr));
    EXPECT_EQ(99, value);
}

// Conversions in a zone fixed for this process.
class ZonedCalendar : public ::testing::Test {
protected:
    void SetZone(const char* tz) { ASSERT_TRUE(kerval::platform::set_time_zone(tz)); }
};

TEST_F(ZonedCalendar, SecondsMatchAnIndependentCountInUtc)
{
    SetZone("UTC0");
    for (int y = 1970; y <= 2100; ++y) {
        for (int m = 1; m <= 12; m += 5) {
            const int d = 1 + (y * 7 + m) % 28;
            const MsgDate date = Date(static_cast<int16_t>(y), static_cast<int16_t>(m),
                                      static_cast<int16_t>(d), 13, 47, 29);
            const int64_t expected =
                civil::DaysFromCivil(y, m, d) * 86400 + 13 * 3600 + 47 * 60 + 29;
            ASSERT_EQ(expected, MsgDateToSecond(&date)) << y << "-" << m << "-" << d;
        }
    }
    const MsgDate leap_second = Date(2000, 12, 31, 23, 59, 60);
    EXPECT_EQ(civil::DaysFromCivil(2001, 1, 1) * 86400, MsgDateToSecond(&leap_second));
    EXPECT_EQ(-1, MsgDateToSecond(nullptr));
}

TEST_F(ZonedCalendar, SecondsFollowTheLocalZone)
{
    SetZone("XST-3");
    const MsgDate date = Date(2001, 5, 15, 2, 0, 0);
    EXPECT_EQ(civil::DaysFromCivil(2001, 5, 14) * 86400 + 23 * 3600, MsgDateToSecond(&date));
}

// Around the change back to standard time a record converts to one instant, whether a summer
// or a winter date was converted just before.
TEST_F(ZonedCalendar, RecordConvertsToOneInstantWhateverWasConvertedBefore)
{
    SetZone("CET-1CEST,M3.5.0,M10.5.0/3");
    const MsgDate summer = Date(2023, 7, 1, 12);
    const MsgDate winter = Date(2023, 1, 1, 12);
    int repeated_hours = 0;
    for (int16_t day = 20; day <= 31 + 10; ++day) {
        const int16_t month = day <= 31 ? 10 : 11;
        const int16_t mday = day <= 31 ? day : static_cast<int16_t>(day - 31);
        for (int16_t hour = 0; hour <= 3; ++hour) {
            const MsgDate date = Date(2023, month, mday, hour, 30);
            MsgDateToSecond(&summer);
            const int64_t after_summer = MsgDateToSecond(&date);
            MsgDateToSecond(&winter);
            const int64_t after_winter = MsgDateToSecond(&date);
            ASSERT_EQ(after_summer, after_winter) << month << "-" << mday << " " << hour;
            const MsgDate next = Date(2023, month, mday, static_cast<int16_t>(hour + 1), 30);
            if (MsgDateToSecond(&next) - after_summer == 7200)
                ++repeated_hours;
        }
    }
    EXPECT_EQ(1, repeated_hours) << "the zone's change back to standard time was not met";
}

TEST_F(ZonedCalendar, PlausibleDatesRunFrom1995To2069Inclusive)
{
    for (const char* tz : {"UTC0", "XST-3", "YST5"}) {
        SetZone(tz);
        const MsgDate before = Date(1994, 12, 31, 23, 59, 59);
        const MsgDate first = Date(1995, 1, 1);
        const MsgDate last = Date(2069, 12, 31, 23, 59, 59);
        const MsgDate after = Date(2070, 1, 1);
        const MsgDate middle = Date(2045, 6, 15, 12);
        EXPECT_FALSE(IsDate(&before)) << tz;
        EXPECT_TRUE(IsDate(&first)) << tz;
        EXPECT_TRUE(IsDate(&middle)) << tz;
        EXPECT_TRUE(IsDate(&last)) << tz;
        EXPECT_FALSE(IsDate(&after)) << tz;
    }
    EXPECT_FALSE(IsDate(nullptr));
}

TEST_F(ZonedCalendar, AddingDaysAndHoursMovesForwardAndRecomputesDayFields)
{
    SetZone("UTC0");
    MsgDate date = Date(2000, 2, 28, 12);
    date.nHundredth = 42;
    AddDayToDate(&date, 1);
    EXPECT_EQ(2000, date.nYear);
    EXPECT_EQ(2, date.nMonth);
    EXPECT_EQ(29, date.nDay);
    EXPECT_EQ(12, date.nHour);
    EXPECT_EQ(60, date.nDayOfYear);
    EXPECT_EQ(2, date.nDayOfWeek);
    EXPECT_EQ(42, date.nHundredth);

    date = Date(2000, 10, 3, 14, 5, 9);
    AddDayToDate(&date, 0);
    EXPECT_EQ(277, date.nDayOfYear);
    EXPECT_EQ(2, date.nDayOfWeek);

    date = Date(1999, 12, 31, 23, 10, 5);
    AddHourToDate(&date, 1);
    EXPECT_EQ(2000, date.nYear);
    EXPECT_EQ(1, date.nMonth);
    EXPECT_EQ(1, date.nDay);
    EXPECT_EQ(0, date.nHour);
    EXPECT_EQ(10, date.nMinute);
    EXPECT_EQ(5, date.nSecond);
    EXPECT_EQ(6, date.nDayOfWeek);

    date = Date(2000, 1, 1);
    AddDayToDate(&date, 65535);
    const int64_t days = civil::DaysFromCivil(2000, 1, 1) + 65535;
    const MsgDate expected = Date(2179, 6, 6);
    EXPECT_EQ(days, civil::DaysFromCivil(expected.nYear, expected.nMonth, expected.nDay));
    EXPECT_EQ(expected.nYear, date.nYear);
    EXPECT_EQ(expected.nMonth, date.nMonth);
    EXPECT_EQ(expected.nDay, date.nDay);
    AddDayToDate(nullptr, 1);
}

}  // namespace
