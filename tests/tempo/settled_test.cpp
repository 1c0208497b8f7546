// The tick never waits on a full box, long delays, the box a tempo belongs to, and what
// deletion and inactivation do to a wake-up that waits for room.
#include <gtest/gtest.h>

#include <string>

#include "tests/tempo/tempo_helpers.h"

namespace kvtest {
namespace {

int32_t NewBox(const char* name, uint16_t size)
{
    int32_t h = -1;
    EXPECT_EQ(CreateMailBox(name, size, &h), eOK);
    return h;
}

TEST_F(TempoTest, FullBoxKeepsOneWakeUpPendingWhileOthersKeepTheirRate)
{
    const int32_t small = NewBox("SMALL", 1);
    const int32_t slow = Delay("SLOW", 100, 0, small);
    const int32_t fast = Delay("FAST", 50);
    Tick(8);  // SLOW expires at ticks 2, 4, 6 and 8; its box holds one message
    EXPECT_EQ(Count(box_, fast), 8);
    EXPECT_EQ(Count(small, slow), 1);
    Tick();  // the expiries of ticks 4..8 come as one message, at the first tick with room
    EXPECT_EQ(Count(small, slow), 1);
    Tick();
    EXPECT_EQ(Count(small, slow), 1);  // tick 10: its own expiry
    Tick();
    EXPECT_EQ(Count(small, slow), 0);
}

TEST_F(TempoTest, InactivateAndDeleteDropAWaitingWakeUp)
{
    const int32_t small = NewBox("SMALL", 1);
    const int32_t a = Delay("A", 50, TEMPO_ONETIME, small);
    const int32_t b = Delay("B", 50, TEMPO_ONETIME, small);
    Tick();  // A fills the box, B waits
    ASSERT_EQ(InactivateTempo(b), eOK);
    EXPECT_EQ(Count(small, a), 1);
    Tick(2);
    EXPECT_TRUE(Drain(small).empty());
    ASSERT_EQ(ReactivateTempo(a), eOK);
    ASSERT_EQ(ReactivateTempo(b), eOK);
    Tick();  // A again fills the box
    DeleteTempo(b);
    EXPECT_EQ(Count(small, a), 1);
    Tick(2);
    EXPECT_TRUE(Drain(small).empty());
}

TEST_F(TempoTest, AutoDeleteWaitsUntilItsWakeUpIsDelivered)
{
    const int32_t small = NewBox("SMALL", 1);
    const int32_t filler = Delay("F", 50, TEMPO_ONETIME, small);
    const int32_t h = Delay("AD", 50, TEMPO_AUTODELETE, small);
    Tick(3);
    EXPECT_EQ(ObjectExist(h), TEMPO_OBJECT);
    EXPECT_FALSE(IsTempoRunning(h));
    EXPECT_EQ(Count(small, filler), 1);
    Tick();
    EXPECT_EQ(Count(small, h), 1);
    EXPECT_NE(ObjectExist(h), TEMPO_OBJECT);
}

TEST_F(TempoTest, DelaysOf2Pow31MsAndMoreRunTheirFullLength)
{
    const uint32_t long_delay = 2147483648u + 1000u;
    const int32_t h = Delay("L", long_delay);
    Tick(3);
    EXPECT_EQ(Count(box_, h), 0);
    EXPECT_NE(Info(h).find("Initial Delay=2147484648, Rest=2147484498\n"), std::string::npos);
    int32_t rest = 0;
    GetInfoTempo(h, 0, nullptr, nullptr, nullptr, nullptr, &rest, nullptr, nullptr, nullptr,
                 nullptr);
    EXPECT_EQ(rest, 2147483647);  // the 32-bit field shows the largest value it can
    ASSERT_EQ(ChangeTempoDelay(h, 4294967295u), eOK);
    ASSERT_EQ(ReactivateTempo(h), eOK);
    Tick();
    EXPECT_EQ(Count(box_, h), 0);
    EXPECT_NE(Info(h).find("Initial Delay=4294967295, Rest=4294967245\n"), std::string::npos);
}

TEST_F(TempoTest, ATempoWakesOnlyTheBoxItWasCreatedFor)
{
    const int32_t first = NewBox("FIRST", 10);
    const int32_t periodic = Delay("P", 50, 0, first);
    const int32_t once = Delay("O", 100, TEMPO_ONETIME, first);
    Tick();
    ASSERT_EQ(Count(first, periodic), 1);
    ASSERT_EQ(DeleteMailBox(first), eOK);
    const int32_t second = NewBox("SECOND", 10);
    ASSERT_EQ(second, first);  // the handle is reused
    Tick(3);
    EXPECT_TRUE(Drain(second).empty());
    EXPECT_TRUE(IsTempoRunning(periodic));
    EXPECT_FALSE(IsTempoRunning(once));  // the expiry counted all the same
}

}  // namespace
}  // namespace kvtest
