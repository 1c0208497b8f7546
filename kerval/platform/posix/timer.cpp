// Periodic timer: one thread per timer sleeping to absolute CLOCK_MONOTONIC deadlines, so
// late wake-ups do not accumulate into drift.
#include <time.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "kerval/platform/common/seams_internal.h"
#include "kerval/platform/platform.h"

namespace kerval::platform {

struct Timer {
    detail::TickTarget target;
    uint32_t period_ms = 0;
    std::atomic<bool> stopping{false};
    std::thread worker;
};

namespace {

// Beyond this many periods late the schedule restarts from now instead of catching up.
constexpr int64_t kMaxCatchUpPeriods = 10;
constexpr int64_t kNanosPerSecond = 1000000000;

int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
}

void sleep_until_ns(int64_t deadline)
{
    const timespec when{static_cast<time_t>(deadline / kNanosPerSecond),
                        static_cast<long>(deadline % kNanosPerSecond)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

void run_timer(Timer* t)
{
    const int64_t period = static_cast<int64_t>(t->period_ms) * 1000000;
    int64_t deadline = monotonic_ns() + period;
    while (true) {
        sleep_until_ns(deadline);
        if (t->stopping)
            return;
        if (!detail::manual_tick_enabled())
            detail::tick_target_fire(&t->target);
        deadline += period;
        const int64_t now = monotonic_ns();
        if (now - deadline > kMaxCatchUpPeriods * period)
            deadline = now + period;
    }
}

}  // namespace

Timer* timer_start(uint32_t period_ms, uint32_t /*resolution_ms*/, TickFn fn, void* ctx)
{
    if (period_ms == 0 || fn == nullptr) {
        set_last_error(kErrInvalidParameter);
        return nullptr;
    }
    auto* t = new Timer;
    t->target.fn = fn;
    t->target.ctx = ctx;
    t->period_ms = period_ms;
    detail::tick_target_add(&t->target);
    try {
        t->worker = std::thread(run_timer, t);
    } catch (...) {
        detail::tick_target_remove(&t->target);
        delete t;
        set_last_error(kErrNotEnoughMemory);
        return nullptr;
    }
    return t;
}

// Must not be called from the timer's own callback.
void timer_stop(Timer* t)
{
    if (t == nullptr)
        return;
    detail::tick_target_remove(&t->target);
    t->stopping = true;
    t->worker.join();  // within one period
    delete t;
}

}  // namespace kerval::platform
