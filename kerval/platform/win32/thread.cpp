// Threads on Win32: a Thread owns a real thread handle (duplicated for adopted threads).
#include <windows.h>

#include <new>

#include "kerval/platform/platform.h"

struct kerval::platform::Thread {
    HANDLE handle = nullptr;
    DWORD id = 0;
    ThreadFn fn = nullptr;
    void* arg = nullptr;
};

namespace kerval::platform {
namespace {

thread_local Thread* t_current = nullptr;

DWORD WINAPI thread_entry(LPVOID param) {
    auto* self = static_cast<Thread*>(param);
    t_current = self;
    // The record may be released by fn itself: read it before the call, never after.
    ThreadFn fn = self->fn;
    void* arg = self->arg;
    fn(arg);
    t_current = nullptr;
    return 0;
}

uint64_t filetime_100ns(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// Wine releases a terminated thread's memory a little after its handle is signalled, and a
// creation in that window fails with ERROR_INVALID_PARAMETER: retry it briefly.
HANDLE create_thread(size_t stack_size, Thread* t) {
    constexpr int kAttempts = 200;
    for (int attempt = 0;; ++attempt) {
        const HANDLE h =
            CreateThread(nullptr, stack_size, thread_entry, t, CREATE_SUSPENDED, &t->id);
        if (h != nullptr || attempt == kAttempts || GetLastError() != ERROR_INVALID_PARAMETER) {
            return h;
        }
        Sleep(attempt < 10 ? 0 : 1);
    }
}

bool valid(const Thread* t) {
    if (t != nullptr && t->handle != nullptr) return true;
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

}  // namespace

Thread* thread_create_suspended(ThreadFn fn, void* arg, size_t stack_size) {
    auto* t = new (std::nothrow) Thread;
    if (t == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    t->fn = fn;
    t->arg = arg;
    t->handle = create_thread(stack_size, t);
    if (t->handle == nullptr) {
        const DWORD code = GetLastError();
        delete t;
        SetLastError(code);
        return nullptr;
    }
    return t;
}

Thread* thread_adopt_current() {
    if (t_current != nullptr) return t_current;
    auto* t = new Thread;
    const HANDLE process = GetCurrentProcess();
    DuplicateHandle(process, GetCurrentThread(), process, &t->handle, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    t->id = GetCurrentThreadId();
    t_current = t;
    return t;
}

Thread* thread_current() { return t_current; }

long thread_resume(Thread* t) {
    if (!valid(t)) return -1;
    const DWORD previous = ResumeThread(t->handle);
    return previous == static_cast<DWORD>(-1) ? -1 : static_cast<long>(previous);
}

long thread_suspend(Thread* t) {
    if (!valid(t)) return -1;
    const DWORD previous = SuspendThread(t->handle);
    return previous == static_cast<DWORD>(-1) ? -1 : static_cast<long>(previous);
}

bool thread_terminate(Thread* t) {
    if (!valid(t)) return false;
    if (t->id == GetCurrentThreadId()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!TerminateThread(t->handle, 0)) return false;
    // TerminateThread only starts the end; wait so the thread is gone when we return.
    WaitForSingleObject(t->handle, 5000);
    return true;
}

void thread_exit_current() { ExitThread(0); }

void thread_release(Thread* t) {
    if (t == nullptr) return;
    if (t == t_current) t_current = nullptr;
    if (t->handle != nullptr) CloseHandle(t->handle);
    delete t;
}

bool thread_set_priority(Thread* t, int priority) {
    return valid(t) && SetThreadPriority(t->handle, priority) != 0;
}

int thread_get_priority(Thread* t) {
    if (!valid(t)) return kPrioError;
    return GetThreadPriority(t->handle);
}

uint32_t thread_id(Thread* t) { return t != nullptr ? t->id : 0; }

uint32_t current_thread_id() { return GetCurrentThreadId(); }

bool thread_times(Thread* t, uint64_t* kernel_100ns, uint64_t* user_100ns) {
    if (!valid(t)) return false;
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(t->handle, &created, &exited, &kernel, &user)) return false;
    *kernel_100ns = filetime_100ns(kernel);
    *user_100ns = filetime_100ns(user);
    return true;
}

void sleep_ms(uint32_t ms) { Sleep(ms); }

}  // namespace kerval::platform
