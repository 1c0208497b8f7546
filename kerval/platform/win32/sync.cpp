// Semaphores, mutexes and critical sections on Win32. A Semaphore wraps a kernel semaphore,
// which alone holds the count; Mutex pointers are the kernel mutex handles themselves.
//
// A waiter about to sleep on a semaphore first spins (see common/spin.h) on the number of
// releases made so far, and asks the kernel object for a unit only when that number moves: the
// spin costs no system call while nothing happens. A release counts itself before it adds the
// units, since its woken waiter may destroy the semaphore at once.
#include <windows.h>

#include <atomic>
#include <new>

#include "kerval/platform/common/spin.h"
#include "kerval/platform/platform.h"
#include "kerval/platform/win32/internal.h"

namespace kerval::platform {
namespace {

HANDLE handle_of(void* object)
{
    return static_cast<HANDLE>(object);
}

WaitResult wait_handle(HANDLE h, uint32_t timeout_ms)
{
    if (h == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WaitResult::kFailed;
    }
    switch (win32::wait_or_end(h, timeout_ms)) {
        case WAIT_OBJECT_0:
            return WaitResult::kSignaled;
        case WAIT_TIMEOUT:
            return WaitResult::kTimeout;
        case WAIT_ABANDONED:
            return WaitResult::kAbandoned;
        default:
            return WaitResult::kFailed;
    }
}

}  // namespace

struct Semaphore {
    HANDLE handle = nullptr;
    std::atomic<uint32_t> releases{0};  // releases begun so far
    detail::SpinHistory spin;
};

namespace {

// Spins until a release lets the caller take a unit; true when it took one.
bool spin_for_unit(Semaphore* s)
{
    uint32_t seen = s->releases.load(std::memory_order_relaxed);
    bool released = false;
    return detail::spin_for(s->spin, [&] {
        const uint32_t now = s->releases.load(std::memory_order_acquire);
        released = released || now != seen;
        seen = now;
        if (!released)
            return detail::Poll::kAgain;
        // The release may not have reached the kernel object yet: keep asking until it has.
        return WaitForSingleObject(s->handle, 0) == WAIT_OBJECT_0 ? detail::Poll::kTaken
                                                                  : detail::Poll::kAgain;
    });
}

}  // namespace

namespace detail {

unsigned processors_usable()
{
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        return 1;
    const int n = __builtin_popcountll(static_cast<unsigned long long>(process));
    return n > 1 ? static_cast<unsigned>(n) : 1u;
}

}  // namespace detail

Semaphore* semaphore_create(long initial, long maximum)
{
    const HANDLE h = CreateSemaphoreA(nullptr, initial, maximum, nullptr);
    if (h == nullptr)
        return nullptr;
    auto* s = new (std::nothrow) Semaphore;
    if (s == nullptr) {
        CloseHandle(h);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    s->handle = h;
    return s;
}

void semaphore_destroy(Semaphore* s)
{
    if (s == nullptr)
        return;
    CloseHandle(s->handle);
    delete s;
}

bool semaphore_release(Semaphore* s, long count, long* previous)
{
    LONG before = 0;
    if (s == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    s->releases.fetch_add(1, std::memory_order_release);
    if (!ReleaseSemaphore(s->handle, count, &before))
        return false;
    if (previous != nullptr)
        *previous = before;
    return true;
}

WaitResult semaphore_wait(Semaphore* s, uint32_t timeout_ms)
{
    if (s == nullptr)
        return wait_handle(nullptr, timeout_ms);
    const WaitResult now = wait_handle(s->handle, 0);
    if (now != WaitResult::kTimeout || timeout_ms == 0)
        return now;
    if (spin_for_unit(s))
        return WaitResult::kSignaled;
    return wait_handle(s->handle, timeout_ms);
}

Mutex* mutex_create(bool initially_owned)
{
    return static_cast<Mutex*>(CreateMutexA(nullptr, initially_owned ? TRUE : FALSE, nullptr));
}

void mutex_destroy(Mutex* m)
{
    if (m != nullptr)
        CloseHandle(handle_of(m));
}

WaitResult mutex_wait(Mutex* m, uint32_t timeout_ms)
{
    return wait_handle(handle_of(m), timeout_ms);
}

bool mutex_release(Mutex* m)
{
    if (m == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ReleaseMutex(handle_of(m)) != 0;
}

struct CriticalSection {
    CRITICAL_SECTION section;
};

CriticalSection* critical_section_create()
{
    auto* cs = new (std::nothrow) CriticalSection;
    if (cs == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    InitializeCriticalSection(&cs->section);
    return cs;
}

void critical_section_destroy(CriticalSection* cs)
{
    if (cs == nullptr)
        return;
    DeleteCriticalSection(&cs->section);
    delete cs;
}

void critical_section_enter(CriticalSection* cs)
{
    EnterCriticalSection(&cs->section);
}

void critical_section_leave(CriticalSection* cs)
{
    LeaveCriticalSection(&cs->section);
}

}  // namespace kerval::platform
