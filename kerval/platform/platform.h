// The operating-system layer. Everything the kernel needs from the OS goes through these
// functions; kerval/platform/posix and kerval/platform/win32 implement them with the same
// observable behaviour. Nothing outside kerval/platform includes an OS header.
#pragma once

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>

// Thread-local variables read on every message: the initial-exec model spares the shared
// library a __tls_get_addr call per access (their few bytes come from the static TLS reserve).
#if defined(__ELF__)
#define KV_HOT_TLS __attribute__((tls_model("initial-exec")))
#else
#define KV_HOT_TLS
#endif

// Functions on the path of every message: the compiler gathers them in one stretch of code, so
// that an exchange between two tasks touches a few pages of code rather than a dozen.
#if defined(__GNUC__)
#define KV_HOT_PATH __attribute__((hot))
#else
#define KV_HOT_PATH
#endif

namespace kerval::platform {

// ---------------------------------------------------------------- results and codes
// Win32 error codes the library reports; the POSIX side uses the same numbers.
constexpr uint32_t kErrSuccess = 0;
constexpr uint32_t kErrInvalidHandle = 6;
constexpr uint32_t kErrNotEnoughMemory = 8;
constexpr uint32_t kErrInvalidParameter = 87;
constexpr uint32_t kErrTooManyPosts = 298;
constexpr uint32_t kErrNotOwner = 288;
constexpr uint32_t kErrPrivilegeNotHeld = 1314;
constexpr uint32_t kErrAccessDenied = 5;
constexpr uint32_t kWsaTimedOut = 10060;
constexpr uint32_t kWsaConnRefused = 10061;

// Code of the last failed platform call in the calling thread (Win32 numbering: GetLastError()
// on Windows; on Linux the failing call's own code, errno values mapped where a Win32 code exists).
uint32_t last_error();
void set_last_error(uint32_t code);

// Text of a system error code, without trailing line end; always NUL-terminated, cut to fit.
void error_text(uint32_t code, char* buf, size_t size);

// ---------------------------------------------------------------- threads
struct Thread;  // opaque; one per thread created or adopted here

using ThreadFn = void (*)(void* arg);

// Windows THREAD_PRIORITY_* values.
constexpr int kPrioIdle = -15;
constexpr int kPrioLowest = -2;
constexpr int kPrioBelowNormal = -1;
constexpr int kPrioNormal = 0;
constexpr int kPrioAboveNormal = 1;
constexpr int kPrioHighest = 2;
constexpr int kPrioTimeCritical = 15;
constexpr int kPrioError = 0x7fffffff;  // THREAD_PRIORITY_ERROR_RETURN

// Creates a thread that does not run fn until thread_resume. stack_size 0 = default.
// Returns null on failure (last_error set).
Thread* thread_create_suspended(ThreadFn fn, void* arg, size_t stack_size);
// Wraps the calling thread (for the thread that starts the library). Never fails.
Thread* thread_adopt_current();
// The Thread of the caller if it was created or adopted here, else null.
Thread* thread_current();
// Starts a created thread, or undoes one thread_suspend. Suspensions count like Win32
// SuspendThread/ResumeThread. Returns the previous suspend count, or -1 on failure.
long thread_resume(Thread* t);
// Stops the thread wherever it is until resumed (from another thread; a thread may also
// suspend itself). Returns the previous suspend count, or -1 on failure.
long thread_suspend(Thread* t);
// Ends another thread wherever it is and frees its stack. Must not be used on the caller.
bool thread_terminate(Thread* t);
// Ends the calling thread at once (its Thread stays valid until thread_release).
[[noreturn]] void thread_exit_current();
// Frees the Thread record (after the thread has ended, been terminated, or for an adopted
// thread, at any time). Does not end a running thread. Called by a thread on its own record
// (just before thread_exit_current), the record is freed once the thread has ended.
void thread_release(Thread* t);
// Priorities in THREAD_PRIORITY_* values. On Linux the logical value is kept per thread and
// applied as far as the process is allowed; a refused raise still succeeds logically.
bool thread_set_priority(Thread* t, int priority);
// The priority for a stretch of microseconds (the holder of the system lock): Windows applies
// it; Linux keeps it as the logical value only, since a nice value changes a thread's share of
// the processor, not whether it runs first, and two setpriority calls would cost more than
// the stretch itself.
bool thread_set_brief_priority(Thread* t, int priority);
int thread_get_priority(Thread* t);  // kPrioError on failure
uint32_t thread_id(Thread* t);
uint32_t current_thread_id();
// Kernel and user processor time of the thread, in 100 ns units.
bool thread_times(Thread* t, uint64_t* kernel_100ns, uint64_t* user_100ns);
// Sleeps ms milliseconds; 0 only yields the processor.
void sleep_ms(uint32_t ms);

// The end call of a thread, for per-thread state that must be settled when the thread ends (locks
// it still owns, a semaphore of its own). A thread-local destructor cannot do it: on Windows it
// may run after the variable's storage is gone. A thread that armed the call with a non-null
// value gets fn(value) on its own stack as it ends, after its function returned or it called
// thread_exit_current, whoever made the thread. fn is the same for every thread of the process;
// arming again replaces the value, null disarms. When the library is unloaded while threads
// still hold values, their calls may run on the unloading thread.
using ThreadEndFn = void (*)(void* value);
bool thread_arm_end_call(ThreadEndFn fn, void* value);
// Drops the end calls still armed (the library is being unloaded), see above.
void thread_end_calls_unload();

// ---------------------------------------------------------------- synchronisation
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

enum class WaitResult { kSignaled, kTimeout, kAbandoned, kFailed };

struct Semaphore;  // Win32-style counting semaphore with a maximum
Semaphore* semaphore_create(long initial, long maximum);
void semaphore_destroy(Semaphore* s);
// Adds count units; beyond the maximum it fails with kErrTooManyPosts and changes nothing.
bool semaphore_release(Semaphore* s, long count, long* previous);
WaitResult semaphore_wait(Semaphore* s, uint32_t timeout_ms);

struct Mutex;  // recursive, owned by a thread; handed over as abandoned if its owner ended
Mutex* mutex_create(bool initially_owned);
void mutex_destroy(Mutex* m);
WaitResult mutex_wait(Mutex* m, uint32_t timeout_ms);
bool mutex_release(Mutex* m);  // false (kErrNotOwner) when the caller does not own it

// Library lock regions. A thread inside one (it holds one of the library's own locks, or waits
// for one) is neither suspended nor terminated there: a thread_suspend or thread_terminate aimed
// at it takes effect when it leaves its last region, so no task ever stops while holding a lock
// that other tasks need. Regions nest; the count is kept per thread. On Linux a suspension or
// termination signal that finds the count above zero is noted and acted on at region_leave; on
// Windows the suspender stops the thread, reads its count and, when it is inside a region, lets
// it run on and suspend itself on leaving.
#if defined(_WIN32)
void region_enter();
void region_leave();
#else
namespace detail {
// The calling thread's lock regions and what its signal handlers noted inside them.
struct RegionState {
    volatile std::sig_atomic_t open;        // open lock regions
    volatile std::sig_atomic_t lock_waits;  // waits for a lock the terminator may hold
    volatile std::sig_atomic_t pending;     // termination noted inside a region
    volatile std::sig_atomic_t park_owed;   // suspension noted inside a region
};
extern thread_local constinit RegionState t_regions KV_HOT_TLS;
// Acts on a termination or suspension noted inside the regions just left.
void settle_regions();
}  // namespace detail

// Inline: a message passes several regions. Entering costs an increment; leaving a decrement
// and, after the last region, a look at what was noted meanwhile (a signal between the
// decrement and that look finds no region open and acts at once).
inline void region_enter()
{
    detail::t_regions.open = detail::t_regions.open + 1;
}
inline void region_leave()
{
    detail::RegionState& regions = detail::t_regions;
    const std::sig_atomic_t open = regions.open - 1;
    regions.open = open;
    if (open == 0 && (regions.pending | regions.park_owed) != 0)
        detail::settle_regions();
}
#endif
// For a lock that the thread terminating this one may hold (the system lock, held by task
// deletion): between the two calls a suspension waits, but a termination still ends the thread,
// which holds nothing yet. Call region_enter once the lock is taken, then lock_wait_end.
void lock_wait_begin();
void lock_wait_end();

class RegionGuard {
public:
    RegionGuard() { region_enter(); }
    ~RegionGuard() { region_leave(); }
    RegionGuard(const RegionGuard&) = delete;
    RegionGuard& operator=(const RegionGuard&) = delete;
};

#if defined(_WIN32)
// A mutex for regions of a few pointer updates: when it finds the lock held, it first retries for
// a moment before it blocks, as long as another processor may be running the holder. It blocks
// on a kernel-backed mutex: a thread terminated while asleep in WaitOnAddress stays queued on the
// address and can take the wake-up meant for a live waiter.
class BriefMutex {
public:
    void lock()
    {
        if (!mutex_.try_lock())
            lock_contended();
    }
    bool try_lock() { return mutex_.try_lock(); }
    void unlock() { mutex_.unlock(); }

private:
    void lock_contended();
    std::mutex mutex_;
};
#else
// A mutex for regions of a few pointer updates, in one atomic word: 0 free, 1 locked, 2 locked
// with a thread asleep on it (or about to sleep). Taking a free lock costs one compare-exchange,
// releasing one without sleepers one exchange. When it finds the lock held, it first retries for
// a moment, as long as another processor may be running the holder (a sleep and the wake-up that
// ends it cost far more than the holder's stay), then sleeps on the word itself (a futex).
// The unlocking thread touches the word once more only to wake a sleeper; that
// wake-up names the address and reads nothing there, so the lock may be destroyed meanwhile.
class BriefMutex {
public:
    void lock()
    {
        if (!try_lock())
            lock_contended();
    }
    bool try_lock()
    {
        int expected = kFree;
        return state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void unlock()
    {
        if (state_.exchange(kFree, std::memory_order_release) == kSleepers)
            wake_one();
    }

private:
    static constexpr int kFree = 0;
    static constexpr int kLocked = 1;
    static constexpr int kSleepers = 2;
    void lock_contended();
    void wake_one();
    std::atomic<int> state_{kFree};
};
#endif

// A short, non-recursive lock for the library's internal regions (boxes, task control, trace,
// standard output, and every later subsystem): its holder is a region (see above).
class GuardedMutex {
public:
    void lock()
    {
        region_enter();
        mutex_.lock();
    }
    void unlock()
    {
        mutex_.unlock();
        region_leave();
    }

private:
    BriefMutex mutex_;
};

struct CriticalSection;  // recursive, no time-out
CriticalSection* critical_section_create();
void critical_section_destroy(CriticalSection* cs);
void critical_section_enter(CriticalSection* cs);
void critical_section_leave(CriticalSection* cs);

// ---------------------------------------------------------------- time
struct LocalTime {
    int year, month, day, hour, minute, second, milliseconds;
    int day_of_week;  // 0 Sunday .. 6 Saturday, as SYSTEMTIME
};
void local_time_read(LocalTime* t);
// Sets the machine's local time; needs the system-time privilege (else false,
// kErrPrivilegeNotHeld).
bool local_time_set(const LocalTime& t);
// Enables the system-time privilege for the process (SeSystemtimePrivilege / CAP_SYS_TIME).
bool enable_systemtime_privilege();
uint64_t perf_counter();
uint64_t perf_frequency();
// Local-time conversions with the machine's time zone (thread-safe wrappers).
bool local_from_time(int64_t t, std::tm* out);
int64_t time_from_local(std::tm* in);  // mktime; -1 when not representable
int64_t time_now();                    // seconds since 1970 from the (replaceable) clock
// Sets the process's time zone (a TZ text such as "UTC0" or "XST-3"; null: the machine's own)
// and makes the conversions above use it at once. For tests; not thread-safe.
bool set_time_zone(const char* tz);

// ---------------------------------------------------------------- periodic timer
using TickFn = void (*)(void* ctx);
struct Timer;
// Calls fn(ctx) every period_ms on one dedicated thread, never two calls at once, no drift.
Timer* timer_start(uint32_t period_ms, uint32_t resolution_ms, TickFn fn, void* ctx);
void timer_stop(Timer* t);  // waits until no call is running; no call afterwards

// ---------------------------------------------------------------- on-demand ticker
// Calls fn(ctx) every period_ms (monotonic clock) on a thread of its own while fn finds work:
// after a call that answers false the ticker is idle and sleeps, without time-out, until
// ticker_wake. With the manual tick seam the OS clock stops calling fn, and every
// manual_tick() calls it once, in the caller's thread, after the timers' callbacks.
using TickerFn = bool (*)(void* ctx);
struct Ticker;
Ticker* ticker_start(uint32_t period_ms, TickerFn fn, void* ctx);  // idle; null on failure
// Ends the idleness. Call after publishing, with a sequentially consistent store, the work that
// fn will find: either the running call sees the work, or this call sees the ticker idle and
// wakes it. Costs one atomic load while the ticker is not idle. A null ticker is ignored.
void ticker_wake(Ticker* t);
bool ticker_idle(const Ticker* t);
void ticker_stop(Ticker* t);  // waits until no call is running; not from fn itself

// ---------------------------------------------------------------- TCP client sockets
using Socket = intptr_t;
constexpr Socket kInvalidSocket = -1;
bool net_startup();  // Winsock 2.2 on Windows; nothing on Linux
void net_cleanup();
constexpr uint32_t kWsaHostNotFound = 11001;
// A dotted address, or a name looked up in full (getaddrinfo, IPv4 only; the resolver seam
// answers instead when installed). Unknown names fail with kWsaHostNotFound.
bool net_resolve_ipv4(const char* host, uint32_t* addr_be);
// A TCP socket (IPv4). Sending on it never raises SIGPIPE.
Socket socket_tcp();
// Connects, waiting at most limit_ms (kInfinite: the system's own limit) for the peer's answer;
// the socket stays blocking. A connection not answered in time fails with kWsaTimedOut.
bool socket_connect(Socket s, uint32_t addr_be, uint16_t port, uint32_t limit_ms);
// Send and receive time-outs in milliseconds; 0 means no limit.
bool socket_set_timeouts(Socket s, uint32_t send_ms, uint32_t recv_ms);
bool socket_set_linger(Socket s, bool on, uint16_t seconds);
int socket_send(Socket s, const void* data, int len);  // bytes sent, -1 on error
int socket_recv(Socket s, void* data, int len);        // bytes, 0 closed, -1 error
// Reads and drops the input that has already arrived, without waiting (bounded), so that a
// close does not turn unread input into a reset.
void socket_discard_input(Socket s);
// Shuts both directions down; calls blocked on the socket in other threads return at once.
bool socket_shutdown_both(Socket s);
bool socket_close(Socket s);
uint32_t net_last_error();  // Winsock numbering on both sides (10060 time-out, ...)

// ---------------------------------------------------------------- trace console window
constexpr int kConsoleColumns = 80;
constexpr int kConsoleLines = 50;
// Opens the process's trace console (fails when it already has one).
bool console_open(const char* title);
bool console_is_open();
// Writes exactly kConsoleColumns cells at a line (text padded with blanks / cut).
bool console_write_line(int line, const char* text);
bool console_set_line_attribute(int line, uint16_t attribute);
// Read-back of the screen, for tests and the Linux viewer.
char console_cell(int line, int column);
uint16_t console_attribute(int line, int column);

// ---------------------------------------------------------------- console keyboard input
int console_getch();  // one key without echo or line buffering; EOF (-1) at end of input

// ---------------------------------------------------------------- process
uint32_t process_id();
[[noreturn]] void process_exit(int code);
// Yes/No message box with the stop icon; true for Yes. Without any way to ask, No.
bool message_box_yes_no(const char* text, const char* caption);
bool enable_shutdown_privilege();
// ExitWindowsEx-style request (EWX_* flags). Refused without the privilege.
bool exit_windows(uint32_t flags, uint32_t reason);
// Environment entry "NAME=value" / text as given (putenv semantics: the text is copied).
bool put_environment(const char* entry);
// Modification time of a file, seconds since 1970; false when the path has no status.
bool file_mtime(const char* path, int64_t* seconds);
// Moves a C stream to a 64-bit offset from origin (SEEK_SET, SEEK_CUR or SEEK_END), with the
// semantics of fseek; false on failure.
bool file_seek(std::FILE* stream, int64_t offset, int origin);
// The stream's 64-bit position, -1 on failure.
int64_t file_tell(std::FILE* stream);

// One-process flag. True when this process holds the library; otherwise holder_pid receives
// the process holding it (0 if unknown). The static test build always answers true.
bool single_process_check(uint32_t* holder_pid);
// Library entry point hooks (process attach / detach of the shared library). Attach answers
// false when another process holds the library; detach gives it up. Both do nothing useful in
// the static build (attach always succeeds).
bool single_process_attach();
void single_process_detach();

// ---------------------------------------------------------------- test support
// A listening TCP socket on 127.0.0.1 at a free port (written to *port), for socket tests.
// backlog 0 admits one connection that is not yet accepted; further ones wait unanswered.
Socket socket_listen_loopback(uint16_t* port, int backlog = 16);
Socket socket_accept(Socket listener);  // kInvalidSocket on failure
// The lock behind the one-process flag, on any file: true when this call took it (held until
// the process ends); false when another holder has it, with holder_pid that holder's process
// (0 if unknown). Two calls on the same file conflict, also within one process.
bool single_process_lock(const char* path, uint32_t* holder_pid);

// ---------------------------------------------------------------- test seams
// Replace OS behaviour in tests. Passing null restores the real behaviour.
namespace seams {
using ClockRead = void (*)(LocalTime* t);
using ClockSet = bool (*)(const LocalTime& t);
void set_clock(ClockRead read, ClockSet set);  // also drives time_now()
// Manual tick: timers created afterwards (and running ones) stop using the OS timer and fire
// only from manual_tick(), each call running every timer's callback once, in the caller's thread.
void set_manual_tick(bool manual);
void manual_tick();
using MessageBoxAnswer = bool (*)(const char* text, const char* caption);
void set_message_box(MessageBoxAnswer answer);
using PrivilegeCheck = bool (*)(const char* privilege_name);
void set_privilege(PrivilegeCheck check);  // "SeSystemtimePrivilege" / "SeShutdownPrivilege"
using ShutdownRequest = bool (*)(uint32_t flags, uint32_t reason);
void set_shutdown(ShutdownRequest request);
using ProcessExit = void (*)(int code);  // if it returns, process_exit ends the calling thread
void set_process_exit(ProcessExit on_exit);
// Answers host-name look-ups instead of the name servers (dotted addresses never reach it):
// true with the address, or false for an unknown host.
using Resolver = bool (*)(const char* host, uint32_t* addr_be);
void set_resolver(Resolver resolve);
}  // namespace seams

}  // namespace kerval::platform
