// The clock and the application date, time-outs, and dates as text in both directions.
#include "kerval/date/clock.h"
#include "tests/date/date_support.h"

namespace {

using civil::Fields;
using civil::Full;

bool g_privilege_granted = true;

// The fake clock at 2000-10-03 14:05:09.990 (a Tuesday, day 277), privilege as the test says.
struct AppClock : ::testing::Test {
    void SetUp() override {
        kp::seams::set_privilege([](const char*) { return g_privilege_granted; });
    }
    void TearDown() override { kp::seams::set_privilege(nullptr); }
    FakeClock clock_{{2000, 10, 3, 14, 5, 9, 990, 0}};
};

TEST_F(AppClock, ReadingDropsMillisecondsCountersStartAtZeroAndTimeOutsCountWholeSeconds) {
    MsgDate date{};
    EXPECT_EQ(eOK, ReadAppDateTime(&date));
    EXPECT_EQ(Fields(Full(2000, 10, 3, 14, 5, 9)), Fields(date));
    date = MsgDate{2001, 2, 3, 4, 5, 6, 7, 8, 9};
    ForceToVirtualDate(&date);
    EXPECT_EQ(Fields(MsgDate{1995, 5, 15, 0, 0, 0, 7, 8, 9}), Fields(date));
    char stamp[32];
    EXPECT_EQ(stamp, StrDateCour(stamp));
    EXPECT_STREQ("W2000/10/03-14:05:09", stamp);
    int64_t counter = 77;
    GetOffsetSinceStart(&counter);
    EXPECT_EQ(0, counter);
    EXPECT_THAT(CaptureStdoutOf([] { EXPECT_EQ(0.0, GetAbsoluteMsSinceStart()); }),
                HasSubstr("Obsolete (limit\xE9 \xE0 49.5 jours) !"));
    // Time-outs: the frequency is scaled by 1000 so that a "second" lasts 1000 real seconds: the
    // elapsed whole seconds cannot change while the test runs.
    const int64_t frequency = static_cast<int64_t>(kp::perf_frequency()) * 1000,
                  now = static_cast<int64_t>(kp::perf_counter()), zero = 0,
                  nine_and_a_half = now - frequency * 19 / 2,
                  nine_tenths = now - frequency * 9 / 10, future = now + frequency * 100;
    EXPECT_TRUE(IsTimeOutOver(&nine_and_a_half, &frequency, 8999));
    EXPECT_FALSE(IsTimeOutOver(&nine_and_a_half, &frequency, 9000));
    EXPECT_FALSE(IsTimeOutOver(&nine_tenths, &frequency, 0));
    EXPECT_FALSE(IsTimeOutOver(&future, &frequency, 0));
    EXPECT_FALSE(IsTimeOutOver(&nine_and_a_half, &zero, 0));
}

struct AppDate : AppClock {
    void SetUp() override {
        kp::seams::set_manual_tick(true);
        ASSERT_EQ(eOK, StartKerval());
        AppClock::SetUp();
    }
    TempDir dir_;
};

// Hundredths in 0..99 become the clock's milliseconds, others 0; a refused set changes nothing.
TEST_F(AppDate, ClockSetIsKeptAsTheApplicationDateUnlessRefused) {
    MsgDate date{2001, 5, 15, 10, 20, 30, 42, 0, 0};
    ASSERT_EQ(0, WriteAppDateTime(&date));
    const auto& set = clock_.last_set;
    EXPECT_EQ((std::array{2001, 5, 15, 10, 20, 30, 42}),
              (std::array{set.year, set.month, set.day, set.hour, set.minute, set.second,
                          set.milliseconds}));
    const MsgDate kept{2001, 5, 15, 10, 20, 30, 42, 135, 2};
    EXPECT_EQ(Fields(kept), Fields(kerval::date::LoadAppDate()));
    date.nHundredth = 150;
    ASSERT_EQ(0, WriteAppDateTime(&date));
    EXPECT_EQ(0, clock_.last_set.milliseconds);
    g_privilege_granted = false;
    clock_.last_set.year = 0;
    date.nYear = 2002;
    EXPECT_THAT(CaptureStdoutOf([&] { EXPECT_EQ(1, WriteAppDateTime(&date)); }),
                HasSubstr("KERVAL-WriteLocalTime()"));
    EXPECT_EQ(2001, kerval::date::LoadAppDate().nYear);
    EXPECT_EQ(0, clock_.last_set.year) << "the clock was set";
}

// A reader running beside a writer only ever sees one of the records written, never a mix.
TEST_F(AppDate, ReadersNeverSeeAHalfWrittenDate) {
    const MsgDate first{2001, 1, 1, 1, 1, 1, 1, 1, 1}, second{2002, 2, 2, 2, 2, 2, 2, 2, 2};
    kerval::date::StoreAppDate(first);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) kerval::date::StoreAppDate(i % 2 ? first : second);
        done = true;
    });
    int mixed = 0;
    while (!done) {
        const auto seen = Fields(kerval::date::LoadAppDate());
        mixed += seen != Fields(first) && seen != Fields(second);
    }
    writer.join();
    EXPECT_EQ(0, mixed);
}

constexpr const char* kStamp = "%c%04hd/%02hd/%02hd-%02hd:%02hd:%02hd";
constexpr const char* kSeconds = "%04hd/%02hd/%02hd-%02hd:%02hd:%02hd";
constexpr const char* kHundredths = "%04hd/%02hd/%02hd-%02hd:%02hd:%02hd:%02hd";
constexpr const char* kNamed = "%04hd/%02hd/%02hd-%02hd:%02hd:%02hd:%02hd (j=%03hd) (DoW=%d) %s %s";
constexpr const char* kYearDigit = "%01hd%03hd";
constexpr const char* kCompact = "%02hd%02hd%02hd%02hd%02hd";

std::string Text(const MsgDate& date, const char* format) {
    std::string out(127, '#');
    EXPECT_EQ(out.data(), DateToChar(&date, out.data(), format));
    return out.c_str();
}

MsgDate Read(const char* text, const char* format) {
    MsgDate date{9, 9, 9, 9, 9, 9, 9, 9, 9};
    CharToDate(text, format, &date);
    return date;
}

// Writing computes the day of year; reading pivots two-digit years at 81.
TEST(DateText, EachFormatWritesItsLayoutAndTheTextFormatsReadBack) {
    const MsgDate date{2000, 10, 3, 14, 5, 9, 27, 277, 2},
        end_of_decade{2019, 12, 31, 8, 7, 0, 0, 1, 1};
    MsgDate pattern;
    InitDate(&pattern);
    const std::tuple<MsgDate, const char*, const char*> writes[] = {
        {date, kStamp, "W2000/10/03-14:05:09"},
        {date, kSeconds, "2000/10/03-14:05:09"},
        {date, kHundredths, "2000/10/03-14:05:09:27"},
        {date, kNamed, "2000/10/03-14:05:09:27 (j=277) (DoW=2) TUE OCT"},
        {pattern, kNamed, "0000/13/32-25:60:60:100 (j=367) (DoW=8) ??? ???"},
        {date, kYearDigit, "0277"},
        {end_of_decade, kYearDigit, "9365"},
        {date, kCompact, "0310001405"},
        {end_of_decade, kCompact, "3112190807"}};
    for (const auto& [record, format, expected] : writes) EXPECT_EQ(expected, Text(record, format));
    char out[32] = "untouched";
    DateToChar(&date, out, "%04hd/%02hd/%02hd-%02hd:%02hd:%02d");
    DateToChar(&date, out, nullptr);
    EXPECT_STREQ("untouched", out);
    EXPECT_EQ(out, DateToChar(nullptr, out, kSeconds));

    const std::pair<MsgDate, MsgDate> reads[] = {
        {Read("2000/10/03-14:05:09", kSeconds), Full(2000, 10, 3, 14, 5, 9)},
        {Read("X2001/02/03-04:05:06", kStamp), Full(2001, 2, 3, 4, 5, 6)},
        {Read("2001/05", kSeconds), Full(2001, 5, 0)},
        {Read("3112991830", kCompact), Full(1999, 12, 31, 18, 30)},
        {Read("0101001200", kCompact), Full(2000, 1, 1, 12)},
        {Read("2902801159", kCompact), Full(2080, 2, 29, 11, 59)}};
    for (const auto& [read, expected] : reads) EXPECT_EQ(Fields(expected), Fields(read));
    for (const char* format : {kHundredths, kNamed, "%d", static_cast<const char*>(nullptr)})
        EXPECT_EQ(Fields(MsgDate{}), Fields(Read("2000/10/03-14:05:09:27", format)));
}

// Reading "%01hd%03hd" takes the decade of the clock.
TEST(DateText, YearDigitTakesTheDecadeOfTheClock) {
    const std::tuple<int, const char*, MsgDate> cases[] = {{2004, "0277", Full(2000, 10, 3)},
                                                           {2004, "9365", Full(2009, 12, 31)},
                                                           {2010, "0277", Full(2010, 10, 4)},
                                                           {2019, "0277", Full(2010, 10, 4)},
                                                           {2024, "4060", Full(2024, 2, 29)}};
    FakeClock clock({});
    for (const auto& [clock_year, text, expected] : cases) {
        clock.Set(
            {clock_year, clock_year == 2019 ? 12 : 3, clock_year == 2019 ? 31 : 1, 0, 0, 0, 0, 0});
        EXPECT_EQ(Fields(expected), Fields(Read(text, kYearDigit))) << clock_year << " " << text;
    }
    const MsgDate impossible = Read("3366", kYearDigit);
    EXPECT_EQ(2023 * 10000, impossible.nYear * 10000 + impossible.nMonth * 100 + impossible.nDay);
}

}  // namespace
