// One-process flag. In the DLL the flag lives in a data section that Windows shares between
// every process loading the library file; the entry point sets it on process attach and
// clears it on detach. The static build has no such section and always lets the caller in.
#include <windows.h>

#include "kerval/platform/platform.h"

namespace kerval::platform {

#ifdef KERVAL_SHARED_BUILD

namespace {

// Shared by all processes mapping kerval.dll: 1 while one holds the library, and its id.
volatile LONG g_held __attribute__((section(".Global"), shared)) = 0;
volatile LONG g_holder_pid __attribute__((section(".Global"), shared)) = 0;

bool process_alive(DWORD pid) {
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

// A holder killed without its detach notification leaves the flag set: take it over.
bool take_over_from_dead_holder(LONG me) {
    const LONG holder = g_holder_pid;
    if (holder == 0 || holder == me || process_alive(static_cast<DWORD>(holder))) return false;
    return InterlockedCompareExchange(&g_holder_pid, me, holder) == holder;
}

}  // namespace

bool single_process_attach() {
    const auto me = static_cast<LONG>(GetCurrentProcessId());
    if (InterlockedCompareExchange(&g_held, 1, 0) == 0) {
        InterlockedExchange(&g_holder_pid, me);
        return true;
    }
    return take_over_from_dead_holder(me);
}

void single_process_detach() {
    const auto me = static_cast<LONG>(GetCurrentProcessId());
    if (InterlockedCompareExchange(&g_holder_pid, 0, me) == me) InterlockedExchange(&g_held, 0);
}

bool single_process_check(uint32_t* holder_pid) {
    const auto holder = static_cast<uint32_t>(g_holder_pid);
    if (g_held != 0 && holder == GetCurrentProcessId()) return true;
    if (holder_pid != nullptr) *holder_pid = holder;
    return false;
}

#else

bool single_process_attach() { return true; }
void single_process_detach() {}
bool single_process_check(uint32_t*) { return true; }

#endif

}  // namespace kerval::platform
