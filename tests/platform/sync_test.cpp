// Semaphores, owned mutexes and the brief mutex. Units racing with time-outs are proven by the sync
// stress test; the critical section by the system lock's tests.
#include "tests/platform/runner.h"

using enum kp::WaitResult;

TEST(PlatformSemaphore, ReleaseBeyondMaximumFailsWith298AndChangesNothing) {
    for (const auto& [initial, maximum] : {std::pair{2, 1}, {-1, 1}, {0, 0}})
        EXPECT_EQ(kp::semaphore_create(initial, maximum), nullptr) << initial << "/" << maximum;
    EXPECT_EQ(kp::last_error(), kp::kErrInvalidParameter);
    kp::Semaphore* s = kp::semaphore_create(1, 3);
    long previous = -1;
    EXPECT_TRUE(kp::semaphore_release(s, 2, &previous));
    EXPECT_EQ(previous, 1);
    EXPECT_FALSE(kp::semaphore_release(s, 1, &previous));
    EXPECT_EQ(kp::last_error(), kp::kErrTooManyPosts);
    EXPECT_EQ(previous, 1);  // untouched by the failed call
    for (int i = 0; i < 3; ++i) EXPECT_EQ(kp::semaphore_wait(s, 0), kSignaled);
    const uint64_t start = kp::perf_counter();
    EXPECT_EQ(kp::semaphore_wait(s, 50), kTimeout);
    EXPECT_GE(elapsed_ms(start), 45);
    kp::semaphore_destroy(s);
}

// The releaser must be done with the semaphore once its waiter wakes: the waiter destroys it
// right away (the sanitizer builds catch a late touch).
TEST(PlatformSemaphore, WokenWaiterMayDestroyTheSemaphoreAtOnce) {
    for (int round = 0; round < 200; ++round) {
        kp::Semaphore* s = kp::semaphore_create(0, 1);
        std::atomic<bool> waiting{false};
        Runner releaser([&] {
            while (!waiting.load()) kp::sleep_ms(0);
            kp::semaphore_release(s, 1, nullptr);
        });
        waiting = true;
        ASSERT_EQ(kp::semaphore_wait(s, kp::kInfinite), kSignaled);
        kp::semaphore_destroy(s);
    }
}

// Owned mutex: recursive, released only by its owner, and handed over as abandoned (told once)
// when its owner ends or is terminated while holding it.
TEST(PlatformMutex, IsRecursiveOwnedAndHandedOverAsAbandoned) {
    kp::Mutex* m = kp::mutex_create(true);
    EXPECT_EQ(kp::mutex_wait(m, 0), kSignaled);
    std::atomic<int> taken{0};
    auto take = [&](bool hold) {
        const bool refused = !kp::mutex_release(m) && kp::last_error() == kp::kErrNotOwner;
        kp::mutex_wait(m, kp::kInfinite);
        for (taken = refused ? taken + 1 : -9; hold;) kp::sleep_ms(1);
    };
    {
        Runner owner([&] { take(false); });  // ends while it holds the mutex
        kp::sleep_ms(20);
        EXPECT_EQ(taken.load(), 0);
        EXPECT_TRUE(kp::mutex_release(m) && kp::mutex_release(m));
        EXPECT_FALSE(kp::mutex_release(m));  // no longer owned
        EXPECT_EQ(kp::last_error(), kp::kErrNotOwner);
        ASSERT_TRUE(WaitFor([&] { return taken == 1; }));
        EXPECT_EQ(kp::mutex_wait(m, 10000), kAbandoned);
        EXPECT_TRUE(kp::mutex_release(m));
        EXPECT_EQ(kp::mutex_wait(m, 0), kSignaled);  // told only once
        EXPECT_TRUE(kp::mutex_release(m));
        Runner holder([&] { take(true); });
        ASSERT_TRUE(WaitFor([&] { return taken == 2; }));
        Runner killer([&] {
            kp::sleep_ms(30);  // while this thread waits for the mutex
            taken = kp::thread_terminate(holder.get()) ? 3 : -1;
        });
        EXPECT_EQ(kp::mutex_wait(m, 10000), kAbandoned);
        EXPECT_TRUE(kp::mutex_release(m));
        EXPECT_TRUE(WaitFor([&] { return taken == 3; }));
    }
    kp::mutex_destroy(m);
}

// Three threads count under one BriefMutex; a holder now and then stays past the others' spin,
// so that they sleep on the lock and must be woken.
TEST(PlatformBriefMutex, ExcludesUnderContention) {
    kp::BriefMutex lock;
    constexpr int kRounds = 20000;
    long counter = 0;
    int inside = 0;
    bool overlapped = false;
    std::atomic<int> done{0};
    auto count = [&] {
        for (int i = 0; i < kRounds; ++i) {
            std::lock_guard guard(lock);
            overlapped = overlapped || ++inside != 1;
            if (i % 2000 == 0) kp::sleep_ms(1);
            ++counter;
            --inside;
        }
        ++done;
    };
    Runner first(count);
    Runner second(count);
    count();
    ASSERT_TRUE(WaitFor([&] { return done == 3; }));
    std::lock_guard guard(lock);
    EXPECT_EQ(counter, 3 * kRounds);
    EXPECT_FALSE(overlapped);
}
