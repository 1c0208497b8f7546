// Threads: suspended creation, suspend/resume counting, priorities, times. Termination and a
// thread ending itself are proven through the deletion of tasks.
#include "tests/platform/runner.h"

namespace {

// A busy thread counting its rounds (with a library call: ThreadSanitizer delivers signals there).
struct Spinner {
    explicit Spinner(bool start = true) : runner([this] { spin(); }, start) {}
    ~Spinner() { stop = true; }
    void spin() {
        for (; !stop; ++progress) kp::perf_counter();
    }
    bool progresses() const { return Advances(progress); }
    bool frozen_for(int ms) const {
        const uint64_t start = progress.load();
        kp::sleep_ms(ms);
        return progress.load() == start;
    }
    kp::Thread* get() const { return runner.get(); }
    std::atomic<uint64_t> progress{0};
    std::atomic<bool> stop{false};
    Runner runner;
};

}  // namespace

TEST(PlatformThread, RunsOnlyAfterResumeUnderItsOwnIdAndPriority) {
    kp::Thread* self = kp::thread_adopt_current();
    EXPECT_EQ(kp::thread_current(), self);
    EXPECT_EQ(kp::thread_id(self), kp::current_thread_id());
    std::atomic<uint32_t> seen{0};
    Runner r([&] { seen = kp::current_thread_id(); }, false);
    EXPECT_EQ(kp::thread_get_priority(r.get()), kp::kPrioNormal);
    for (int prio : {kp::kPrioIdle, kp::kPrioLowest, kp::kPrioBelowNormal, kp::kPrioAboveNormal,
                     kp::kPrioHighest, kp::kPrioTimeCritical, kp::kPrioNormal}) {
        EXPECT_TRUE(kp::thread_set_priority(r.get(), prio)) << prio;
        EXPECT_EQ(kp::thread_get_priority(r.get()), prio);
    }
    EXPECT_FALSE(kp::thread_set_priority(r.get(), 7));
    kp::sleep_ms(50);
    EXPECT_EQ(seen.load(), 0u);
    EXPECT_EQ(kp::thread_resume(r.get()), 1);
    ASSERT_TRUE(WaitFor([&] { return seen != 0; }));
    EXPECT_EQ(seen.load(), kp::thread_id(r.get()));
}

TEST(PlatformThread, SuspendedBusyThreadMakesNoProgressAndCountsNest) {
    Spinner s;
    ASSERT_TRUE(s.progresses());
    EXPECT_EQ(kp::thread_suspend(s.get()), 0);
    EXPECT_EQ(kp::thread_suspend(s.get()), 1);
    EXPECT_TRUE(s.frozen_for(100));
    EXPECT_EQ(kp::thread_resume(s.get()), 2);
    EXPECT_TRUE(s.frozen_for(50));  // still suspended once
    EXPECT_EQ(kp::thread_resume(s.get()), 1);
    EXPECT_TRUE(s.progresses());
    EXPECT_EQ(kp::thread_resume(s.get()), 0);  // not suspended: nothing to undo
}

TEST(PlatformThread, TimesGrowWithWorkAndOutliveTheThread) {
    Spinner s(false);
    uint64_t kernel0 = 0, user0 = 0, kernel1 = 0, user1 = 0, kernel2 = 0, user2 = 0;
    ASSERT_TRUE(kp::thread_times(s.get(), &kernel0, &user0));
    kp::thread_resume(s.get());
    EXPECT_TRUE(WaitFor([&] {
        return kp::thread_times(s.get(), &kernel1, &user1) && kernel1 + user1 > kernel0 + user0;
    }));
    kp::thread_terminate(s.get());
    EXPECT_TRUE(kp::thread_times(s.get(), &kernel2, &user2));
    EXPECT_GE(kernel2 + user2, kernel1 + user1);
}
