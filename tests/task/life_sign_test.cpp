// Life signs of tasks blocked without limit, and timed waits on the monotonic clock.
#include "tests/support/tasks.h"

namespace {

std::atomic<int> g_year{2030};

// The local clock's year moves on and becomes the application date before the ticker runs.
int16_t TickNextYear() {
    ++g_year;
    kp::seams::manual_tick();
    return static_cast<int16_t>(g_year.load());
}

template <class Base> struct ManualClock : Base {
    ManualClock() {
        kp::seams::set_clock([](kp::LocalTime* t) { *t = {g_year.load(), 1, 1, 12, 0, 0, 0, 2}; },
                             nullptr);
        kp::seams::set_manual_tick(true);
    }
    ~ManualClock() override {
        kp::seams::set_manual_tick(false);
        kp::seams::set_clock(nullptr, nullptr);
    }
};

using LifeSign = ManualClock<TaskTest>;
using LifeSignAlone = ManualClock<KernelTest>;

struct WaitKind {
    const char* name;
    int32_t (*make)();           // the object, in a state that blocks the task
    void (*block)(int32_t h);    // the task's wait
    void (*release)(int32_t h);  // ends it (null: never ends)
};

int32_t Read(int32_t h, int32_t ms) {
    return ReadMailBox(h, nullptr, nullptr, nullptr, 0, ms, nullptr, nullptr);
}
int32_t EmptyBox() { return Made(CreateMailBox, "EMPTY", 1); }
int32_t EmptySem() { return Made(CreateSem, "NONE", 1, 0); }
template <class Take, class... Args> int32_t HeldBy(Take take, int32_t h, Args... args) {
    return take(h, args...), h;
}

const WaitKind kWaitKinds[] = {
    {"READ", EmptyBox, [](int32_t h) { Read(h, WAIT_FOREVER); },
     [](int32_t h) { WriteText(h, "wake"); }},
    {"WRITE", [] { return Made(CreateMailBox, "FULL", 1); },
     [](int32_t h) { WriteText(h, "first"), WriteText(h, "second"); },
     [](int32_t h) { ReadText(h); }},
    {"SEM", EmptySem, [](int32_t h) { TakeSem(h, 1, WAIT_FOREVER); },
     [](int32_t h) { FreeSem(h, 1); }},
    {"MUTE", [] { return HeldBy(TakeMute, Made(CreateMute, "HELD", 1), WAIT_FOREVER); },
     [](int32_t h) { TakeMute(h, WAIT_FOREVER), FreeMute(h); }, [](int32_t h) { FreeMute(h); }},
    {"SECTION", [] { return HeldBy(EnterCriticalSec, Made(CreateCriticalSec, "CS")); },
     [](int32_t h) { EnterCriticalSec(h), LeaveCriticalSec(h); },
     [](int32_t h) { LeaveCriticalSec(h); }},
    {"ALWAYS", [] { return -1; }, [](int32_t) { WaitAlways(); }, nullptr},
};

std::atomic<int> g_ended{0};

// Every tick refreshes a blocked task unless suspended, until its wait ends.
TEST_F(LifeSign, BlockedTaskShowsEveryTickUnlessSuspended) {
    for (const WaitKind& kind : kWaitKinds) {
        SCOPED_TRACE(kind.name);
        int32_t h = -1;
        CaptureStdoutOf([&] { h = kind.make(); });
        const int ended = g_ended.load();
        const int32_t task = StartTask(kind.name, [&kind, h] { kind.block(h), ++g_ended; });
        ASSERT_TRUE(WaitFor([&] { return kerval::task::InUnlimitedWait(task); }));
        for (int round = 0; round < 2; ++round)
            EXPECT_EQ(LifeSignYear(task).load(), TickNextYear());
        CaptureStdoutOf([task] { ActiveTask(task, 0); });
        const int16_t kept = LifeSignYear(task).load();
        TickNextYear();
        EXPECT_EQ(LifeSignYear(task).load(), kept);
        ActiveTask(task, 1);
        EXPECT_EQ(LifeSignYear(task).load(), TickNextYear());
        if (kind.release != nullptr) {
            kind.release(h);
            EXPECT_TRUE(WaitFor([&] { return g_ended.load() == ended + 1; }));
            EXPECT_FALSE(kerval::task::InUnlimitedWait(task));
        }
    }
}

// A deleted task leaves the ticker's sight: its record stays clear and the ticker goes idle.
TEST_F(LifeSignAlone, DeletionWhileBlockedLeavesTheRecordAloneAndTheTickerIdle) {
    EnsureAppDate();
    int32_t box = -1, sem = -1;
    CaptureStdoutOf([&] { box = EmptyBox(), sem = EmptySem(); });
    const int32_t tasks[] = {StartTask("READER", [box] { Read(box, WAIT_FOREVER); }),
                             StartTask("TAKER", [sem] { TakeSem(sem, 1, WAIT_FOREVER); })};
    for (int32_t task : tasks)
        ASSERT_TRUE(WaitFor([task] { return kerval::task::InUnlimitedWait(task); }));
    ASSERT_TRUE(WaitFor([] { return !kp::ticker_idle(kerval::task::LifeSignTicker()); }));
    for (int32_t task : tasks) {
        const int16_t index = _pxSysDescript->pxObjectTab[task].nIndex;
        CaptureStdoutOf([task] { DeleteTask(task); });
        kp::seams::manual_tick();
        EXPECT_EQ(std::atomic_ref(_pxSysDescript->pxTaskTab[index].xLifeSign.nYear).load(), 0);
    }
    EXPECT_TRUE(kp::ticker_idle(kerval::task::LifeSignTicker()));
}

// A jump of the local clock, either way, neither shortens nor stretches a timed wait.
TEST_F(LifeSign, TimedWaitsEndOnTimeWhenTheLocalClockJumps) {
    using namespace std::chrono;
    int32_t sem = -1;
    CaptureStdoutOf([&] { sem = EmptySem(); });
    const std::pair<int32_t, int32_t (*)(int32_t, int32_t)> waits[] = {
        {EmptyBox(), Read}, {sem, [](int32_t h, int32_t ms) { return TakeSem(h, 1, ms); }}};
    for (int jump : {1, -2}) {
        for (const auto& [h, wait] : waits) {
            std::thread jumper(
                [jump] { kp::sleep_ms(100), g_year += jump, kp::seams::manual_tick(); });
            const auto start = steady_clock::now();
            EXPECT_EQ(wait(h, 400), eTIME_OVER);
            const auto elapsed = steady_clock::now() - start;
            EXPECT_GE(elapsed, milliseconds(390)) << jump;
            EXPECT_LT(elapsed, seconds(60)) << jump;
            jumper.join();
        }
    }
}

}  // namespace
