// Periodic timer on the Win32 multimedia timer. All multimedia timer callbacks of a process run
// on one thread, and tick_target_fire serialises them with manual ticks.
#include <windows.h>

#include <mmsystem.h>

#include <new>

#include "kerval/platform/common/seams_internal.h"

struct kerval::platform::Timer {
    detail::TickTarget target;  // calls on_tick(this), from the OS timer or manual_tick()
    TickFn fn = nullptr;
    void* ctx = nullptr;
    UINT id = 0;
    bool stopped_by_own_tick = false;
};

namespace kerval::platform {
namespace {

thread_local Timer* t_ticking = nullptr;

void on_tick(void* ctx)
{
    auto* timer = static_cast<Timer*>(ctx);
    Timer* const outer = t_ticking;
    t_ticking = timer;
    timer->fn(timer->ctx);
    t_ticking = outer;
}

void CALLBACK on_timer(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    auto* timer = reinterpret_cast<Timer*>(user);
    if (detail::manual_tick_enabled())
        return;
    detail::tick_target_fire(&timer->target);
    // A timer stopped by its own callback is freed here, once the call has fully returned.
    if (timer->stopped_by_own_tick)
        delete timer;
}

}  // namespace

Timer* timer_start(uint32_t period_ms, uint32_t resolution_ms, TickFn fn, void* ctx)
{
    auto* timer = new (std::nothrow) Timer;
    if (timer == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    timer->fn = fn;
    timer->ctx = ctx;
    timer->target.fn = on_tick;
    timer->target.ctx = timer;
    detail::tick_target_add(&timer->target);
    timer->id = timeSetEvent(period_ms, resolution_ms, on_timer, reinterpret_cast<DWORD_PTR>(timer),
                             TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
    if (timer->id == 0) {
        detail::tick_target_remove(&timer->target);
        delete timer;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return timer;
}

void timer_stop(Timer* t)
{
    if (t == nullptr)
        return;
    // Synchronous kill: once it returns no OS callback runs or will run (unless we are it).
    timeKillEvent(t->id);
    detail::tick_target_remove(&t->target);
    if (t_ticking == t) {
        // Stopped from its own callback: the caller still runs inside it. An OS tick frees the
        // record on return; a manual tick leaves it (a test-only path).
        t->stopped_by_own_tick = true;
        return;
    }
    delete t;
}

}  // namespace kerval::platform
