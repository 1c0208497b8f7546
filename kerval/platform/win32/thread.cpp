// Threads on Win32: a Thread owns a real thread handle (duplicated for adopted threads).
//
// Termination is cooperative where it can be: thread_terminate sets the thread's `stop` event,
// and a thread blocked in a platform wait (semaphore, mutex, sleep) leaves from there with
// ExitThread, so the C runtime, the heap and the loader see an ordinary thread end. Only a
// thread that does not reach a platform wait within a short grace period, or one that is
// suspended, is killed with TerminateThread.
//
// Lock regions: SuspendThread stops a thread at once, wherever it is. So the suspender stops it,
// waits until it really stands (GetThreadContext), and reads its region count: inside a region it
// lets the thread run on with a suspension owed, which the thread pays by suspending itself when
// it leaves its last region. A termination of a thread inside a region waits for it to end itself
// there. The system suspend count stays at most one: further suspensions are only counted.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "kerval/platform/platform.h"
#include "kerval/platform/win32/internal.h"

// Shared by the owner and the thread itself: each holds one reference, the last one frees it.
struct kerval::platform::Thread {
    HANDLE handle = nullptr;
    DWORD id = 0;
    ThreadFn fn = nullptr;
    void* arg = nullptr;
    std::atomic<int> references{2};
    // True while the thread runs fn and holds its reference; whoever clears it drops that
    // reference (the thread on its way out, or thread_terminate for a killed thread).
    std::atomic<bool> running{true};
    // A thread ended before it reached fn is let run to its end instead of being killed: Wine
    // cannot always kill a thread that is still starting, and the process then never exits.
    std::atomic<bool> started{false};
    std::atomic<bool> cancelled{false};
    HANDLE stop = nullptr;  // manual-reset event set by thread_terminate
    // Suspend count kept beside the system's (a thread is created suspended once). A thread
    // suspending itself counts before it stops.
    std::atomic<long> suspensions{1};
    // Processor times kept when the thread ends or is killed: Wine reports 0 afterwards.
    std::atomic<uint64_t> kernel_at_kill{0};
    std::atomic<uint64_t> user_at_kill{0};
    // Lock regions of the thread (see platform.h); read by others only while it stands still.
    std::atomic<int> regions{0};
    std::atomic<int> lock_waits{0};
    std::atomic<int> owed{0};  // kNotOwed, kOwed (suspend on leaving), kPaying (suspending itself)
    std::atomic<bool> end_requested{false};
    GuardedMutex control;  // serialises suspensions and resumptions

    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    ~Thread()
    {
        if (stop != nullptr)
            CloseHandle(stop);
    }
};

// True once the process has begun to end (ExitProcess). Declared in no Windows header, exported
// by ntdll.
extern "C" BOOLEAN NTAPI RtlDllShutdownInProgress(void);

namespace kerval::platform {
namespace {

thread_local Thread* t_current = nullptr;  // cleared when the owner releases the record
thread_local Thread* t_own = nullptr;      // the record this thread holds a reference on
thread_local Thread* t_regions = nullptr;  // the record counting this thread's regions

constexpr int kNotOwed = 0;
constexpr int kOwed = 1;
constexpr int kPaying = 2;

void unreference(Thread* t)
{
    if (t->references.fetch_sub(1) == 1)
        delete t;
}

// The calling thread is leaving: from now on it must not be killed (it may hold the loader
// lock while it ends), only waited for.
void leave_own_record()
{
    Thread* const own = t_own;
    t_own = nullptr;
    t_current = nullptr;
    t_regions = nullptr;
    if (own == nullptr)
        return;
    // Wine may report 0 for an ended thread: keep the times it had on its way out.
    FILETIME created, exited, kernel, user;
    if (GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) {
        const auto ticks = [](const FILETIME& ft) {
            return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
        };
        own->kernel_at_kill = ticks(kernel);
        own->user_at_kill = ticks(user);
    }
    if (own->running.exchange(false))
        unreference(own);
}

[[noreturn]] void end_current_thread()
{
    leave_own_record();
    ExitThread(0);
}

DWORD WINAPI thread_entry(LPVOID param)
{
    auto* self = static_cast<Thread*>(param);
    t_current = self;
    t_own = self;
    t_regions = self;
    self->started = true;
    if (!self->cancelled)
        self->fn(self->arg);
    leave_own_record();
    return 0;
}

uint64_t filetime_100ns(const FILETIME& ft)
{
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// Wine releases a terminated thread's memory a little after its handle is signalled, and a
// creation in that window fails with ERROR_INVALID_PARAMETER: retry it briefly.
HANDLE create_thread(size_t stack_size, Thread* t)
{
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

bool valid(const Thread* t)
{
    if (t != nullptr && t->handle != nullptr)
        return true;
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

}  // namespace

Thread* thread_create_suspended(ThreadFn fn, void* arg, size_t stack_size)
{
    auto* t = new (std::nothrow) Thread;
    if (t == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    t->fn = fn;
    t->arg = arg;
    t->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (t->stop != nullptr)
        t->handle = create_thread(stack_size, t);
    if (t->handle == nullptr) {
        const DWORD code = GetLastError();
        delete t;
        SetLastError(code);
        return nullptr;
    }
    return t;
}

Thread* thread_adopt_current()
{
    if (t_current != nullptr)
        return t_current;
    auto* t = new Thread;
    t->references = 1;  // an adopted thread holds no reference of its own
    t->running = false;
    t->suspensions = 0;
    const HANDLE process = GetCurrentProcess();
    DuplicateHandle(process, GetCurrentThread(), process, &t->handle, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    t->id = GetCurrentThreadId();
    t_current = t;
    t_regions = t;
    return t;
}

Thread* thread_current()
{
    return t_current;
}

namespace {

bool in_region(const Thread* t)
{
    return t->regions.load() > 0 || t->lock_waits.load() > 0;
}

// Returns once a thread just suspended really stands still.
void wait_until_stopped(Thread* t)
{
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(t->handle, &context);
}

// Resumes a thread suspended by the system; a suspension it makes of itself may not have landed
// yet (ResumeThread answers 0): wait for it briefly.
long resume_system(Thread* t)
{
    for (int attempt = 0; attempt < 2000; ++attempt) {
        const DWORD previous = ResumeThread(t->handle);
        if (previous == static_cast<DWORD>(-1))
            return -1;
        if (previous > 0)
            return static_cast<long>(previous);
        Sleep(attempt < 10 ? 0 : 1);
    }
    return 0;
}

// Suspends the calling thread, or owes the suspension while it is inside a region other than
// the control lock it holds here.
long suspend_self(Thread* t, long previous)
{
    if (t->regions.load() > 1 || t->lock_waits.load() > 0) {
        t->owed = kOwed;
        return previous;
    }
    t->owed = kPaying;
    t->control.unlock();
    SuspendThread(GetCurrentThread());
    t->control.lock();
    return previous;
}

// The suspension or termination owed by the calling thread, paid as it leaves its last region.
void settle_owed(Thread* t)
{
    if (t->end_requested.load() && t == t_own)
        end_current_thread();
    int expected = kOwed;
    if (t->owed.compare_exchange_strong(expected, kPaying))
        SuspendThread(GetCurrentThread());
}

}  // namespace

long thread_resume(Thread* t)
{
    if (!valid(t))
        return -1;
    std::lock_guard guard(t->control);
    const long previous = t->suspensions.load();
    if (previous == 0)
        return 0;
    t->suspensions.fetch_sub(1);
    if (previous > 1)
        return previous;
    int expected = kOwed;
    if (t->owed.compare_exchange_strong(expected, kNotOwed))
        return previous;  // never paid
    const long resumed = resume_system(t);
    t->owed = kNotOwed;
    if (resumed < 0)
        t->suspensions.fetch_add(1);
    return resumed < 0 ? -1 : previous;
}

long thread_suspend(Thread* t)
{
    if (!valid(t))
        return -1;
    std::lock_guard guard(t->control);
    const long previous = t->suspensions.fetch_add(1);
    if (previous > 0)
        return previous;  // already stopped (or owing): only counted
    if (t == t_regions)
        return suspend_self(t, previous);
    if (SuspendThread(t->handle) == static_cast<DWORD>(-1)) {
        t->suspensions.fetch_sub(1);
        return -1;
    }
    wait_until_stopped(t);
    if (in_region(t)) {
        t->owed = kOwed;
        ResumeThread(t->handle);
    }
    return previous;
}

// Stops a running thread outside any lock region (a thread inside one ends itself on leaving
// it): true when it ended meanwhile, false when it now stands still outside every region.
static bool ended_or_stopped_outside(Thread* t, DWORD grace_ms)
{
    for (;;) {
        if (SuspendThread(t->handle) == static_cast<DWORD>(-1))
            return true;
        wait_until_stopped(t);
        if (t->regions.load() == 0)
            return false;
        ResumeThread(t->handle);
        if (WaitForSingleObject(t->handle, grace_ms) == WAIT_OBJECT_0)
            return true;
    }
}

// Keeps the thread's processor times so that they outlive a kill.
static void keep_times_before_kill(Thread* t)
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(t->handle, &created, &exited, &kernel, &user))
        return;
    t->kernel_at_kill = filetime_100ns(kernel);
    t->user_at_kill = filetime_100ns(user);
}

bool thread_terminate(Thread* t)
{
    if (!valid(t))
        return false;
    if (t->id == GetCurrentThreadId()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    t->cancelled = true;
    if (!t->started) {
        while (ResumeThread(t->handle) > 1) {
        }
        return WaitForSingleObject(t->handle, 5000) == WAIT_OBJECT_0;
    }
    // A running thread in a platform wait, or leaving its last lock region, ends itself; a
    // suspended one cannot answer (and stands outside any region).
    constexpr DWORD kGraceMs = 100;
    t->end_requested = true;
    bool stopped_here = false;
    if (t->stop != nullptr && (t->suspensions.load() == 0 || t->owed.load() == kOwed)) {
        SetEvent(t->stop);
        if (WaitForSingleObject(t->handle, kGraceMs) == WAIT_OBJECT_0)
            return true;
        if (ended_or_stopped_outside(t, kGraceMs)) {
            WaitForSingleObject(t->handle, 5000);
            return true;
        }
        stopped_here = true;
    }
    // A thread past its function is already ending: killing it there could leave the loader
    // lock held for good, so it is only waited for.
    const bool kill = t->running.exchange(false);
    if (!kill && stopped_here)
        ResumeThread(t->handle);
    if (kill)
        keep_times_before_kill(t);
    if (kill && !TerminateThread(t->handle, 0)) {
        t->running = true;
        if (stopped_here)
            ResumeThread(t->handle);
        return false;
    }
    // TerminateThread only starts the end; wait so the thread is gone when we return.
    WaitForSingleObject(t->handle, 5000);
    if (kill)
        unreference(t);  // the reference the killed thread held
    return true;
}

void thread_exit_current()
{
    end_current_thread();
}

void thread_release(Thread* t)
{
    if (t == nullptr)
        return;
    if (t == t_current)
        t_current = nullptr;
    if (t->handle != nullptr)
        CloseHandle(t->handle);
    t->handle = nullptr;
    unreference(t);
}

bool thread_set_priority(Thread* t, int priority)
{
    return valid(t) && SetThreadPriority(t->handle, priority) != 0;
}

bool thread_set_brief_priority(Thread* t, int priority)
{
    return thread_set_priority(t, priority);
}

int thread_get_priority(Thread* t)
{
    if (!valid(t))
        return kPrioError;
    return GetThreadPriority(t->handle);
}

uint32_t thread_id(Thread* t)
{
    return t != nullptr ? t->id : 0;
}

namespace {

std::atomic<ThreadEndFn> g_end_fn{nullptr};

// At the process's end the loader calls this for the ending thread after the program's static
// objects are destroyed, and every other thread has already been stopped: nothing to settle.
VOID WINAPI run_end_call(PVOID value)
{
    const ThreadEndFn fn = g_end_fn.load();
    if (fn != nullptr && !RtlDllShutdownInProgress())
        fn(value);
}

// Fiber-local storage: its callback runs as a thread ends, before the loader frees the
// thread-local storage of the modules.
std::atomic<DWORD>& end_call_index()
{
    static std::atomic<DWORD> index{FlsAlloc(run_end_call)};
    return index;
}

}  // namespace

bool thread_arm_end_call(ThreadEndFn fn, void* value)
{
    const DWORD index = end_call_index().load();
    if (index == FLS_OUT_OF_INDEXES)
        return false;
    g_end_fn.store(fn);
    return FlsSetValue(index, value) != 0;
}

void thread_end_calls_unload()
{
    // FlsFree calls the callback for every thread that armed it, live ones included.
    g_end_fn.store(nullptr);
    const DWORD index = end_call_index().exchange(FLS_OUT_OF_INDEXES);
    if (index != FLS_OUT_OF_INDEXES)
        FlsFree(index);
}

uint32_t current_thread_id()
{
    return GetCurrentThreadId();
}

bool thread_times(Thread* t, uint64_t* kernel_100ns, uint64_t* user_100ns)
{
    if (!valid(t))
        return false;
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(t->handle, &created, &exited, &kernel, &user))
        return false;
    *kernel_100ns = std::max(filetime_100ns(kernel), t->kernel_at_kill.load());
    *user_100ns = std::max(filetime_100ns(user), t->user_at_kill.load());
    return true;
}

void sleep_ms(uint32_t ms)
{
    if (ms == 0 || t_own == nullptr) {
        Sleep(ms);
        return;
    }
    win32::wait_or_end(t_own->stop, ms);  // the stop event itself: only a termination ends it
}

namespace win32 {

DWORD wait_or_end(HANDLE h, DWORD timeout_ms)
{
    Thread* const own = t_own;
    // Inside a lock region the thread must not end here: it ends as it leaves the region.
    if (own == nullptr || own->regions.load() > 0)
        return WaitForSingleObject(h, timeout_ms);
    const HANDLE handles[2] = {own->stop, h};
    const DWORD count = h == own->stop ? 1 : 2;
    const DWORD result = WaitForMultipleObjects(count, handles, FALSE, timeout_ms);
    if (result == WAIT_OBJECT_0)
        end_current_thread();
    if (result == WAIT_OBJECT_0 + 1)
        return WAIT_OBJECT_0;
    if (result == WAIT_ABANDONED_0 + 1)
        return WAIT_ABANDONED;
    return result;
}

}  // namespace win32

void region_enter()
{
    if (Thread* t = t_regions)
        t->regions.fetch_add(1);
}

void region_leave()
{
    Thread* const t = t_regions;
    if (t != nullptr && t->regions.fetch_sub(1) == 1 && t->lock_waits.load() == 0)
        settle_owed(t);
}

void lock_wait_begin()
{
    if (Thread* t = t_regions)
        t->lock_waits.fetch_add(1);
}

void lock_wait_end()
{
    Thread* const t = t_regions;
    if (t != nullptr && t->lock_waits.fetch_sub(1) == 1 && t->regions.load() == 0)
        settle_owed(t);
}

}  // namespace kerval::platform
