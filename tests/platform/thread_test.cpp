// Threads: suspended creation, suspend/resume counting, termination, priorities, times.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>

#include "kerval/platform/platform.h"

namespace kp = kerval::platform;

namespace {

struct Busy {
    std::atomic<uint64_t> progress{0};
    std::atomic<bool> stop{false};
};

// Busy, but reading the counter: ThreadSanitizer delivers signals only at library calls.
void spin(void* arg)
{
    auto* busy = static_cast<Busy*>(arg);
    while (!busy->stop.load(std::memory_order_relaxed)) {
        kp::perf_counter();
        busy->progress.fetch_add(1, std::memory_order_relaxed);
    }
}

void wait_for_progress(const Busy& busy)
{
    const uint64_t start = busy.progress.load();
    for (int i = 0; i < 5000 && busy.progress.load() == start; ++i)
        kp::sleep_ms(1);
}

// Threads of this process, or -1 where /proc is not available.
int process_thread_count()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0)
            return std::stoi(line.substr(8));
    }
    return -1;
}

long resident_kib()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

void wait_sem_forever(void* arg)
{
    kp::semaphore_wait(static_cast<kp::Semaphore*>(arg), kp::kInfinite);
}

}  // namespace

TEST(PlatformThread, CreatedThreadRunsOnlyAfterResume)
{
    Busy busy;
    kp::Thread* t = kp::thread_create_suspended(spin, &busy, 64 * 1024);
    ASSERT_NE(t, nullptr);
    kp::sleep_ms(50);
    EXPECT_EQ(busy.progress.load(), 0u);
    EXPECT_NE(kp::thread_id(t), 0u);
    EXPECT_EQ(kp::thread_resume(t), 1);
    wait_for_progress(busy);
    EXPECT_GT(busy.progress.load(), 0u);
    busy.stop = true;
    EXPECT_TRUE(kp::thread_terminate(t));
    kp::thread_release(t);
}

TEST(PlatformThread, SuspendedBusyThreadMakesNoProgressAndCountsNest)
{
    Busy busy;
    kp::Thread* t = kp::thread_create_suspended(spin, &busy, 0);
    ASSERT_NE(t, nullptr);
    kp::thread_resume(t);
    wait_for_progress(busy);
    EXPECT_EQ(kp::thread_suspend(t), 0);
    EXPECT_EQ(kp::thread_suspend(t), 1);
    const uint64_t frozen = busy.progress.load();
    kp::sleep_ms(100);
    EXPECT_EQ(busy.progress.load(), frozen);
    EXPECT_EQ(kp::thread_resume(t), 2);
    kp::sleep_ms(50);
    EXPECT_EQ(busy.progress.load(), frozen);  // still suspended once
    EXPECT_EQ(kp::thread_resume(t), 1);
    wait_for_progress(busy);
    EXPECT_GT(busy.progress.load(), frozen);
    EXPECT_EQ(kp::thread_resume(t), 0);  // not suspended: nothing to undo
    busy.stop = true;
    kp::thread_terminate(t);
    kp::thread_release(t);
}

TEST(PlatformThread, TenThousandSuspendResumePairsAllSucceed)
{
    Busy busy;
    kp::Thread* t = kp::thread_create_suspended(spin, &busy, 0);
    ASSERT_NE(t, nullptr);
    kp::thread_resume(t);
    int failures = 0;
    for (int i = 0; i < 10000; ++i) {
        if (kp::thread_suspend(t) != 0)
            ++failures;
        if (kp::thread_resume(t) != 1)
            ++failures;
    }
    EXPECT_EQ(failures, 0);
    wait_for_progress(busy);
    busy.stop = true;
    kp::thread_terminate(t);
    kp::thread_release(t);
}

TEST(PlatformThread, TerminateEndsBusyBlockedSuspendedAndUnstartedThreads)
{
    Busy busy;  // never told to stop
    kp::Semaphore* never = kp::semaphore_create(0, 1);
    kp::Thread* spinning = kp::thread_create_suspended(spin, &busy, 0);
    kp::Thread* blocked = kp::thread_create_suspended(wait_sem_forever, never, 0);
    kp::Thread* suspended = kp::thread_create_suspended(spin, &busy, 0);
    kp::Thread* unstarted = kp::thread_create_suspended(spin, &busy, 0);
    kp::thread_resume(spinning);
    kp::thread_resume(blocked);
    kp::thread_resume(suspended);
    wait_for_progress(busy);
    kp::thread_suspend(suspended);
    kp::sleep_ms(20);
    for (kp::Thread* t : {spinning, blocked, suspended, unstarted}) {
        EXPECT_TRUE(kp::thread_terminate(t));
    }
    const uint64_t after = busy.progress.load();
    kp::sleep_ms(50);
    EXPECT_EQ(busy.progress.load(), after);
    for (kp::Thread* t : {spinning, blocked, suspended, unstarted})
        kp::thread_release(t);
    kp::semaphore_destroy(never);
}

// The 10,000-cycle run lives in the stress suite; this one keeps the default run quick.
TEST(PlatformThread, CreateTerminateCyclesLeaveNoThreadOrMemoryBehind)
{
    Busy busy;
    auto cycle = [&busy] {
        kp::Thread* t = kp::thread_create_suspended(spin, &busy, 64 * 1024);
        ASSERT_NE(t, nullptr);
        kp::thread_resume(t);
        ASSERT_TRUE(kp::thread_terminate(t));
        kp::thread_release(t);
    };
    for (int i = 0; i < 200; ++i)
        cycle();  // warm up caches before measuring
    const int threads_before = process_thread_count();
    const long rss_before = resident_kib();
    for (int i = 0; i < 500; ++i)
        cycle();
    if (threads_before >= 0) {
        EXPECT_EQ(process_thread_count(), threads_before);
        // Leaked stacks would be 128 KiB or more per cycle; allow for allocator slack only.
        EXPECT_LT(resident_kib() - rss_before, 32 * 1024);
    }
}

TEST(PlatformThread, ReleasedRunningThreadFinishesOnItsOwn)
{
    std::atomic<bool> done{false};
    kp::Thread* t = kp::thread_create_suspended(
        [](void* arg) {
            kp::sleep_ms(20);
            static_cast<std::atomic<bool>*>(arg)->store(true);
        },
        &done, 0);
    ASSERT_NE(t, nullptr);
    kp::thread_resume(t);
    kp::thread_release(t);
    for (int i = 0; i < 5000 && !done; ++i)
        kp::sleep_ms(1);
    EXPECT_TRUE(done);
}

TEST(PlatformThread, ThreadCanReleaseItselfAndExit)
{
    kp::Semaphore* exited = kp::semaphore_create(0, 1);
    kp::Thread* t = kp::thread_create_suspended(
        [](void* arg) {
            kp::Thread* self = kp::thread_current();
            kp::semaphore_release(static_cast<kp::Semaphore*>(arg), 1, nullptr);
            kp::thread_release(self);
            kp::thread_exit_current();
        },
        exited, 0);
    ASSERT_NE(t, nullptr);
    kp::thread_resume(t);
    EXPECT_EQ(kp::semaphore_wait(exited, 10000), kp::WaitResult::kSignaled);
    kp::sleep_ms(20);
    kp::semaphore_destroy(exited);
}

TEST(PlatformThread, IdentifiesCurrentAndAdoptedThreads)
{
    kp::Thread* self = kp::thread_adopt_current();
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(kp::thread_current(), self);
    EXPECT_EQ(kp::thread_id(self), kp::current_thread_id());

    std::atomic<uint32_t> seen{0};
    kp::Thread* t = kp::thread_create_suspended(
        [](void* arg) { static_cast<std::atomic<uint32_t>*>(arg)->store(kp::current_thread_id()); },
        &seen, 0);
    kp::thread_resume(t);
    for (int i = 0; i < 5000 && seen == 0; ++i)
        kp::sleep_ms(1);
    EXPECT_EQ(seen.load(), kp::thread_id(t));
    EXPECT_NE(seen.load(), kp::current_thread_id());
    kp::thread_terminate(t);
    kp::thread_release(t);
}

TEST(PlatformThread, PrioritiesKeepTheirLogicalValue)
{
    Busy busy;
    kp::Thread* t = kp::thread_create_suspended(spin, &busy, 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(kp::thread_get_priority(t), kp::kPrioNormal);
    for (int prio : {kp::kPrioIdle, kp::kPrioLowest, kp::kPrioBelowNormal, kp::kPrioAboveNormal,
                     kp::kPrioHighest, kp::kPrioTimeCritical, kp::kPrioNormal}) {
        EXPECT_TRUE(kp::thread_set_priority(t, prio)) << prio;
        EXPECT_EQ(kp::thread_get_priority(t), prio);
    }
    EXPECT_FALSE(kp::thread_set_priority(t, 7));
    EXPECT_EQ(kp::thread_get_priority(t), kp::kPrioNormal);
    busy.stop = true;
    kp::thread_terminate(t);
    kp::thread_release(t);
}

TEST(PlatformThread, ProcessorTimesGrowWithWork)
{
    Busy busy;
    kp::Thread* t = kp::thread_create_suspended(spin, &busy, 0);
    ASSERT_NE(t, nullptr);
    uint64_t kernel0 = 0, user0 = 0, kernel1 = 0, user1 = 0;
    ASSERT_TRUE(kp::thread_times(t, &kernel0, &user0));
    kp::thread_resume(t);
    const uint64_t start = kp::perf_counter();
    while (kp::perf_counter() - start < kp::perf_frequency() * 3 / 10) {
        ASSERT_TRUE(kp::thread_times(t, &kernel1, &user1));
        if (kernel1 + user1 >= kernel0 + user0 + 200000)
            break;  // 20 ms of work seen
        kp::sleep_ms(10);
    }
    ASSERT_TRUE(kp::thread_times(t, &kernel1, &user1));
    EXPECT_GT(kernel1 + user1, kernel0 + user0);
    busy.stop = true;
    kp::thread_terminate(t);
    uint64_t kernel2 = 0, user2 = 0;
    EXPECT_TRUE(kp::thread_times(t, &kernel2, &user2));  // still answers once ended
    EXPECT_GE(kernel2 + user2, kernel1 + user1);
    kp::thread_release(t);
}

TEST(PlatformThread, SleepWaitsAtLeastItsTime)
{
    const uint64_t start = kp::perf_counter();
    kp::sleep_ms(30);
    const uint64_t elapsed_ms = (kp::perf_counter() - start) * 1000 / kp::perf_frequency();
    EXPECT_GE(elapsed_ms, 29u);
    kp::sleep_ms(0);  // yields only
}
