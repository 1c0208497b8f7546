// Storage of the platform test seams, shared by the POSIX and Win32 implementations.
// Only kerval/platform code includes this header.
#pragma once

#include <mutex>

#include "kerval/platform/platform.h"

namespace kerval::platform::detail {

// Current seams; null when the real behaviour applies.
seams::ClockRead clock_read_seam();
seams::ClockSet clock_set_seam();
seams::MessageBoxAnswer message_box_seam();
seams::PrivilegeCheck privilege_seam();
seams::ShutdownRequest shutdown_seam();
seams::ProcessExit process_exit_seam();
seams::Resolver resolver_seam();
bool manual_tick_enabled();

// A periodic timer's callback as seen by both the OS timer and manual_tick(). Firing goes
// through tick_target_fire, which serialises calls so a callback never runs twice at once.
struct TickTarget {
    TickFn fn = nullptr;
    void* ctx = nullptr;
    bool after_timers = false;  // a ticker: manual_tick() calls it once the timers have run
    std::mutex calling;
};
void tick_target_add(TickTarget* target);
// After return no manual tick calls the target (a running manual call has finished, unless
// the caller is that call itself).
void tick_target_remove(TickTarget* target);
void tick_target_fire(TickTarget* target);

// Windows' own text of an error code this library reports, or null for other codes.
const char* windows_error_text(uint32_t code);

}  // namespace kerval::platform::detail
