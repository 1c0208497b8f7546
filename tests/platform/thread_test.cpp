// Threads: suspended creation, suspend/resume counting, termination, priorities, times.
#include "tests/platform/runner.h"

namespace {

// A busy thread counting its rounds (reading the counter too: ThreadSanitizer delivers signals
// only at library calls). Stopped and joined when it goes.
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
    EXPECT_NE(seen.load(), kp::current_thread_id());
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

TEST(PlatformThread, TerminateEndsBusyBlockedSuspendedAndUnstartedThreads) {
    kp::Semaphore* never = kp::semaphore_create(0, 1);
    {
        Runner blocked([never] { kp::semaphore_wait(never, kp::kInfinite); });
        Spinner spinning, suspended, unstarted(false);
        ASSERT_TRUE(spinning.progresses() && suspended.progresses());
        kp::thread_suspend(suspended.get());
        kp::sleep_ms(20);
        for (kp::Thread* t : {blocked.get(), spinning.get(), suspended.get(), unstarted.get()})
            EXPECT_TRUE(kp::thread_terminate(t));
        EXPECT_TRUE(spinning.frozen_for(50));
        EXPECT_EQ(unstarted.progress.load(), 0u);
    }
    kp::semaphore_destroy(never);
}

TEST(PlatformThread, TimesGrowWithWorkAndOutliveTheThreadWhichCanReleaseItselfAndExit) {
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

    kp::Semaphore* exited = kp::semaphore_create(0, 1);
    kp::thread_resume(kp::thread_create_suspended(
        [](void* arg) {
            kp::Thread* self = kp::thread_current();
            kp::semaphore_release(static_cast<kp::Semaphore*>(arg), 1, nullptr);
            kp::thread_release(self);
            kp::thread_exit_current();
        },
        exited, 0));
    EXPECT_EQ(kp::semaphore_wait(exited, 10000), kp::WaitResult::kSignaled);
    kp::sleep_ms(20);
    kp::semaphore_destroy(exited);
}
