// Semaphores, owned mutexes and critical sections.
#include <gtest/gtest.h>

#include <atomic>

#include "kerval/platform/platform.h"

namespace kp = kerval::platform;

namespace {

kp::Thread* run_thread(kp::ThreadFn fn, void* arg)
{
    kp::Thread* t = kp::thread_create_suspended(fn, arg, 0);
    if (t != nullptr)
        kp::thread_resume(t);
    return t;
}

void finish(kp::Thread* t)
{
    kp::thread_terminate(t);  // joins; harmless once the thread has returned
    kp::thread_release(t);
}

struct MutexHandOver {
    kp::Mutex* mutex = nullptr;
    kp::Semaphore* taken = nullptr;
    kp::Semaphore* hold = nullptr;  // the owner waits here forever
};

void take_and_return(void* arg)
{
    auto* h = static_cast<MutexHandOver*>(arg);
    kp::mutex_wait(h->mutex, kp::kInfinite);
    kp::semaphore_release(h->taken, 1, nullptr);
}

void take_and_hold(void* arg)
{
    auto* h = static_cast<MutexHandOver*>(arg);
    kp::mutex_wait(h->mutex, kp::kInfinite);
    kp::semaphore_release(h->taken, 1, nullptr);
    kp::semaphore_wait(h->hold, kp::kInfinite);
}

}  // namespace

TEST(PlatformSemaphore, ReleaseBeyondMaximumFailsWith298AndChangesNothing)
{
    kp::Semaphore* s = kp::semaphore_create(1, 3);
    ASSERT_NE(s, nullptr);
    long previous = -1;
    EXPECT_TRUE(kp::semaphore_release(s, 2, &previous));
    EXPECT_EQ(previous, 1);
    EXPECT_FALSE(kp::semaphore_release(s, 1, &previous));
    EXPECT_EQ(kp::last_error(), kp::kErrTooManyPosts);
    EXPECT_EQ(previous, 1);  // untouched by the failed call
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(kp::semaphore_wait(s, 0), kp::WaitResult::kSignaled);
    EXPECT_EQ(kp::semaphore_wait(s, 0), kp::WaitResult::kTimeout);
    EXPECT_FALSE(kp::semaphore_release(s, 4, nullptr));
    EXPECT_EQ(kp::semaphore_wait(s, 0), kp::WaitResult::kTimeout);
    kp::semaphore_destroy(s);
}

TEST(PlatformSemaphore, RejectsInvalidCounts)
{
    EXPECT_EQ(kp::semaphore_create(2, 1), nullptr);
    EXPECT_EQ(kp::semaphore_create(-1, 1), nullptr);
    EXPECT_EQ(kp::semaphore_create(0, 0), nullptr);
    EXPECT_EQ(kp::last_error(), kp::kErrInvalidParameter);
}

TEST(PlatformSemaphore, TimedWaitExpiresAndReleaseWakesWaiter)
{
    kp::Semaphore* s = kp::semaphore_create(0, 1);
    const uint64_t start = kp::perf_counter();
    EXPECT_EQ(kp::semaphore_wait(s, 50), kp::WaitResult::kTimeout);
    EXPECT_GE((kp::perf_counter() - start) * 1000 / kp::perf_frequency(), 45u);

    kp::Semaphore* done = kp::semaphore_create(0, 1);
    struct Pair {
        kp::Semaphore* s;
        kp::Semaphore* done;
    } pair{s, done};
    kp::Thread* t = run_thread(
        [](void* arg) {
            auto* p = static_cast<Pair*>(arg);
            if (kp::semaphore_wait(p->s, kp::kInfinite) == kp::WaitResult::kSignaled) {
                kp::semaphore_release(p->done, 1, nullptr);
            }
        },
        &pair);
    kp::sleep_ms(20);
    EXPECT_TRUE(kp::semaphore_release(s, 1, nullptr));
    EXPECT_EQ(kp::semaphore_wait(done, 10000), kp::WaitResult::kSignaled);
    finish(t);
    kp::semaphore_destroy(done);
    kp::semaphore_destroy(s);
}

TEST(PlatformMutex, IsRecursiveAndRefusesReleaseByNonOwner)
{
    kp::Mutex* m = kp::mutex_create(true);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(kp::mutex_wait(m, 0), kp::WaitResult::kSignaled);
    std::atomic<int> other_result{-1};
    struct Ctx {
        kp::Mutex* m;
        std::atomic<int>* result;
    } ctx{m, &other_result};
    kp::Thread* t = run_thread(
        [](void* arg) {
            auto* c = static_cast<Ctx*>(arg);
            const bool released = kp::mutex_release(c->m);
            const bool refused = !released && kp::last_error() == kp::kErrNotOwner;
            const bool busy = kp::mutex_wait(c->m, 20) == kp::WaitResult::kTimeout;
            c->result->store(refused && busy ? 1 : 0);
        },
        &ctx);
    for (int i = 0; i < 10000 && other_result < 0; ++i)
        kp::sleep_ms(1);
    EXPECT_EQ(other_result.load(), 1);
    finish(t);
    EXPECT_TRUE(kp::mutex_release(m));
    EXPECT_TRUE(kp::mutex_release(m));
    EXPECT_FALSE(kp::mutex_release(m));  // no longer owned
    EXPECT_EQ(kp::last_error(), kp::kErrNotOwner);
    kp::mutex_destroy(m);
}

TEST(PlatformMutex, MutexOfEndedOwnerIsHandedOverAsAbandoned)
{
    MutexHandOver h{kp::mutex_create(false), kp::semaphore_create(0, 1), nullptr};
    kp::Thread* t = run_thread(take_and_return, &h);
    ASSERT_EQ(kp::semaphore_wait(h.taken, 10000), kp::WaitResult::kSignaled);
    EXPECT_EQ(kp::mutex_wait(h.mutex, 10000), kp::WaitResult::kAbandoned);
    EXPECT_TRUE(kp::mutex_release(h.mutex));
    EXPECT_EQ(kp::mutex_wait(h.mutex, 0), kp::WaitResult::kSignaled);  // told only once
    EXPECT_TRUE(kp::mutex_release(h.mutex));
    finish(t);
    kp::semaphore_destroy(h.taken);
    kp::mutex_destroy(h.mutex);
}

TEST(PlatformMutex, TerminatedOwnerHandsMutexToWaitingThreadAsAbandoned)
{
    MutexHandOver h{kp::mutex_create(false), kp::semaphore_create(0, 1),
                    kp::semaphore_create(0, 1)};
    kp::Thread* owner = run_thread(take_and_hold, &h);
    ASSERT_EQ(kp::semaphore_wait(h.taken, 10000), kp::WaitResult::kSignaled);
    std::atomic<int> seen{-1};
    struct Ctx {
        kp::Mutex* m;
        std::atomic<int>* seen;
    } ctx{h.mutex, &seen};
    kp::Thread* waiter = run_thread(
        [](void* arg) {
            auto* c = static_cast<Ctx*>(arg);
            c->seen->store(static_cast<int>(kp::mutex_wait(c->m, kp::kInfinite)));
            kp::mutex_release(c->m);
        },
        &ctx);
    kp::sleep_ms(30);
    EXPECT_EQ(seen.load(), -1);
    EXPECT_TRUE(kp::thread_terminate(owner));
    for (int i = 0; i < 10000 && seen < 0; ++i)
        kp::sleep_ms(1);
    EXPECT_EQ(seen.load(), static_cast<int>(kp::WaitResult::kAbandoned));
    finish(waiter);
    kp::thread_release(owner);
    kp::semaphore_destroy(h.hold);
    kp::semaphore_destroy(h.taken);
    kp::mutex_destroy(h.mutex);
}

TEST(PlatformCriticalSection, IsRecursiveAndExcludesOtherThreads)
{
    kp::CriticalSection* cs = kp::critical_section_create();
    struct Ctx {
        kp::CriticalSection* cs;
        std::atomic<int> inside{0};
        std::atomic<int> max_inside{0};
        std::atomic<int> rounds{0};
    } ctx;
    ctx.cs = cs;
    auto body = [](void* arg) {
        auto* c = static_cast<Ctx*>(arg);
        for (int i = 0; i < 2000; ++i) {
            kp::critical_section_enter(c->cs);
            kp::critical_section_enter(c->cs);
            const int now = ++c->inside;
            if (now > c->max_inside)
                c->max_inside = now;
            --c->inside;
            kp::critical_section_leave(c->cs);
            kp::critical_section_leave(c->cs);
        }
        ++c->rounds;
    };
    kp::Thread* a = run_thread(body, &ctx);
    kp::Thread* b = run_thread(body, &ctx);
    for (int i = 0; i < 20000 && ctx.rounds < 2; ++i)
        kp::sleep_ms(1);
    EXPECT_EQ(ctx.rounds.load(), 2);
    EXPECT_EQ(ctx.max_inside.load(), 1);
    finish(a);
    finish(b);
    kp::critical_section_destroy(cs);
}
