// Semaphore hand-offs between threads: a woken waiter owns the semaphore at once, and units are
// neither lost nor duplicated when time-outs race with releases.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "tests/platform/runner.h"

// The releaser must be done with the semaphore once its waiter wakes: the waiter destroys it
// right away (the sanitizer builds catch a late touch).
TEST(PlatformSemaphore, WokenWaiterMayDestroyTheSemaphoreAtOnce)
{
    for (int round = 0; round < 200; ++round) {
        kp::Semaphore* s = kp::semaphore_create(0, 1);
        ASSERT_NE(s, nullptr);
        std::atomic<bool> waiting{false};
        Runner releaser([&] {
            while (!waiting.load())
                kp::sleep_ms(0);
            kp::semaphore_release(s, 1, nullptr);
        });
        waiting = true;
        ASSERT_EQ(kp::semaphore_wait(s, kp::kInfinite), kp::WaitResult::kSignaled);
        kp::semaphore_destroy(s);
    }
}

// Waiters with 1 ms time-outs against releasers: every released unit is taken exactly once.
TEST(PlatformSemaphore, UnitsSurviveTimeOutsRacingWithReleases)
{
    constexpr int kReleasers = 2;
    constexpr int kUnitsEach = 5000;
    constexpr int kTotal = kReleasers * kUnitsEach;
    kp::Semaphore* s = kp::semaphore_create(0, kTotal);
    ASSERT_NE(s, nullptr);
    std::atomic<int> taken{0};
    std::atomic<int> timeouts{0};
    {
        std::vector<std::unique_ptr<Runner>> threads;
        for (int i = 0; i < 3; ++i) {
            threads.push_back(std::make_unique<Runner>([&] {
                while (taken.load() < kTotal) {
                    if (kp::semaphore_wait(s, 1) == kp::WaitResult::kSignaled) {
                        taken.fetch_add(1);
                    } else {
                        timeouts.fetch_add(1);
                    }
                }
            }));
        }
        for (int i = 0; i < kReleasers; ++i) {
            threads.push_back(std::make_unique<Runner>([&] {
                for (int n = 0; n < kUnitsEach; ++n) {
                    EXPECT_TRUE(kp::semaphore_release(s, 1, nullptr));
                    if (n % 64 == 0)
                        kp::sleep_ms(1);  // lets waiters time out now and then
                }
            }));
        }
        EXPECT_TRUE(eventually([&] { return taken.load() >= kTotal; }, 120000));
    }
    EXPECT_EQ(taken.load(), kTotal);
    EXPECT_EQ(kp::semaphore_wait(s, 0), kp::WaitResult::kTimeout);  // nothing left over
    kp::semaphore_destroy(s);
}
