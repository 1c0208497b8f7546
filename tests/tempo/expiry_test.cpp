// When tempos expire: delays counted in 50 ms ticks, dates and calendar changes seen through the
// test clock, long delays, and wake-ups that wait for room in a full box.
#include <array>
#include <tuple>

#include "tests/tempo/tempo_helpers.h"

namespace kvtest {
namespace {

TEST_F(TempoTest, DelaysExpireAfterWholeTicks)
{
    const std::string zero = "!!!! Tempo periodique de duree 0 : T !!!!\n";
    struct Case {
        uint32_t delay;
        uint8_t props;
        int ticks;
        std::vector<int> expected;
        std::string out;
    } cases[] = {
        {0, TEMPO_ONETIME, 3, {1}, ""},
        {0, 0, 2, {1, 2}, zero + zero},
        {1, 0, 3, {1, 2, 3}, ""},
        {50, 0, 3, {1, 2, 3}, ""},
        {120, 0, 9, {3, 6, 9}, ""},
        {1000, TEMPO_ONETIME, 45, {20}, ""},
        {100, TEMPO_AUTODELETE, 6, {2}, ""},
    };
    for (const Case& c : cases) {
        const int32_t h = Delay("T", c.delay, c.props);
        std::vector<int> ticks;
        EXPECT_EQ(CaptureStdoutOf([&] { ticks = FiringTicks(c.ticks); }), c.out);
        EXPECT_EQ(ticks, c.expected) << c.delay;
        EXPECT_EQ(IsTempoRunning(h), c.props == 0);
        EXPECT_EQ(ObjectExist(h) == TEMPO_OBJECT, c.props != TEMPO_AUTODELETE);
        DeleteTempo(h);
    }
}

TEST_F(TempoTest, CalendarTemposFollowTheClock)
{
    int32_t h = -1;  // the first previous date is the start-up reading: nothing fires at start
    ASSERT_EQ(CreateActiveTempo("S", TEMPO_SECOND, nullptr, 0, 0, box_, &h), eOK);
    EXPECT_TRUE(FiringTicks(3).empty());
    DeleteTempo(h);
    struct Case {
        uint32_t type;
        int16_t modulo;
        std::array<int, 6> from, to;
        bool fires;
    } cases[] = {
        {TEMPO_SECOND, 0, {2024, 3, 10, 10, 20, 59}, {2024, 3, 10, 10, 21, 0}, true},
        {TEMPO_MINUTE, 0, {2024, 3, 10, 10, 20, 59}, {2024, 3, 10, 10, 21, 0}, true},
        {TEMPO_MINUTE, 0, {2024, 3, 10, 10, 20, 58}, {2024, 3, 10, 10, 20, 59}, false},
        {TEMPO_HOUR, 0, {2024, 3, 10, 10, 59, 59}, {2024, 3, 10, 11, 0, 0}, true},
        {TEMPO_DAY, 0, {2024, 3, 10, 23, 59, 59}, {2024, 3, 11, 0, 0, 0}, true},
        {TEMPO_MONTH, 0, {2024, 3, 10, 10, 0, 0}, {2024, 2, 10, 10, 0, 0}, true},
        {TEMPO_YEAR, 0, {2023, 12, 31, 23, 59, 59}, {2024, 1, 1, 0, 0, 0}, true},
        {TEMPO_YEAR, 0, {2024, 3, 10, 10, 0, 0}, {2023, 3, 10, 10, 0, 0}, false},
        {TEMPO_PERIOD_MINUTE, 15, {2024, 3, 10, 10, 14, 59}, {2024, 3, 10, 10, 15, 0}, true},
        {TEMPO_PERIOD_MINUTE, 15, {2024, 3, 10, 10, 15, 59}, {2024, 3, 10, 10, 16, 0}, false},
    };
    for (const Case& c : cases) {
        std::apply(SetClock, c.from);
        Tick();
        MsgDate modulo{};
        modulo.nMinute = c.modulo;
        ASSERT_EQ(CreateActiveTempo("C", c.type, &modulo, 0, TEMPO_ONETIME, box_, &h), eOK);
        std::apply(SetClock, c.to);
        EXPECT_EQ(FiringTicks(2).size(), c.fires ? 1u : 0u) << c.type << " " << c.to[4];
        DeleteTempo(h);
    }
}

TEST_F(TempoTest, DateTemposExpireOnceWhenTheClockPassesTheirSecond)
{
    MsgDate past{2024, 3, 10, 10, 20, 29, 0, 70, 7}, ahead{2024, 3, 10, 10, 20, 31, 99, 70, 7};
    int32_t p = -1, a = -1;
    ASSERT_EQ(CreateActiveTempo("P", TEMPO_DATE, &past, 0, TEMPO_ONETIME, box_, &p), eOK);
    ASSERT_EQ(CreateActiveTempo("A", TEMPO_DATE, &ahead, 0, TEMPO_ONETIME, box_, &a), eOK);
    EXPECT_EQ(FiringTicks(2), std::vector<int>{1});  // P, in the past
    SetClock(2024, 3, 10, 10, 20, 31);               // A's second: not yet
    EXPECT_TRUE(FiringTicks(2).empty());
    SetClock(2024, 3, 10, 10, 20, 32);
    EXPECT_EQ(FiringTicks(3), std::vector<int>{1});
    EXPECT_FALSE(IsTempoRunning(p) || IsTempoRunning(a));
}

TEST_F(TempoTest, DelaysOf2Pow31MsAndMoreRunTheirFullLength)
{
    const int32_t h = Delay("L", 2147483648u + 1000u);
    Tick(3);
    EXPECT_TRUE(
        Reports(h, "Type=DELAY (eType=1)\n    Initial Delay=2147484648, Rest=2147484498\n"));
    int32_t rest = 0;
    GetInfoTempo(h, 0, nullptr, nullptr, nullptr, nullptr, &rest, nullptr, nullptr, nullptr,
                 nullptr);
    EXPECT_EQ(rest, 2147483647);  // the 32-bit field shows the largest value it can
    ASSERT_EQ(ChangeTempoDelay(h, 4294967295u), eOK);
    ASSERT_EQ(ReactivateTempo(h), eOK);
    Tick();
    EXPECT_TRUE(Drain(box_).empty());
    EXPECT_TRUE(Reports(h, "Initial Delay=4294967295, Rest=4294967245\n"));
}

// The tick never waits: a full box keeps one wake-up pending; a tempo wakes only its own box.
TEST_F(TempoTest, FullOrDeletedBoxes)
{
    const int32_t small = NewBox("SMALL", 1);
    const int32_t slow = Delay("SLOW", 100, 0, small);
    Delay("FAST", 50);
    Tick(8);  // SLOW expires at ticks 2, 4, 6 and 8; its box holds one message
    EXPECT_EQ(Drain(box_).size(), 8u);
    // Tick 9 brings the expiries of ticks 4..8 as one message, tick 10 its own expiry.
    for (size_t expected : {1, 1, 1, 0}) {
        EXPECT_EQ(Drain(small).size(), expected);
        Tick();
    }
    const int32_t once = Delay("O", 100, TEMPO_ONETIME, small);
    ASSERT_EQ(DeleteMailBox(small), eOK);
    ASSERT_EQ(NewBox("OTHER", 1), small);  // the handle is reused
    Tick(3);
    EXPECT_TRUE(Drain(small).empty());
    EXPECT_TRUE(IsTempoRunning(slow) && !IsTempoRunning(once));  // expiries count all the same
}

// An auto-deleted tempo goes once its wake-up is delivered; inactivation and deletion drop a
// wake-up that waits for room.
TEST_F(TempoTest, WakeUpsWaitingForRoom)
{
    const int32_t small = NewBox("SMALL", 1);
    const int32_t a = Delay("A", 50, TEMPO_ONETIME, small);
    const int32_t ad = Delay("AD", 50, TEMPO_AUTODELETE, small);
    Tick(3);
    EXPECT_TRUE(ObjectExist(ad) == TEMPO_OBJECT && !IsTempoRunning(ad));
    EXPECT_EQ(Drain(small).size(), 1u);
    Tick();
    EXPECT_EQ(Drain(small).at(0).msg.hTempo, ad);
    EXPECT_NE(ObjectExist(ad), TEMPO_OBJECT);
    const int32_t b = Delay("B", 50, TEMPO_ONETIME, small);
    EXPECT_EQ(b, ad);  // the slot is free
    for (bool inactivate : {true, false}) {
        ASSERT_EQ(ReactivateTempo(a), eOK);
        ASSERT_EQ(ReactivateTempo(b), eOK);
        Tick();  // A fills the box, B waits
        ASSERT_EQ(inactivate ? InactivateTempo(b) : DeleteTempo(b), eOK);
        EXPECT_EQ(Drain(small).at(0).msg.hTempo, a);
        Tick(2);
        EXPECT_TRUE(Drain(small).empty());
    }
}

}  // namespace
}  // namespace kvtest
