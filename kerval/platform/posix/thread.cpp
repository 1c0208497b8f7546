// Threads with Win32-style suspension and termination on top of pthreads.
//
// Suspension: thread_suspend sends a signal; the target's handler acknowledges through the
// record's `parked` semaphore and waits on a futex until thread_resume has advanced
// resume_gen to the suspension it serves. The handler compares before each wait and the
// futex only sleeps while resume_gen still holds the value compared, so no resume is lost.
//
// Termination: the terminate signal's handler jumps (siglongjmp) back to thread_main, which marks
// the record ended and returns, so the C library and thread-local destructors clean up and
// the terminator's pthread_join frees the stack. Like TerminateThread, the frames in between
// are dropped without running their destructors. Inside a lock region (the library's and the
// platform's own, DeferTermination) both signals only take note: the thread parks or jumps when
// it leaves its last region, and blocking platform waits are woken for a termination. A thread
// blocked in a platform wait with no other region open parks at once. Hazards, as with
// TerminateThread: a thread stopped inside the C library (malloc, stdio) outside a region, or
// holding an application lock, leaves that lock held for ever (the library allocates and prints
// inside regions); a thread that blocks both signals (SIGRTMIN+3 suspend,
// SIGRTMIN+5 terminate) cannot be stopped. An adopted thread has no entry to jump back to:
// terminating it unwinds with pthread_exit, which ends the process if it crosses a noexcept frame.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <new>

#include "kerval/platform/platform.h"
#include "kerval/platform/posix/internal.h"

namespace kerval::platform {

struct Thread {
    ThreadFn fn = nullptr;
    void* arg = nullptr;
    pthread_t handle{};
    bool adopted = false;
    std::atomic<pid_t> tid{0};
    std::atomic<int> refs{2};  // the owner's handle and the running thread

    std::mutex lock;  // guards the fields up to `parked`
    std::condition_variable ended_changed;
    long suspend_count = 0;
    bool started = false;
    bool ended = false;
    bool joined = false;  // joined or detached
    // Lock-free: a new thread reads them while a suspender may hold `lock`.
    std::atomic<bool> applies_priority{false};  // set up: priorities go to the kernel
    std::atomic<int> priority{kPrioNormal};
    uint64_t final_kernel = 0;
    uint64_t final_user = 0;
    sem_t start;   // lets thread_main call fn
    sem_t parked;  // the thread is stopped (remote suspension)

    // Shared with the signal handlers.
    std::atomic<uint32_t> suspend_gen{0};
    std::atomic<uint32_t> resume_gen{0};
    std::atomic<bool> ack_wanted{false};
    std::atomic<bool> terminating{false};
    std::atomic<bool> cancel_start{false};  // terminated before it started

    Thread()
    {
        sem_init(&start, 0, 0);
        sem_init(&parked, 0, 0);
    }
    ~Thread()
    {
        sem_destroy(&start);
        sem_destroy(&parked);
    }
};

namespace {

constexpr long kMaxSuspendCount = 127;
constexpr uint32_t kErrSignalRefused = 156;
constexpr size_t kMinStackSize = size_t{128} * 1024;

thread_local Thread* t_self = nullptr;

// Region and control state of the calling thread, shared with its signal handlers.
// The region counts themselves are detail::t_regions (platform.h), which the inline
// region_enter/region_leave use.
struct ControlState {
    volatile sig_atomic_t parkable = 0;  // in a blocking wait, no other region open
    posix::Wake* volatile waiter = nullptr;
    sigjmp_buf* exit_jump = nullptr;  // created threads only
};
thread_local ControlState t_term KV_HOT_TLS;
using detail::t_regions;
int sig_suspend()
{
    return SIGRTMIN + 3;
}
int sig_terminate()
{
    return SIGRTMIN + 5;
}

void wait_sem(sem_t* sem)
{
    while (sem_wait(sem) == -1 && errno == EINTR) {
    }
}

// Raw futex calls: async-signal-safe, and not intercepted by the sanitizers, whose deferred
// signal processing must not nest inside this handler.
void futex_wait(std::atomic<uint32_t>* word, uint32_t expected)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr,
            nullptr, 0);
}

void futex_wake_all(std::atomic<uint32_t>* word)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr,
            nullptr, 0);
}

void acknowledge(Thread* self)
{
    if (self->ack_wanted.exchange(false))
        sem_post(&self->parked);
}

void park(Thread* self)
{
    const uint32_t serving = self->suspend_gen.load();
    acknowledge(self);
    while (true) {
        const uint32_t resumed = self->resume_gen.load();
        if (static_cast<int32_t>(resumed - serving) >= 0 || self->terminating.load())
            return;
        futex_wait(&self->resume_gen, resumed);
    }
}

bool suspension_waits()
{
    return (t_regions.open > 0 || t_regions.lock_waits > 0) && t_term.parkable == 0;
}

void on_suspend_signal(int)
{
    const int saved = errno;
    if (Thread* self = t_self) {
        if (suspension_waits()) {
            t_regions.park_owed = 1;
            acknowledge(self);
        } else {
            park(self);
        }
    }
    errno = saved;
}

[[noreturn]] void end_now()
{
    t_regions.pending = 0;
    if (t_term.exit_jump != nullptr)
        siglongjmp(*t_term.exit_jump, 1);
    pthread_exit(nullptr);  // adopted thread: unwinds
}

void on_terminate_signal(int)
{
    if (t_self == nullptr)
        return;
    if (t_regions.open > 0) {
        t_regions.pending = 1;
        if (posix::Wake* waiter = t_term.waiter)
            waiter->post();
        return;
    }
    end_now();
}

void install(int sig, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

void install_handlers()
{
    static std::once_flag once;
    std::call_once(once, [] {
        install(sig_suspend(), on_suspend_signal);
        install(sig_terminate(), on_terminate_signal);
    });
}

void drop_ref(Thread* t)
{
    if (t->refs.fetch_sub(1) == 1)
        delete t;
}

// Reads utime and stime (clock ticks) of one of this process's threads.
bool read_task_times(pid_t tid, uint64_t* kernel_100ns, uint64_t* user_100ns)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return posix::fail_errno(errno);
    char text[1024];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return posix::fail_errno(EIO);
    text[n] = '\0';
    const char* p = nullptr;
    for (ssize_t i = n - 1; i >= 0 && p == nullptr; --i) {
        if (text[i] == ')')
            p = text + i + 1;
    }
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // After the command name: state, then fields 4..13, then utime and stime.
    // NOLINTNEXTLINE(cert-err34-c): the kernel writes these fields within their types
    if (p == nullptr || std::sscanf(p, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                                    &utime, &stime) != 2) {
        return posix::fail_errno(EIO);
    }
    const uint64_t per_tick = 10000000ull / static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
    *kernel_100ns = stime * per_tick;
    *user_100ns = utime * per_tick;
    return true;
}

int nice_of(int priority)
{
    switch (priority) {
        case kPrioIdle:
            return 19;
        case kPrioLowest:
            return 10;
        case kPrioBelowNormal:
            return 5;
        case kPrioAboveNormal:
            return -5;
        case kPrioHighest:
            return -10;
        case kPrioTimeCritical:
            return -20;
        default:
            return 0;
    }
}

// Processor times of the calling thread, in 100 ns units.
void own_times(uint64_t* kernel_100ns, uint64_t* user_100ns)
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    const auto to_100ns = [](const timeval& tv) {
        return static_cast<uint64_t>(tv.tv_sec) * 10000000ull +
               static_cast<uint64_t>(tv.tv_usec) * 10ull;
    };
    *kernel_100ns = to_100ns(usage.ru_stime);
    *user_100ns = to_100ns(usage.ru_utime);
}

// Marks the calling thread's record ended; a termination only waits from here on (the
// deferral is never ended), so this runs to completion.
void finish(Thread* self)
{
    t_regions.open = t_regions.open + 1;
    uint64_t kernel = 0;
    uint64_t user = 0;
    own_times(&kernel, &user);
    {
        std::lock_guard guard(self->lock);
        self->final_kernel = kernel;
        self->final_user = user;
        self->ended = true;
        self->ended_changed.notify_all();
    }
    t_self = nullptr;
    drop_ref(self);
}

// Ends an adopted thread's record when the thread itself ends.
struct AdoptedThread {
    Thread* record = nullptr;
    ~AdoptedThread()
    {
        if (record != nullptr)
            finish(record);
    }
};
thread_local AdoptedThread t_adopted;

void run_body(Thread* self)
{
    wait_sem(&self->start);
    if (!self->cancel_start.load())
        self->fn(self->arg);
}

// The suspend and terminate signals.
sigset_t control_signals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, sig_suspend());
    sigaddset(&signals, sig_terminate());
    return signals;
}

// The thread takes over its priority (it inherited its creator's nice value), then lets the
// suspend and terminate signals in: any sent since its creation arrive now. It takes no lock
// here, since a suspender holds the record's lock until this thread parks. A priority set
// meanwhile is applied by its setter or by the loop.
void setup_started(Thread* self)
{
    self->applies_priority = true;
    int applied = kPrioError;
    while (applied != self->priority.load()) {
        applied = self->priority.load();
        setpriority(PRIO_PROCESS, 0, nice_of(applied));
    }
    const sigset_t signals = control_signals();
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

void* thread_main(void* arg)
{
    Thread* const self = static_cast<Thread*>(arg);
    t_self = self;
    if (self->tid.load() == 0)
        self->tid = gettid();
    // The mask is not saved: after the jump the thread only finishes.
    sigjmp_buf exit_jump;
    if (sigsetjmp(exit_jump, 0) == 0) {
        t_term.exit_jump = &exit_jump;
        setup_started(self);
        run_body(self);
    }
    t_regions.open = 0;  // regions left by the jump
    t_regions.lock_waits = 0;
    t_term.parkable = 0;
    t_regions.pending = 0;
    t_regions.park_owed = 0;
    t_term.waiter = nullptr;
    finish(self);
    return nullptr;
}

bool valid_priority(int priority)
{
    return priority == kPrioIdle || priority == kPrioTimeCritical ||
           (priority >= kPrioLowest && priority <= kPrioHighest);
}

size_t stack_size_for(size_t requested)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t size = requested < kMinStackSize ? kMinStackSize : requested;
    return (size + page - 1) / page * page;
}

// The kernel thread id of a thread just created, without waiting for it to run: its processor
// clock id encodes the id the kernel stored at creation (~tid << 3 | flags).
pid_t kernel_tid_of(pthread_t handle)
{
    clockid_t clock = 0;
    if (pthread_getcpuclockid(handle, &clock) == 0 && (clock & 7) == 6) {
        const auto tid = static_cast<pid_t>(~(clock >> 3));
        if (tid > 0)
            return tid;
    }
    return 0;
}

// Joins the thread unless it was already joined or detached. Caller holds no lock.
void join_once(Thread* t)
{
    {
        std::lock_guard guard(t->lock);
        if (t->joined)
            return;
        t->joined = true;
    }
    pthread_join(t->handle, nullptr);
}

void wait_until_ended(Thread* t)
{
    if (!t->adopted) {
        join_once(t);
        return;
    }
    std::unique_lock guard(t->lock);
    t->ended_changed.wait(guard, [t] { return t->ended; });
}

}  // namespace

Thread* thread_create_suspended(ThreadFn fn, void* arg, size_t stack_size)
{
    if (fn == nullptr) {
        set_last_error(kErrInvalidParameter);
        return nullptr;
    }
    install_handlers();
    auto* t = new (std::nothrow) Thread;
    if (t == nullptr) {
        set_last_error(kErrNotEnoughMemory);
        return nullptr;
    }
    t->fn = fn;
    t->arg = arg;
    t->suspend_count = 1;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack_size_for(stack_size));
    const sigset_t held_back = control_signals();  // until its own setup (setup_started)
    pthread_attr_setsigmask_np(&attr, &held_back);
    const int err = pthread_create(&t->handle, &attr, thread_main, t);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        delete t;
        posix::fail_errno(err);
        return nullptr;
    }
    t->tid = kernel_tid_of(t->handle);
    return t;
}

Thread* thread_adopt_current()
{
    if (t_self != nullptr)
        return t_self;
    install_handlers();
    auto* t = new Thread;
    t->adopted = true;
    t->started = true;
    t->applies_priority = true;
    t->joined = true;
    t->handle = pthread_self();
    t->tid = gettid();
    t_self = t;
    t_adopted.record = t;
    return t;
}

Thread* thread_current()
{
    return t_self;
}

long thread_resume(Thread* t)
{
    posix::DeferTermination defer;
    if (t == nullptr) {
        set_last_error(kErrInvalidHandle);
        return -1;
    }
    std::lock_guard guard(t->lock);
    const long previous = t->suspend_count;
    if (previous == 0 || t->ended)
        return previous;
    if (--t->suspend_count > 0)
        return previous;
    if (!t->started) {
        t->started = true;
        sem_post(&t->start);
        return previous;
    }
    t->resume_gen.store(t->suspend_gen.load());
    futex_wake_all(&t->resume_gen);
    return previous;
}

long thread_suspend(Thread* t)
{
    posix::DeferTermination defer;
    if (t == nullptr) {
        set_last_error(kErrInvalidHandle);
        return -1;
    }
    std::unique_lock guard(t->lock);
    if (t->ended) {
        set_last_error(kErrAccessDenied);
        return -1;
    }
    const long previous = t->suspend_count;
    if (previous >= kMaxSuspendCount) {
        set_last_error(kErrSignalRefused);
        return -1;
    }
    ++t->suspend_count;
    if (previous > 0 || !t->started)
        return previous;
    t->suspend_gen.fetch_add(1);
    if (t == t_self) {
        guard.unlock();
        pthread_kill(pthread_self(), sig_suspend());  // delivered before pthread_kill returns
        return previous;
    }
    // Holding the lock until the thread is parked keeps it from ending meanwhile (finish
    // needs the lock), so the signal cannot be left pending in a thread that never answers.
    t->ack_wanted = true;
    pthread_kill(t->handle, sig_suspend());
    wait_sem(&t->parked);
    return previous;
}

bool thread_terminate(Thread* t)
{
    posix::DeferTermination defer;
    if (t == nullptr || t == t_self) {
        set_last_error(t == nullptr ? kErrInvalidHandle : kErrInvalidParameter);
        return false;
    }
    {
        std::lock_guard guard(t->lock);
        if (!t->ended && !t->started) {
            t->started = true;
            t->cancel_start = true;
            sem_post(&t->start);
        } else if (!t->ended) {
            // The wake frees a parked thread whose termination must wait (blocked signal
            // or a platform lock region).
            // Moving resume_gen makes a park that checked `terminating` just before this
            // store fail its futex wait instead of sleeping through the wake.
            t->terminating = true;
            t->resume_gen.fetch_add(1);
            pthread_kill(t->handle, sig_terminate());
            if (t->suspend_count > 0)
                futex_wake_all(&t->resume_gen);
        }
    }
    wait_until_ended(t);
    return true;
}

void thread_exit_current()
{
    end_now();
}

void thread_release(Thread* t)
{
    posix::DeferTermination defer;
    if (t == nullptr)
        return;
    if (!t->adopted) {
        std::unique_lock guard(t->lock);
        if (!t->joined) {
            t->joined = true;
            if (t->ended && t != t_self) {
                guard.unlock();
                pthread_join(t->handle, nullptr);
            } else {
                pthread_detach(t->handle);
            }
        }
    }
    drop_ref(t);
}

namespace {
bool priority_arguments_valid(Thread* t, int priority)
{
    if (t != nullptr && valid_priority(priority))
        return true;
    set_last_error(t == nullptr ? kErrInvalidHandle : kErrInvalidParameter);
    return false;
}
}  // namespace

bool thread_set_priority(Thread* t, int priority)
{
    posix::DeferTermination defer;
    if (!priority_arguments_valid(t, priority))
        return false;
    std::lock_guard guard(t->lock);
    t->priority = priority;
    // A raise the process may not make (EACCES/EPERM) keeps only the logical value. A thread
    // that has not run its setup yet applies the value itself.
    if (t->applies_priority && !t->ended)
        setpriority(PRIO_PROCESS, static_cast<id_t>(t->tid.load()), nice_of(priority));
    return true;
}

bool thread_set_brief_priority(Thread* t, int priority)
{
    if (!priority_arguments_valid(t, priority))
        return false;
    t->priority = priority;
    return true;
}

int thread_get_priority(Thread* t)
{
    posix::DeferTermination defer;
    if (t == nullptr) {
        set_last_error(kErrInvalidHandle);
        return kPrioError;
    }
    std::lock_guard guard(t->lock);
    return t->priority;
}

uint32_t thread_id(Thread* t)
{
    if (t == nullptr)
        return 0;
    // Only when the creation could not read the id: the thread stores it as it starts.
    while (t->tid.load() == 0)
        sched_yield();
    return static_cast<uint32_t>(t->tid.load());
}

namespace {

std::atomic<ThreadEndFn> g_end_fn{nullptr};

void run_end_call(void* value)
{
    if (const ThreadEndFn fn = g_end_fn.load())
        fn(value);
}

// The key of the end calls; deleted when the library goes, so that no thread ending later calls
// into it.
struct EndCallKey {
    pthread_key_t key{};
    bool made = pthread_key_create(&key, run_end_call) == 0;
    EndCallKey() = default;
    EndCallKey(const EndCallKey&) = delete;
    EndCallKey& operator=(const EndCallKey&) = delete;
    ~EndCallKey() { thread_end_calls_unload(); }
};

EndCallKey& end_call_key()
{
    static EndCallKey key;
    return key;
}

}  // namespace

bool thread_arm_end_call(ThreadEndFn fn, void* value)
{
    EndCallKey& k = end_call_key();
    if (!k.made)
        return false;
    g_end_fn.store(fn);
    return pthread_setspecific(k.key, value) == 0;
}

void thread_end_calls_unload()
{
    EndCallKey& k = end_call_key();
    if (k.made)
        pthread_key_delete(k.key);
    k.made = false;
}

uint32_t current_thread_id()
{
    return static_cast<uint32_t>(gettid());
}

bool thread_times(Thread* t, uint64_t* kernel_100ns, uint64_t* user_100ns)
{
    posix::DeferTermination defer;
    if (t == nullptr || kernel_100ns == nullptr || user_100ns == nullptr) {
        set_last_error(t == nullptr ? kErrInvalidHandle : kErrInvalidParameter);
        return false;
    }
    {
        std::lock_guard guard(t->lock);
        if (t->ended) {
            *kernel_100ns = t->final_kernel;
            *user_100ns = t->final_user;
            return true;
        }
    }
    return read_task_times(t->tid, kernel_100ns, user_100ns);
}

void sleep_ms(uint32_t ms)
{
    if (ms == 0) {
        sched_yield();
        return;
    }
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

namespace detail {
thread_local constinit RegionState t_regions KV_HOT_TLS{};
}  // namespace detail

namespace posix {

// Acts on what arrived inside the regions just left: first a termination, then a suspension.
void settle_owed()
{
    if (t_regions.pending != 0)
        end_now();
    if (t_regions.park_owed != 0 && t_self != nullptr) {
        t_regions.park_owed = 0;
        park(t_self);
        if (t_regions.pending != 0)
            end_now();
    }
}

}  // namespace posix

void detail::settle_regions()
{
    if (t_regions.lock_waits == 0)
        posix::settle_owed();
}

namespace posix {

KV_HOT_PATH DeferTermination::DeferTermination()
{
    region_enter();
}

KV_HOT_PATH DeferTermination::~DeferTermination()
{
    region_leave();
}

#if defined(KV_WAKE_ON_SEM)
// ThreadSanitizer does not intercept sem_clockwait, so a suspend or terminate signal sent to a
// thread blocked in it would be handled only at the time-out; its build waits with sem_timedwait.
constexpr clockid_t kWaitClock = CLOCK_REALTIME;
#else
constexpr clockid_t kWaitClock = CLOCK_MONOTONIC;
#endif

KV_HOT_PATH bool wait_wake(Wake* wake, uint32_t timeout_ms)
{
    t_term.waiter = wake;
    timespec deadline{};
    if (timeout_ms != kInfinite) {
        clock_gettime(kWaitClock, &deadline);
        deadline.tv_sec += timeout_ms / 1000;
        deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    int rc = EINTR;
    // Blocked here the thread holds no lock of its own: a suspension may stop it.
    const bool parkable = t_regions.open == 1 && t_regions.lock_waits == 0;
    if (parkable && t_regions.park_owed != 0 && t_self != nullptr) {
        t_regions.park_owed = 0;  // a termination is left to the caller, which cleans up first
        park(t_self);
    }
    t_term.parkable = parkable ? 1 : 0;
    while (t_regions.pending == 0) {
        rc = wake->wait(timeout_ms == kInfinite ? nullptr : &deadline, kWaitClock);
        if (rc != EINTR)
            break;
    }
    t_term.parkable = 0;
    t_term.waiter = nullptr;
    // A post from the termination handler may remain; the caller resets the wake-up.
    return rc == 0 && t_regions.pending == 0;
}

}  // namespace posix

void lock_wait_begin()
{
    t_regions.lock_waits = t_regions.lock_waits + 1;
}

void lock_wait_end()
{
    t_regions.lock_waits = t_regions.lock_waits - 1;
    if (t_regions.open == 0 && t_regions.lock_waits == 0)
        posix::settle_owed();
}

}  // namespace kerval::platform
