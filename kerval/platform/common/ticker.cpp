// The on-demand ticker, on a standard thread and the platform's semaphore (both platforms).
//
// The thread sleeps on one semaphore: without time-out while the ticker is idle, until the next
// tick while it is awake. A tick marks the ticker idle before it calls fn and takes the mark back
// when fn found work. A waker publishes its work first and posts only when it finds the mark,
// which it clears: all sequentially consistent, so either the tick sees the work or the waker
// sees the mark (no wake-up is lost), and a busy waker pays one atomic load.
#include <atomic>
#include <new>
#include <thread>

#include "kerval/platform/common/seams_internal.h"
#include "kerval/platform/platform.h"

struct kerval::platform::Ticker {
    detail::TickTarget target;  // calls on_tick(this), from the thread or manual_tick()
    TickerFn fn = nullptr;
    void* ctx = nullptr;
    uint64_t period = 0;  // in perf-counter units
    Semaphore* wake = nullptr;
    std::atomic<bool> idle{true};
    std::atomic<bool> stopping{false};
    std::thread worker;
};

namespace kerval::platform {
namespace {

constexpr long kMaxPosts = 0x7fffffff;

void on_tick(void* ctx)
{
    auto* t = static_cast<Ticker*>(ctx);
    t->idle.store(true);
    // A waker that saw the mark meanwhile has posted: the thread takes it as a plain wake-up.
    if (t->fn(t->ctx))
        t->idle.store(false);
}

uint32_t ms_until(uint64_t deadline)
{
    const uint64_t now = perf_counter();
    return now >= deadline ? 0
                           : static_cast<uint32_t>((deadline - now) * 1000 / perf_frequency()) + 1;
}

void run(Ticker* t)
{
    uint64_t next = 0;  // the next tick while awake; 0 while idle
    for (;;) {
        if (t->idle.load()) {
            next = 0;
        } else if (next == 0) {
            next = perf_counter() + t->period;
        }
        const WaitResult r = semaphore_wait(t->wake, next == 0 ? kInfinite : ms_until(next));
        if (t->stopping.load())
            return;
        if (r != WaitResult::kTimeout || next == 0)
            continue;  // woken: now awake, or still awake with the same deadline
        next = perf_counter() + t->period;
        if (!detail::manual_tick_enabled())
            detail::tick_target_fire(&t->target);
    }
}

}  // namespace

Ticker* ticker_start(uint32_t period_ms, TickerFn fn, void* ctx)
{
    auto* t = period_ms == 0 || fn == nullptr ? nullptr : new (std::nothrow) Ticker;
    if (t == nullptr) {
        set_last_error(fn == nullptr ? kErrInvalidParameter : kErrNotEnoughMemory);
        return nullptr;
    }
    t->fn = fn;
    t->ctx = ctx;
    t->period = uint64_t{period_ms} * perf_frequency() / 1000;
    t->target.fn = on_tick;
    t->target.ctx = t;
    t->target.after_timers = true;
    t->wake = semaphore_create(0, kMaxPosts);
    try {
        if (t->wake == nullptr)
            throw std::bad_alloc();
        t->worker = std::thread(run, t);
    } catch (...) {
        semaphore_destroy(t->wake);
        delete t;
        set_last_error(kErrNotEnoughMemory);
        return nullptr;
    }
    detail::tick_target_add(&t->target);
    return t;
}

void ticker_wake(Ticker* t)
{
    if (t != nullptr && t->idle.load() && t->idle.exchange(false))
        semaphore_release(t->wake, 1, nullptr);
}

bool ticker_idle(const Ticker* t)
{
    return t == nullptr || t->idle.load();
}

void ticker_stop(Ticker* t)
{
    if (t == nullptr)
        return;
    detail::tick_target_remove(&t->target);
    t->stopping.store(true);
    semaphore_release(t->wake, 1, nullptr);
    t->worker.join();  // after its running call, if any
    semaphore_destroy(t->wake);
    delete t;
}

}  // namespace kerval::platform
