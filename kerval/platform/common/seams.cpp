// Test seam storage and the manual tick registry (both platforms).
#include <algorithm>
#include <atomic>
#include <vector>

#include "kerval/platform/common/seams_internal.h"

namespace kerval::platform {
namespace {

std::atomic<seams::ClockRead> g_clock_read{nullptr};
std::atomic<seams::ClockSet> g_clock_set{nullptr};
std::atomic<seams::MessageBoxAnswer> g_message_box{nullptr};
std::atomic<seams::PrivilegeCheck> g_privilege{nullptr};
std::atomic<seams::ShutdownRequest> g_shutdown{nullptr};
std::atomic<seams::ProcessExit> g_process_exit{nullptr};
std::atomic<seams::Resolver> g_resolver{nullptr};
std::atomic<bool> g_manual_tick{false};

// Protects the target list; recursive so that a callback run by manual_tick may start or
// stop timers. Both live as long as the process: a ticker stays registered to the end.
std::recursive_mutex& targets_lock()
{
    static auto* lock = new std::recursive_mutex;
    return *lock;
}
std::vector<detail::TickTarget*>& targets()
{
    static auto* list = new std::vector<detail::TickTarget*>;
    return *list;
}
bool is_registered(detail::TickTarget* target)
{
    auto& list = targets();
    return std::find(list.begin(), list.end(), target) != list.end();
}

}  // namespace

namespace seams {
void set_clock(ClockRead read, ClockSet set)
{
    g_clock_read = read;
    g_clock_set = set;
}
void set_manual_tick(bool manual)
{
    g_manual_tick = manual;
}
void manual_tick()
{
    std::lock_guard guard(targets_lock());
    const std::vector<detail::TickTarget*> snapshot = targets();
    for (bool tickers : {false, true}) {
        for (detail::TickTarget* target : snapshot) {
            if (is_registered(target) && target->after_timers == tickers)
                detail::tick_target_fire(target);
        }
    }
}
void set_message_box(MessageBoxAnswer answer)
{
    g_message_box = answer;
}
void set_privilege(PrivilegeCheck check)
{
    g_privilege = check;
}
void set_shutdown(ShutdownRequest request)
{
    g_shutdown = request;
}
void set_process_exit(ProcessExit on_exit)
{
    g_process_exit = on_exit;
}
void set_resolver(Resolver resolve)
{
    g_resolver = resolve;
}
}  // namespace seams

namespace detail {
seams::ClockRead clock_read_seam()
{
    return g_clock_read;
}
seams::ClockSet clock_set_seam()
{
    return g_clock_set;
}
seams::MessageBoxAnswer message_box_seam()
{
    return g_message_box;
}
seams::PrivilegeCheck privilege_seam()
{
    return g_privilege;
}
seams::ShutdownRequest shutdown_seam()
{
    return g_shutdown;
}
seams::ProcessExit process_exit_seam()
{
    return g_process_exit;
}
seams::Resolver resolver_seam()
{
    return g_resolver;
}
bool manual_tick_enabled()
{
    return g_manual_tick;
}

void tick_target_add(TickTarget* target)
{
    std::lock_guard guard(targets_lock());
    targets().push_back(target);
}
void tick_target_remove(TickTarget* target)
{
    std::lock_guard guard(targets_lock());
    auto& list = targets();
    list.erase(std::remove(list.begin(), list.end(), target), list.end());
}
void tick_target_fire(TickTarget* target)
{
    std::lock_guard guard(target->calling);
    target->fn(target->ctx);
}
}  // namespace detail

}  // namespace kerval::platform
