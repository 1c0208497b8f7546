#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "civil.h"
#include "fake_clock.h"
#include "kerval/date/clock.h"
#include "kerval/kerval.h"
#include "kerval/platform/platform.h"
#include "tests/support/fixtures.h"

namespace {

bool g_privilege_granted = true;
bool GrantPrivilege(const char*)
{
    return g_privilege_granted;
}

class AppClock : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_clock::Install(2000, 10, 3, 14, 5, 9, 990);
        kerval::platform::seams::set_privilege(&GrantPrivilege);
    }
    void TearDown() override
    {
        kerval::platform::seams::set_privilege(nullptr);
        fake_clock::Remove();
    }
};

TEST_F(AppClock, ReadingDropsMillisecondsAndComputesDayFields)
{
    MsgDate date{};
    EXPECT_EQ(eOK, ReadAppDateTime(&date));
    const MsgDate expected{2000, 10, 3, 14, 5, 9, 0, 277, 2};
    EXPECT_EQ(0, std::memcmp(&expected, &date, sizeof date));
}

TEST_F(AppClock, VirtualDateKeepsHundredthsAndDayFields)
{
    MsgDate date{2001, 2, 3, 4, 5, 6, 7, 8, 9};
    ForceToVirtualDate(&date);
    const MsgDate expected{1995, 5, 15, 0, 0, 0, 7, 8, 9};
    EXPECT_EQ(0, std::memcmp(&expected, &date, sizeof date));
}

TEST(StartCounter, OffsetIsZeroUntilSetThenTheStoredReading)
{
    int64_t counter = 77;
    GetOffsetSinceStart(&counter);
    EXPECT_EQ(0, counter);
    kerval::date::SetStartCounter(123456789012345);
    GetOffsetSinceStart(&counter);
    EXPECT_EQ(123456789012345, counter);
}

TEST(ObsoleteCounter, AbsoluteMillisecondsWarnAndAnswerZero)
{
    double result = -1;
    const std::string output = kvtest::CaptureStdoutOf([&] { result = GetAbsoluteMsSinceStart(); });
    EXPECT_EQ(0.0, result);
    EXPECT_NE(std::string::npos, output.find("KERVAL-GetAbsoluteMsSinceStart")) << output;
    EXPECT_NE(std::string::npos, output.find("Obsolete (limit\xE9 \xE0 49.5 jours) !")) << output;
}

// The frequency is scaled by 1000 so that a "second" lasts 1000 real seconds: the elapsed whole
// seconds cannot change while the test runs.
TEST(TimeOut, WholeSecondsAreComparedStrictlyWithTheLimit)
{
    const auto real = static_cast<int64_t>(kerval::platform::perf_frequency());
    const int64_t frequency = real * 1000;
    const int64_t now = static_cast<int64_t>(kerval::platform::perf_counter());
    const int64_t nine_and_a_half = now - frequency * 19 / 2;
    EXPECT_TRUE(IsTimeOutOver(&nine_and_a_half, &frequency, 8999));
    EXPECT_FALSE(IsTimeOutOver(&nine_and_a_half, &frequency, 9000));
    const int64_t nine_tenths = now - frequency * 9 / 10;
    EXPECT_FALSE(IsTimeOutOver(&nine_tenths, &frequency, 0));
    const int64_t one = now - frequency - frequency / 4;
    EXPECT_TRUE(IsTimeOutOver(&one, &frequency, 500));
    EXPECT_FALSE(IsTimeOutOver(&one, &frequency, 1000));
    const int64_t future = now + frequency * 100;
    EXPECT_FALSE(IsTimeOutOver(&future, &frequency, 0));
    const int64_t zero = 0;
    EXPECT_FALSE(IsTimeOutOver(&nine_and_a_half, &zero, 0));
}

}  // namespace

namespace {

// The application date in a started library whose tempo ticks only on demand.
class AppDate : public kvtest::KervalTest {
protected:
    void SetUp() override
    {
        kerval::platform::seams::set_manual_tick(true);
        kvtest::KervalTest::SetUp();
        fake_clock::Install(2000, 10, 3, 14, 5, 9);
        kerval::platform::seams::set_privilege(&GrantPrivilege);
    }
    void TearDown() override
    {
        kerval::platform::seams::set_privilege(nullptr);
        fake_clock::Remove();
    }
};

// Hundredths in 0..99 become the milliseconds of the clock set, others 0.
TEST_F(AppDate, ClockSetIsKeptAsTheApplicationDate)
{
    g_privilege_granted = true;
    MsgDate date{2001, 5, 15, 10, 20, 30, 42, 0, 0};
    ASSERT_EQ(0, WriteAppDateTime(&date));
    const auto& set = fake_clock::LastSet();
    const int fields[7] = {set.year,   set.month,  set.day,         set.hour,
                           set.minute, set.second, set.milliseconds};
    const int expected_set[7] = {2001, 5, 15, 10, 20, 30, 42};
    EXPECT_EQ(0, std::memcmp(expected_set, fields, sizeof fields));
    const MsgDate expected{2001, 5, 15, 10, 20, 30, 42, 135, 2};
    const MsgDate stored = kerval::date::LoadAppDate();
    EXPECT_EQ(0, std::memcmp(&expected, &stored, sizeof stored));
    date.nHundredth = 150;
    ASSERT_EQ(0, WriteAppDateTime(&date));
    EXPECT_EQ(0, fake_clock::LastSet().milliseconds);
}

TEST_F(AppDate, RefusedClockSetIsReportedAndChangesNothing)
{
    g_privilege_granted = false;
    const MsgDate before = kerval::date::LoadAppDate();
    MsgDate date{2001, 5, 15, 10, 20, 30, 0, 0, 0};
    const std::string output =
        kvtest::CaptureStdoutOf([&] { EXPECT_EQ(1, WriteAppDateTime(&date)); });
    EXPECT_NE(std::string::npos, output.find("KERVAL-WriteLocalTime()")) << output;
    const MsgDate after = kerval::date::LoadAppDate();
    EXPECT_EQ(0, std::memcmp(&before, &after, sizeof after));
    EXPECT_EQ(0, fake_clock::SetCount());
}

// A reader running beside a writer only ever sees one of the records written, never a mix.
TEST_F(AppDate, ReadersNeverSeeAHalfWrittenDate)
{
    const MsgDate first{2001, 1, 1, 1, 1, 1, 1, 1, 1};
    const MsgDate second{2002, 2, 2, 2, 2, 2, 2, 2, 2};
    kerval::date::StoreAppDate(first);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i)
            kerval::date::StoreAppDate(i % 2 ? first : second);
        done = true;
    });
    int mixed = 0;
    while (!done) {
        const MsgDate seen = kerval::date::LoadAppDate();
        if (std::memcmp(&seen, &first, sizeof seen) != 0 &&
            std::memcmp(&seen, &second, sizeof seen) != 0) {
            ++mixed;
        }
    }
    writer.join();
    EXPECT_EQ(0, mixed);
}

}  // namespace
