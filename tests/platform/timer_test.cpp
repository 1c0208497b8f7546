// Periodic timer: serial calls, stop, manual tick. Its delivery rate is measured in bench/.
#include "tests/platform/runner.h"

namespace {

struct TickCount {
    std::atomic<int> ticks{0}, running{0}, overlaps{0};
    int sleep_ms = 0;
};

void count_tick(void* ctx)
{
    auto* c = static_cast<TickCount*>(ctx);
    c->overlaps += c->running.fetch_add(1) != 0;
    ++c->ticks;
    kp::sleep_ms(c->sleep_ms);
    c->running.fetch_sub(1);
}

}  // namespace

TEST(PlatformTimer, SlowCallbackNeverRunsTwiceAtOnceStopEndsCallsAndManualTickTakesOver)
{
    TickCount slow, manual;
    slow.sleep_ms = 70;  // longer than the period
    kp::Timer* timer = kp::timer_start(20, 10, count_tick, &slow);
    kp::sleep_ms(300);
    kp::timer_stop(timer);
    const int at_stop = slow.ticks.load();
    EXPECT_GT(at_stop, 0);
    EXPECT_EQ(slow.running.load(), 0);
    kp::seams::set_manual_tick(true);
    timer = kp::timer_start(10, 10, count_tick, &manual);
    kp::sleep_ms(150);
    EXPECT_EQ(slow.ticks.load(), at_stop);
    EXPECT_EQ(slow.overlaps.load(), 0);
    EXPECT_EQ(manual.ticks.load(), 0);  // the OS timer stays silent
    for (int i = 0; i < 3; ++i)
        kp::seams::manual_tick();  // in this thread, once per call
    kp::timer_stop(timer);
    kp::seams::manual_tick();
    EXPECT_EQ(manual.ticks.load(), 3);
    kp::seams::set_manual_tick(false);
}
