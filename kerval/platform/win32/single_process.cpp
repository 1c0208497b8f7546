// One-process flag. In the DLL the flag lives in a data section that Windows shares between
// every process loading the library file; the entry point sets it on process attach and
// clears it on detach. The static build has no such section and always lets the caller in.
#include <windows.h>

#include <cstdio>

#include "kerval/platform/platform.h"

namespace kerval::platform {
namespace {

// Name of a process-wide object standing for a file: its volume and file index.
bool lock_name_of(const char* path, char* name, size_t size)
{
    const HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = GetFileInformationByHandle(file, &info) != 0;
    const DWORD code = GetLastError();
    CloseHandle(file);
    if (!ok) {
        SetLastError(code);
        return false;
    }
    std::snprintf(name, size, "Local\\kerval-lock-%08lx-%08lx%08lx", info.dwVolumeSerialNumber,
                  info.nFileIndexHigh, info.nFileIndexLow);
    return true;
}

}  // namespace

// The lock is a named mapping holding the holder's process id; its handle is never closed, so
// Windows drops the lock when the holder ends.
bool single_process_lock(const char* path, uint32_t* holder_pid)
{
    if (holder_pid != nullptr)
        *holder_pid = 0;
    char name[64];
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!lock_name_of(path, name, sizeof name))
        return false;
    const HANDLE mapping =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG), name);
    if (mapping == nullptr)
        return false;
    const bool taken = GetLastError() != ERROR_ALREADY_EXISTS;
    auto* pid = static_cast<volatile LONG*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    if (taken) {
        if (pid != nullptr)
            InterlockedExchange(pid, static_cast<LONG>(GetCurrentProcessId()));
        return true;  // mapping and view stay open until the process ends
    }
    if (pid != nullptr && holder_pid != nullptr)
        *holder_pid = static_cast<uint32_t>(*pid);
    if (pid != nullptr)
        UnmapViewOfFile(const_cast<LONG*>(pid));
    CloseHandle(mapping);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

#ifdef KERVAL_SHARED_BUILD

namespace {

// Shared by all processes mapping kerval.dll: 1 while one holds the library, and its id.
volatile LONG g_held __attribute__((section(".Global"), shared)) = 0;
volatile LONG g_holder_pid __attribute__((section(".Global"), shared)) = 0;

bool process_alive(DWORD pid)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr)
        return GetLastError() == ERROR_ACCESS_DENIED;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

// A holder killed without its detach notification leaves the flag set: take it over.
bool take_over_from_dead_holder(LONG me)
{
    const LONG holder = g_holder_pid;
    if (holder == 0 || holder == me || process_alive(static_cast<DWORD>(holder)))
        return false;
    return InterlockedCompareExchange(&g_holder_pid, me, holder) == holder;
}

}  // namespace

bool single_process_attach()
{
    const auto me = static_cast<LONG>(GetCurrentProcessId());
    if (InterlockedCompareExchange(&g_held, 1, 0) == 0) {
        InterlockedExchange(&g_holder_pid, me);
        return true;
    }
    return take_over_from_dead_holder(me);
}

void single_process_detach()
{
    const auto me = static_cast<LONG>(GetCurrentProcessId());
    if (InterlockedCompareExchange(&g_holder_pid, 0, me) == me)
        InterlockedExchange(&g_held, 0);
}

bool single_process_check(uint32_t* holder_pid)
{
    const auto holder = static_cast<uint32_t>(g_holder_pid);
    if (g_held != 0 && holder == GetCurrentProcessId())
        return true;
    if (holder_pid != nullptr)
        *holder_pid = holder;
    return false;
}

#else

bool single_process_attach()
{
    return true;
}
void single_process_detach() {}
bool single_process_check(uint32_t*)
{
    return true;
}

#endif

}  // namespace kerval::platform
