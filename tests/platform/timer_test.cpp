// The periodic timer (its delivery rate is measured in bench/) and the on-demand ticker.
#include "tests/platform/runner.h"

namespace {

struct TickCount {
    std::atomic<int> ticks{0}, running{0}, overlaps{0};
    int sleep_ms = 0;
};

void count_tick(void* ctx) {
    auto* c = static_cast<TickCount*>(ctx);
    c->overlaps += c->running.fetch_add(1) != 0;
    ++c->ticks;
    kp::sleep_ms(c->sleep_ms);
    c->running.fetch_sub(1);
}

}  // namespace

TEST(PlatformTimer, SlowCallbackNeverRunsTwiceAtOnceStopEndsCallsAndManualTickTakesOver) {
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
    EXPECT_EQ(manual.ticks.load(), 0);                     // the OS timer stays silent
    for (int i = 0; i < 3; ++i) kp::seams::manual_tick();  // in this thread, once per call
    kp::timer_stop(timer);
    kp::seams::manual_tick();
    EXPECT_EQ(manual.ticks.load(), 3);
    kp::seams::set_manual_tick(false);
}

namespace {

struct Demand {
    std::atomic<bool> wanted{false};
    std::atomic<int> calls{0};
};

template <class Done> void spin_until(Done done, double limit_ms) {
    const uint64_t since = kp::perf_counter();
    while (!done() && elapsed_ms(since) < limit_ms) {}
}

bool answer_demand(void* ctx) {
    auto* d = static_cast<Demand*>(ctx);
    const bool wanted = d->wanted.load();
    ++d->calls;
    spin_until([] { return false; }, 0.2);  // a wide window for a racing wake-up
    return wanted;
}

}  // namespace

// Idle from the start; a wake-up starts the ticks, which go on while there is work and end at
// the first tick that finds none. A wake-up racing with that tick is never lost.
TEST(PlatformTicker, TicksFromAWakeUpUntilATickFindsNoWork) {
    Demand d;
    kp::Ticker* t = kp::ticker_start(1, answer_demand, &d);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(kp::ticker_idle(t));
    EXPECT_EQ(d.calls.load(), 0);
    for (int round = 0; round < 200; ++round) {
        d.wanted = false;
        const int seen = d.calls.load();
        if (round % 2 == 0) {
            ASSERT_TRUE(WaitFor([&] { return kp::ticker_idle(t); })) << round;
        } else {  // wakes up during a tick that found no work
            spin_until([&] { return d.calls.load() != seen; }, 100);
        }
        const int before = d.calls.load();
        d.wanted = true;
        kp::ticker_wake(t);
        ASSERT_TRUE(WaitFor([&] { return d.calls.load() >= before + 2; })) << round;
    }
    kp::ticker_stop(t);
}
