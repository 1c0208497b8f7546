// Calendar rules, conversions to seconds in a local zone, and dates against wildcard patterns.
#include "tests/date/date_support.h"

namespace {

using civil::Date;
using civil::Fields;

// Every day from 1900 to 2100: leap years, day of year and back, day of week.
TEST(Calendar, DayFieldsMatchAnIndependentCalendar) {
    for (int y = 1900; y <= 2100; ++y) {
        const int days_in_year = civil::DayOfYear(y, 12, 31);
        ASSERT_EQ(days_in_year == 366, Bisextile(int16_t(y)) != 0) << y;
        for (int doy = 1, m = 1; doy <= days_in_year; ++doy) {
            const int64_t days = civil::DaysFromCivil(y, 1, 1) + doy - 1;
            m += m < 12 && civil::DaysFromCivil(y, m + 1, 1) == days;
            const int d = int(days - civil::DaysFromCivil(y, m, 1)) + 1;
            ASSERT_EQ(doy, JulianDay(int16_t(y), int16_t(m), int16_t(d)))
                << y << "-" << m << "-" << d;
            uint16_t lib_doy = 0, dow = 0, month = 0, day = 0;
            DayOfWeekAndYear(uint16_t(y), uint16_t(m), uint16_t(d), &lib_doy, &dow);
            ASSERT_EQ(doy * 10 + civil::Weekday(y, m, d), lib_doy * 10 + dow) << y << "-" << doy;
            ASSERT_TRUE(ConvJulCal(int16_t(y), int16_t(doy), &month, &day));
            ASSERT_EQ(m * 100 + d, month * 100 + day) << y << " " << doy;
        }
    }
}

TEST(Calendar, OutOfRangeIsRefusedTwoDigitYearsPivotAt81AndNamesMatchInUpperCase) {
    uint16_t month = 77, day = 77, doy = 9, dow = 9;
    for (const auto& [year, bad_day] : {std::pair{2001, 366}, {2000, 367}, {2000, 0}, {2000, -5}})
        EXPECT_FALSE(ConvJulCal(int16_t(year), int16_t(bad_day), &month, &day)) << bad_day;
    EXPECT_EQ(7777, month * 100 + day);
    EXPECT_EQ(0, JulianDay(2000, 0, 0));
    for (uint16_t bad_month : {0, 13}) {
        DayOfWeekAndYear(2000, bad_month, 1, &doy, &dow);
        EXPECT_EQ(0, doy + dow) << bad_month;
    }
    EXPECT_FALSE(InitDate(nullptr));
    for (int16_t y = 0; y <= 99; ++y) {
        int16_t year = y;
        Year2ToYear4(&year);
        EXPECT_EQ(y >= 81 ? 1900 + y : 2000 + y, year) << y;
        Year4ToYear2(&year);
        EXPECT_EQ(y, year);
    }
    const char* names[] = {"MON", "TUE", "WED", "THU", "FRI", "SAT", "SUN", "JAN", "FEB", "MAR",
                           "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    uint16_t value = 0;
    for (int i = 0; i < 19; ++i) {
        ASSERT_TRUE(i < 7 ? LiteralDayToEnum(names[i], &value)
                          : LiteralMonthToEnum(names[i], &value));
        EXPECT_EQ(i < 7 ? i + 1 : i - 6, value) << names[i];
    }
    value = 99;
    EXPECT_FALSE(LiteralDayToEnum("mon", &value) || LiteralDayToEnum("Monday", &value) ||
                 LiteralMonthToEnum("Dec", &value) || LiteralMonthToEnum("DECEMBER", &value) ||
                 LiteralMonthToEnum(nullptr, &value) || LiteralMonthToEnum("DEC", nullptr));
    EXPECT_EQ(99, value);
}

TEST(ZonedCalendar, SecondsMatchAnIndependentCountInTheLocalZone) {
    for (const auto& [tz, offset] : {std::pair{"UTC0", 0}, {"XST-3", 3 * 3600}}) {
        ASSERT_TRUE(kp::set_time_zone(tz));
        for (int y = 1970; y <= 2100; ++y)
            for (int m = 1; m <= 12; m += 5) {
                const int d = 1 + (y * 7 + m) % 28;
                const MsgDate date = Date(y, m, d, 13, 47, 29);
                ASSERT_EQ(civil::DaysFromCivil(y, m, d) * 86400 + 49649 - offset,
                          MsgDateToSecond(&date))
                    << tz << " " << y << "-" << m;
            }
    }
    const MsgDate leap_second = Date(2000, 12, 31, 23, 59, 60);
    EXPECT_EQ(civil::DaysFromCivil(2001, 1, 1) * 86400 - 3 * 3600, MsgDateToSecond(&leap_second));
    EXPECT_EQ(-1, MsgDateToSecond(nullptr));
}

// Around the change back to standard time a record converts to one instant whatever came before.
// The Windows runtime changes on its own date: the walk runs from 20 October to 10 November.
TEST(ZonedCalendar, RecordConvertsToOneInstantWhateverWasConvertedBefore) {
    ASSERT_TRUE(kp::set_time_zone("CET-1CEST,M3.5.0,M10.5.0/3"));
    const MsgDate summer = Date(2023, 7, 1, 12), winter = Date(2023, 1, 1, 12);
    int repeated_hours = 0;
    for (int day = 20; day <= 41; ++day) {
        const int month = day > 31 ? 11 : 10, mday = day > 31 ? day - 31 : day;
        for (int hour = 0; hour <= 3; ++hour) {
            const MsgDate date = Date(2023, month, mday, hour, 30),
                          next = Date(2023, month, mday, hour + 1, 30);
            MsgDateToSecond(&summer);
            const int64_t after_summer = MsgDateToSecond(&date);
            MsgDateToSecond(&winter);
            ASSERT_EQ(after_summer, MsgDateToSecond(&date)) << month << "-" << mday << " " << hour;
            repeated_hours += MsgDateToSecond(&next) - after_summer == 7200;
        }
    }
    EXPECT_EQ(1, repeated_hours) << "the zone's change back to standard time was not met";
}

TEST(ZonedCalendar, PlausibleDatesRunFrom1995To2069Inclusive) {
    const MsgDate cases[] = {Date(1994, 12, 31, 23, 59, 59), Date(1995, 1, 1), Date(2045, 6, 15),
                             Date(2069, 12, 31, 23, 59, 59), Date(2070, 1, 1)};
    for (const char* tz : {"UTC0", "XST-3", "YST5"}) {
        ASSERT_TRUE(kp::set_time_zone(tz));
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(i % 4 != 0, IsDate(&cases[i]) != 0) << tz << " " << cases[i].nYear;
    }
    EXPECT_FALSE(IsDate(nullptr));
}

TEST(ZonedCalendar, AddingDaysAndHoursMovesForwardAndRecomputesDayFields) {
    ASSERT_TRUE(kp::set_time_zone("UTC0"));
    MsgDate date = Date(2000, 2, 28, 12), expected = civil::Full(2000, 2, 29, 12);
    date.nHundredth = expected.nHundredth = 42;
    AddDayToDate(&date, 1);
    EXPECT_EQ(Fields(expected), Fields(date));
    date = Date(1999, 12, 31, 23, 10, 5);
    AddHourToDate(&date, 1);
    EXPECT_EQ(Fields(civil::Full(2000, 1, 1, 0, 10, 5)), Fields(date));
    date = Date(2000, 1, 1);
    AddDayToDate(&date, 65535);  // 2179-06-06
    EXPECT_EQ(Fields(civil::Full(2179, 6, 6)), Fields(date));
    AddDayToDate(nullptr, 1);
}

MsgDate Pattern(std::initializer_list<std::pair<int16_t MsgDate::*, int>> fields = {}) {
    MsgDate pattern;
    InitDate(&pattern);
    for (const auto& [field, value] : fields) pattern.*field = int16_t(value);
    return pattern;
}

// Answers InfOrEgal and SupOrEgal as two digits, e.g. 10 for a date before the pattern.
int Order(const MsgDate& date, const MsgDate& pattern) {
    return (InfOrEgal(&date, &pattern) ? 10 : 0) + (SupOrEgal(&date, &pattern) ? 1 : 0);
}

// Field by field from year to second, -1 answering as equal; against a pattern of wildcards.
TEST(DatePattern, FirstDifferingFieldDecidesAndWildcardsMatch) {
    const int cases[][3] = {{-1, 5, 0}, {5, -1, 0}, {3, 5, -1}, {5, 3, 1}, {4, 4, 0}, {-2, 0, -1}};
    for (const auto& c : cases)
        EXPECT_EQ(c[2], CompareDateField(int16_t(c[0]), int16_t(c[1]))) << c[0] << " " << c[1];
    const MsgDate date = Date(2001, 5, 15, 10);
    MsgDate any_hour = date, other_extras{2001, 5, 15, 10, 0, 0, 99, 1, 7};
    any_hour.nHour = -1;
    const MsgDate just_before = Date(2001, 5, 15, 9, 59, 59), next_year = Date(2002, 1, 1);
    EXPECT_EQ(0, FinalInitialDate(&date, &any_hour));
    EXPECT_EQ(0, FinalInitialDate(&date, &other_extras));
    EXPECT_EQ(1, FinalInitialDate(&date, &just_before));
    EXPECT_EQ(-1, FinalInitialDate(&just_before, &date));
    EXPECT_EQ(-1, FinalInitialDate(&date, &next_year));
    EXPECT_EQ(11, Order(Date(2069, 12, 31, 23, 59, 59), Pattern()));
    MsgDate pattern =
        Pattern({{&MsgDate::nYear, 2001}, {&MsgDate::nMonth, 6}, {&MsgDate::nMinute, 30}});
    EXPECT_EQ(10, Order(Date(2001, 5, 31, 23, 59), pattern));  // earlier month, later minute
    EXPECT_EQ(10, Order(Date(2001, 6, 1, 23, 29), pattern));
    EXPECT_EQ(11, Order(Date(2001, 6, 17, 3, 30, 59), pattern));
    EXPECT_EQ(1, Order(Date(2001, 7, 1), pattern));
    EXPECT_FALSE(InfOrEgal(nullptr, &pattern) || SupOrEgal(&pattern, nullptr));
    // 2001-05-15 is a Tuesday; the record's own day of week is wrong on purpose.
    pattern = Pattern({{&MsgDate::nDayOfWeek, 1}, {&MsgDate::nHour, 8}});
    MsgDate tuesday_early = Date(2001, 5, 15, 7);
    tuesday_early.nDayOfWeek = 1;
    EXPECT_EQ(1, Order(tuesday_early, pattern)) << "day of week is compared before the hour";
    EXPECT_EQ(1, Order(Date(2001, 5, 14, 9), pattern));
}

TEST(DatePattern, IntervalsIncludeTheWholeLastHourAndDay) {
    const MsgDate hours[2] = {Pattern({{&MsgDate::nHour, 8}}), Pattern({{&MsgDate::nHour, 17}})},
                  days[2] = {Pattern({{&MsgDate::nDayOfWeek, 1}}),
                             Pattern({{&MsgDate::nDayOfWeek, 5}})};
    const auto in = [](const MsgDate& date, const MsgDate* interval) {
        return IsInInterval(&date, interval) != 0;
    };
    for (const auto& [hour, minute, second, inside] :
         {std::tuple{7, 59, 59, false}, {8, 0, 0, true}, {17, 59, 59, true}, {18, 0, 0, false}})
        EXPECT_EQ(inside, in(Date(2001, 5, 15, hour, minute, second), hours)) << hour;
    EXPECT_FALSE(IsInInterval(nullptr, hours) || IsInInterval(&hours[0], nullptr));
    for (int day = 1; day <= 14; ++day)
        for (int hour : {0, 12, 23})
            EXPECT_EQ(civil::Weekday(2001, 10, day) <= 5,
                      in(Date(2001, 10, day, hour, 59, 59), days));
}

}  // namespace
