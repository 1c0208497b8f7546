// Semaphores, mutexes and critical sections on Win32. Semaphore and Mutex pointers are the
// kernel object handles themselves.
#include <windows.h>

#include <new>

#include "kerval/platform/platform.h"
#include "kerval/platform/win32/internal.h"

namespace kerval::platform {
namespace {

HANDLE handle_of(void* object) { return static_cast<HANDLE>(object); }

WaitResult wait_handle(HANDLE h, uint32_t timeout_ms) {
    if (h == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WaitResult::kFailed;
    }
    switch (win32::wait_or_end(h, timeout_ms)) {
        case WAIT_OBJECT_0: return WaitResult::kSignaled;
        case WAIT_TIMEOUT: return WaitResult::kTimeout;
        case WAIT_ABANDONED: return WaitResult::kAbandoned;
        default: return WaitResult::kFailed;
    }
}

}  // namespace

Semaphore* semaphore_create(long initial, long maximum) {
    return static_cast<Semaphore*>(CreateSemaphoreA(nullptr, initial, maximum, nullptr));
}

void semaphore_destroy(Semaphore* s) {
    if (s != nullptr) CloseHandle(handle_of(s));
}

bool semaphore_release(Semaphore* s, long count, long* previous) {
    LONG before = 0;
    if (s == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!ReleaseSemaphore(handle_of(s), count, &before)) return false;
    if (previous != nullptr) *previous = before;
    return true;
}

WaitResult semaphore_wait(Semaphore* s, uint32_t timeout_ms) {
    return wait_handle(handle_of(s), timeout_ms);
}

Mutex* mutex_create(bool initially_owned) {
    return static_cast<Mutex*>(CreateMutexA(nullptr, initially_owned ? TRUE : FALSE, nullptr));
}

void mutex_destroy(Mutex* m) {
    if (m != nullptr) CloseHandle(handle_of(m));
}

WaitResult mutex_wait(Mutex* m, uint32_t timeout_ms) {
    return wait_handle(handle_of(m), timeout_ms);
}

bool mutex_release(Mutex* m) {
    if (m == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ReleaseMutex(handle_of(m)) != 0;
}

struct CriticalSection {
    CRITICAL_SECTION section;
};

CriticalSection* critical_section_create() {
    auto* cs = new (std::nothrow) CriticalSection;
    if (cs == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    InitializeCriticalSection(&cs->section);
    return cs;
}

void critical_section_destroy(CriticalSection* cs) {
    if (cs == nullptr) return;
    DeleteCriticalSection(&cs->section);
    delete cs;
}

void critical_section_enter(CriticalSection* cs) { EnterCriticalSection(&cs->section); }

void critical_section_leave(CriticalSection* cs) { LeaveCriticalSection(&cs->section); }

}  // namespace kerval::platform
