// When tempos expire: delays counted in 50 ms ticks, dates and calendar changes seen through
// the test clock, and what each expiry does to the tempo; the wake-up message field by field.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "tests/tempo/tempo_helpers.h"

namespace kvtest {
namespace {

static_assert(sizeof(TempoMsg) == 4172 && offsetof(TempoMsg, lEvent) == 4 &&
              offsetof(TempoMsg, szKeyword) == 8 && offsetof(TempoMsg, aParam) == 72 &&
              offsetof(TempoMsg, lParam) == 4168);

TEST_F(TempoTest, DelaysExpireAfterWholeTicks)
{
    struct Case {
        uint32_t delay;
        uint8_t props;
        int ticks;
        std::vector<int> expected;
    } cases[] = {
        {0, TEMPO_ONETIME, 3, {1}},      {1, 0, 3, {1, 2, 3}},
        {50, 0, 3, {1, 2, 3}},           {120, 0, 9, {3, 6, 9}},
        {1000, TEMPO_ONETIME, 45, {20}},
    };
    for (const Case& c : cases) {
        const int32_t h = Delay("T", c.delay, c.props);
        EXPECT_EQ(FiringTicks(h, c.ticks), c.expected) << c.delay;
        EXPECT_EQ(IsTempoRunning(h), (c.props & TEMPO_ONETIME) == 0);
        DeleteTempo(h);
    }
}

TEST_F(TempoTest, PeriodicZeroDelayFiresEveryTickAndSaysSo)
{
    const int32_t h = Delay("Z", 0);
    std::vector<int> ticks;
    const std::string out = CaptureStdoutOf([&] { ticks = FiringTicks(h, 2); });
    EXPECT_EQ(ticks, (std::vector<int>{1, 2}));
    EXPECT_EQ(out,
              "!!!! Tempo periodique de duree 0 : Z !!!!\n"
              "!!!! Tempo periodique de duree 0 : Z !!!!\n");
}

TEST_F(TempoTest, WakeUpMessageCarriesEveryField)
{
    const unsigned char param[5] = {1, 2, 3, 0, 9};
    int32_t with = -1, bare = -1;
    ASSERT_EQ(CreateActiveTempoWithParam("W", TEMPO_DELAY, nullptr, 50, TEMPO_ONETIME, box_, "kw",
                                         param, sizeof param, &with),
              eOK);
    ASSERT_EQ(CreateActiveTempo("B", TEMPO_DELAY, nullptr, 50, TEMPO_ONETIME, box_, &bare), eOK);
    Tick();
    const std::vector<WakeUp> got = Drain(box_);
    ASSERT_EQ(got.size(), 2u);
    for (const WakeUp& w : got) {
        EXPECT_EQ(w.type, MSG_TYPE_TEMPO);
        EXPECT_EQ(w.size, 4172u);
        EXPECT_EQ(w.sender, HandleTaskTEMPO());
        EXPECT_EQ(w.extra, -1);
    }
    EXPECT_EQ(got[0].msg.hTempo, with);
    EXPECT_EQ(got[0].msg.lEvent, 1001u);
    EXPECT_STREQ(got[0].msg.szKeyword, "kw");
    EXPECT_EQ(got[0].msg.lParam, 5);
    EXPECT_EQ(0, std::memcmp(got[0].msg.aParam, param, sizeof param));
    EXPECT_EQ(got[1].msg.hTempo, bare);
    EXPECT_EQ(got[1].msg.lEvent, 1002u);
    EXPECT_STREQ(got[1].msg.szKeyword, "");
    EXPECT_EQ(got[1].msg.lParam, 0);
    EXPECT_EQ(got[1].msg.aParam[0], 0);
}

TEST_F(TempoTest, OneTimeStopsAndReactivateStartsAFullDelay)
{
    const int32_t h = Delay("T", 200, TEMPO_ONETIME);
    EXPECT_EQ(FiringTicks(h, 6), std::vector<int>{4});
    EXPECT_FALSE(IsTempoRunning(h));
    ASSERT_EQ(ReactivateTempo(h), eOK);
    EXPECT_TRUE(IsTempoRunning(h));
    EXPECT_EQ(FiringTicks(h, 6), std::vector<int>{4});
}

TEST_F(TempoTest, InactivateStopsAndReactivateRestartsTheCount)
{
    const int32_t h = Delay("T", 150);
    Tick(2);
    ASSERT_EQ(InactivateTempo(h), eOK);
    EXPECT_FALSE(IsTempoRunning(h));
    EXPECT_NE(Info(h).find("UserInactivate=yes"), std::string::npos);
    EXPECT_TRUE(FiringTicks(h, 5).empty());
    ASSERT_EQ(ReactivateTempo(h), eOK);
    EXPECT_EQ(FiringTicks(h, 6), (std::vector<int>{3, 6}));
}

TEST_F(TempoTest, ChangedDelayTakesEffectAtTheNextReload)
{
    const int32_t h = Delay("T", 200);
    Tick();
    ASSERT_EQ(ChangeTempoDelay(h, 500), eOK);
    EXPECT_EQ(FiringTicks(h, 23), (std::vector<int>{3, 13, 23}));
}

TEST_F(TempoTest, AutoDeleteSendsOnceAndFreesTheName)
{
    const int32_t h = Delay("T", 100, TEMPO_AUTODELETE);
    Tick(2);
    const std::vector<WakeUp> got = Drain(box_);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(ObjectExist(h), TEMPO_OBJECT);
    EXPECT_EQ(IsValidTempo(got[0].type, got[0].sender, &got[0].msg), -1);
    Tick(4);
    EXPECT_TRUE(Drain(box_).empty());
    EXPECT_EQ(Delay("T", 100), h);
}

struct Moment {
    int y, mo, d, h, mi, s;
};

TEST_F(TempoTest, CalendarTemposFollowTheClock)
{
    struct Case {
        uint32_t type;
        int16_t modulo;
        Moment from, to;
        bool fires;
    } cases[] = {
        {TEMPO_SECOND, 0, {2024, 3, 10, 10, 20, 59}, {2024, 3, 10, 10, 21, 0}, true},
        {TEMPO_SECOND, 0, {2024, 3, 10, 10, 20, 59}, {2024, 3, 10, 10, 20, 59}, false},
        {TEMPO_MINUTE, 0, {2024, 3, 10, 10, 20, 59}, {2024, 3, 10, 10, 21, 0}, true},
        {TEMPO_MINUTE, 0, {2024, 3, 10, 10, 20, 58}, {2024, 3, 10, 10, 20, 59}, false},
        {TEMPO_HOUR, 0, {2024, 3, 10, 10, 59, 59}, {2024, 3, 10, 11, 0, 0}, true},
        {TEMPO_HOUR, 0, {2024, 3, 10, 10, 30, 0}, {2024, 3, 10, 10, 31, 0}, false},
        {TEMPO_DAY, 0, {2024, 3, 10, 23, 59, 59}, {2024, 3, 11, 0, 0, 0}, true},
        {TEMPO_MONTH, 0, {2024, 3, 10, 10, 0, 0}, {2024, 2, 10, 10, 0, 0}, true},
        {TEMPO_MONTH, 0, {2024, 3, 10, 10, 0, 0}, {2024, 3, 11, 10, 0, 0}, false},
        {TEMPO_YEAR, 0, {2023, 12, 31, 23, 59, 59}, {2024, 1, 1, 0, 0, 0}, true},
        {TEMPO_YEAR, 0, {2024, 3, 10, 10, 0, 0}, {2023, 3, 10, 10, 0, 0}, false},
        {TEMPO_PERIOD_MINUTE, 15, {2024, 3, 10, 10, 14, 59}, {2024, 3, 10, 10, 15, 0}, true},
        {TEMPO_PERIOD_MINUTE, 15, {2024, 3, 10, 10, 15, 59}, {2024, 3, 10, 10, 16, 0}, false},
        {TEMPO_PERIOD_MINUTE, 60, {2024, 3, 10, 10, 59, 0}, {2024, 3, 10, 11, 0, 0}, true},
        {TEMPO_PERIOD_MINUTE, 60, {2024, 3, 10, 10, 29, 0}, {2024, 3, 10, 10, 30, 0}, false},
    };
    for (const Case& c : cases) {
        SetClock(c.from.y, c.from.mo, c.from.d, c.from.h, c.from.mi, c.from.s);
        Tick();
        MsgDate modulo{};
        modulo.nMinute = c.modulo;
        int32_t h = -1;
        ASSERT_EQ(CreateActiveTempo("C", c.type, &modulo, 0, TEMPO_ONETIME, box_, &h), eOK);
        SetClock(c.to.y, c.to.mo, c.to.d, c.to.h, c.to.mi, c.to.s);
        EXPECT_EQ(FiringTicks(h, 2).size(), c.fires ? 1u : 0u) << c.type << " " << c.to.mi;
        DeleteTempo(h);
    }
}

TEST_F(TempoTest, NoCalendarTempoFiresAtStartOrWithoutAChange)
{
    int32_t h = -1;
    ASSERT_EQ(CreateActiveTempo("S", TEMPO_SECOND, nullptr, 0, 0, box_, &h), eOK);
    EXPECT_TRUE(FiringTicks(h, 3).empty());  // the clock stands still
}

TEST_F(TempoTest, DateTemposExpireOnceWhenTheClockPassesTheirSecond)
{
    SetClock(2024, 3, 10, 10, 20, 30);
    MsgDate past{2024, 3, 10, 10, 20, 29, 0, 70, 7}, ahead{2024, 3, 10, 10, 20, 31, 99, 70, 7};
    int32_t p = -1, a = -1;
    ASSERT_EQ(CreateActiveTempo("P", TEMPO_DATE, &past, 0, TEMPO_ONETIME, box_, &p), eOK);
    ASSERT_EQ(CreateActiveTempo("A", TEMPO_DATE, &ahead, 0, TEMPO_ONETIME, box_, &a), eOK);
    EXPECT_EQ(FiringTicks(p, 2), std::vector<int>{1});
    EXPECT_FALSE(IsTempoRunning(p));
    SetClock(2024, 3, 10, 10, 20, 31);  // the same second: not yet
    EXPECT_TRUE(FiringTicks(a, 2).empty());
    SetClock(2024, 3, 10, 10, 20, 32);
    EXPECT_EQ(FiringTicks(a, 3), std::vector<int>{1});
    EXPECT_FALSE(IsTempoRunning(a));
}

}  // namespace
}  // namespace kvtest
