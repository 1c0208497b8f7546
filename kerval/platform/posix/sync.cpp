// Win32-style semaphores, owned recursive mutexes with abandonment, and critical sections.
// Blocked waiters queue on the object and are handed the unit (or the ownership) by the
// releasing thread, which posts the waiter's own semaphore; a waiter that times out or is
// terminated removes itself.
//
// A semaphore's count and its number of queued waiters share one atomic word: a wait that
// finds a unit, and a release that finds no queued waiter, take no lock. A waiter queues under
// the lock, counts itself in the word and only then looks at the count again, while a release
// learns the number of queued waiters from the very operation that adds its units: one of the
// two sees the other, so no unit stays behind a sleeping waiter, and a release that finds no
// waiter never touches the semaphore again (whoever takes the unit may destroy it). The
// releasing thread posts the waiters it served after leaving the lock, so a woken waiter
// never runs into the lock still held by its waker. A semaphore waiter's record is shared by
// the waiter and the queue (counted references): the releaser's last touch is the post and
// the drop of the queue's reference, never the semaphore, so the woken thread may destroy it.
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "kerval/platform/common/spin.h"
#include "kerval/platform/platform.h"
#include "kerval/platform/posix/internal.h"

namespace kerval::platform {
namespace {

struct OwnedMutexes;

struct Waiter {
    posix::Wake wake;
    OwnedMutexes* owner = nullptr;  // mutex waits: the waiting thread's list
    bool granted = false;           // guarded by the object's lock
    bool abandoned = false;
    std::atomic<int> refs{1};  // semaphore waits: the waiter, and the queue while queued
    Waiter() = default;
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;
};

void remove_waiter(std::vector<Waiter*>& waiters, Waiter* w)
{
    waiters.erase(std::remove(waiters.begin(), waiters.end(), w), waiters.end());
}

Waiter* pop_waiter(std::vector<Waiter*>& waiters)
{
    Waiter* w = waiters.front();
    waiters.erase(waiters.begin());
    return w;
}

// One lock for all mutex ownership, so a thread's end can hand over every mutex it holds.
std::mutex& ownership_lock()
{
    static std::mutex lock;
    return lock;
}

}  // namespace

struct Semaphore {
    std::atomic<uint64_t> state{0};  // units (low 32 bits) and queued waiters (high 32 bits)
    long maximum = 0;
    detail::SpinHistory spin;
    BriefMutex lock;  // guards `waiters` and their `granted`
    std::vector<Waiter*> waiters;
};

struct Mutex {  // fields guarded by ownership_lock()
    OwnedMutexes* owner = nullptr;
    long recursion = 0;
    bool abandoned = false;  // owner ended while holding it; told to the next owner
    std::vector<Waiter*> waiters;
};

struct CriticalSection {
    std::recursive_mutex lock;
};

namespace {

// The mutexes a thread owns; destroyed when the thread ends (also after termination).
struct OwnedMutexes {
    std::vector<Mutex*> held;
    ~OwnedMutexes();
};

thread_local OwnedMutexes t_owned;

// Caller holds ownership_lock(). Gives the free mutex to the first waiter, if any.
void hand_over(Mutex* m, bool abandoned)
{
    if (m->waiters.empty()) {
        m->owner = nullptr;
        m->recursion = 0;
        m->abandoned = abandoned;
        return;
    }
    Waiter* w = pop_waiter(m->waiters);
    m->owner = w->owner;
    m->recursion = 1;
    m->abandoned = false;
    w->owner->held.push_back(m);
    w->granted = true;
    w->abandoned = abandoned;
    w->wake.post();
}

void forget_owned(Mutex* m)
{
    auto& held = m->owner->held;
    held.erase(std::remove(held.begin(), held.end(), m), held.end());
}

OwnedMutexes::~OwnedMutexes()
{
    std::lock_guard guard(ownership_lock());
    for (Mutex* m : held)
        hand_over(m, true);
    held.clear();
}

constexpr uint64_t kOneQueued = uint64_t{1} << 32;

long units_in(uint64_t state)
{
    return static_cast<long>(state & 0xFFFFFFFFu);
}

bool has_queued(uint64_t state)
{
    return (state >> 32) != 0;
}

// Takes one unit if there is one; `leaving` is kOneQueued for a queued waiter that leaves the
// queue in the same step (caller holds the lock).
bool take_unit(Semaphore* s, uint64_t leaving = 0)
{
    uint64_t state = s->state.load();
    while (units_in(state) > 0) {
        if (s->state.compare_exchange_weak(state, state - 1 - leaving))
            return true;
    }
    return false;
}

// Watches the count for a moment before the caller sleeps; true when it took a unit. Gives up
// as soon as a waiter is queued: queued waiters are served first.
bool spin_for_unit(Semaphore* s)
{
    return detail::spin_for(s->spin, [s] {
        const uint64_t state = s->state.load(std::memory_order_relaxed);
        if (has_queued(state))
            return detail::Poll::kGiveUp;
        return units_in(state) > 0 && take_unit(s) ? detail::Poll::kTaken : detail::Poll::kAgain;
    });
}

// Adds `count` units unless that passes the maximum; answers the word as it was before.
bool add_units(Semaphore* s, long count, uint64_t* before)
{
    uint64_t state = s->state.load();
    do {
        if (count > s->maximum - units_in(state))
            return false;
    } while (!s->state.compare_exchange_weak(state, state + static_cast<uint64_t>(count)));
    *before = state;
    return true;
}

void drop(Waiter* w)
{
    if (w->refs.fetch_sub(1) == 1)
        delete w;
}

// Each thread keeps its last semaphore waiter records for its next waits: a record is reused
// once its releaser has dropped the queue's reference, and dropped when the thread ends. Two of
// them, because a woken thread often runs before its releaser has let go of the record.
struct SpareWaiters {
    Waiter* records[2] = {};
    ~SpareWaiters()
    {
        for (Waiter* w : records) {
            if (w != nullptr)
                drop(w);
        }
    }
};
thread_local SpareWaiters t_spares KV_HOT_TLS;

Waiter* take_waiter()
{
    for (Waiter*& spare : t_spares.records) {
        Waiter* w = spare;
        if (w == nullptr || w->refs.load() != 1)
            continue;
        spare = nullptr;
        w->granted = false;
        w->wake.reset();  // a post of a late grant or a termination may be left in it
        return w;
    }
    return new Waiter;
}

void keep_waiter(Waiter* w)
{
    for (Waiter*& spare : t_spares.records) {
        if (spare == nullptr) {
            spare = w;
            return;
        }
    }
    drop(w);
}

// Hands available units to queued waiters, then posts them outside the lock, each post
// followed by the drop of the queue's reference.
void serve_waiters(Semaphore* s)
{
    posix::DeferTermination defer;
    constexpr size_t kBatch = 16;
    Waiter* served[kBatch];
    size_t n = 0;
    std::vector<Waiter*> more;  // past a batch (rare)
    {
        std::lock_guard guard(s->lock);
        while (!s->waiters.empty() && take_unit(s, kOneQueued)) {
            Waiter* w = pop_waiter(s->waiters);
            w->granted = true;
            if (n < kBatch) {
                served[n++] = w;
            } else {
                more.push_back(w);
            }
        }
    }
    for (size_t i = 0; i < n; ++i) {
        served[i]->wake.post();
        drop(served[i]);
    }
    for (Waiter* w : more) {
        w->wake.post();
        drop(w);
    }
}

// Queues `me` unless a unit came meanwhile; true when it took that unit instead.
bool queue_or_take(Semaphore* s, Waiter* me)
{
    std::lock_guard guard(s->lock);
    if (take_unit(s))
        return true;
    // Nobody else holds a reference before the record is queued, nor takes one before the lock
    // is released: plain stores do.
    me->refs.store(2, std::memory_order_relaxed);
    s->waiters.push_back(me);
    s->state.fetch_add(kOneQueued);
    if (!take_unit(s))
        return false;
    s->waiters.pop_back();
    s->state.fetch_sub(kOneQueued);
    me->refs.store(1, std::memory_order_relaxed);
    return true;
}

// After a wait that ended without the post: true when a release granted the unit anyway
// (its releaser then posts and drops the queue's reference).
bool granted_meanwhile(Semaphore* s, Waiter* me)
{
    std::lock_guard guard(s->lock);
    if (me->granted)
        return true;
    remove_waiter(s->waiters, me);
    s->state.fetch_sub(kOneQueued);
    me->refs.fetch_sub(1);
    return false;
}

WaitResult fail_handle()
{
    set_last_error(kErrInvalidHandle);
    return WaitResult::kFailed;
}

}  // namespace

namespace detail {

// Raw futex calls on a lock word: the waiting side rechecks the word in a loop.
void address_wait(std::atomic<int>* word, int expected)
{
    syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr,
            0);
}

void address_wake_one(std::atomic<int>* word)
{
    syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

unsigned processors_usable()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    const int n = CPU_COUNT(&set);
    return n > 1 ? static_cast<unsigned>(n) : 1u;
}

}  // namespace detail

Semaphore* semaphore_create(long initial, long maximum)
{
    constexpr long kLongMax = 0x7FFFFFFF;  // a Windows LONG
    if (maximum <= 0 || maximum > kLongMax || initial < 0 || initial > maximum) {
        set_last_error(kErrInvalidParameter);
        return nullptr;
    }
    auto* s = new Semaphore;
    s->state = static_cast<uint64_t>(initial);
    s->maximum = maximum;
    return s;
}

void semaphore_destroy(Semaphore* s)
{
    delete s;
}

KV_HOT_PATH bool semaphore_release(Semaphore* s, long count, long* previous)
{
    if (s == nullptr || count <= 0) {
        set_last_error(s == nullptr ? kErrInvalidHandle : kErrInvalidParameter);
        return false;
    }
    uint64_t before = 0;
    if (!add_units(s, count, &before)) {
        set_last_error(kErrTooManyPosts);
        return false;
    }
    if (previous != nullptr)
        *previous = units_in(before);
    if (has_queued(before))
        serve_waiters(s);
    return true;
}

KV_HOT_PATH WaitResult semaphore_wait(Semaphore* s, uint32_t timeout_ms)
{
    if (s == nullptr)
        return fail_handle();
    if (take_unit(s))
        return WaitResult::kSignaled;
    if (timeout_ms == 0)
        return WaitResult::kTimeout;
    if (spin_for_unit(s))
        return WaitResult::kSignaled;
    posix::DeferTermination defer;
    Waiter* me = take_waiter();
    WaitResult result = WaitResult::kSignaled;
    if (!queue_or_take(s, me) && !posix::wait_wake(&me->wake, timeout_ms) &&
        !granted_meanwhile(s, me)) {
        result = WaitResult::kTimeout;
    }
    keep_waiter(me);
    return result;
}

Mutex* mutex_create(bool initially_owned)
{
    auto* m = new Mutex;
    if (initially_owned) {
        posix::DeferTermination defer;
        std::lock_guard guard(ownership_lock());
        m->owner = &t_owned;
        m->recursion = 1;
        t_owned.held.push_back(m);
    }
    return m;
}

void mutex_destroy(Mutex* m)
{
    if (m == nullptr)
        return;
    {
        posix::DeferTermination defer;
        std::lock_guard guard(ownership_lock());
        if (m->owner != nullptr)
            forget_owned(m);
    }
    delete m;
}

WaitResult mutex_wait(Mutex* m, uint32_t timeout_ms)
{
    if (m == nullptr)
        return fail_handle();
    posix::DeferTermination defer;
    Waiter me;
    me.owner = &t_owned;
    {
        std::lock_guard guard(ownership_lock());
        if (m->owner == &t_owned) {
            ++m->recursion;
            return WaitResult::kSignaled;
        }
        if (m->owner == nullptr) {
            m->owner = &t_owned;
            m->recursion = 1;
            t_owned.held.push_back(m);
            const bool abandoned = m->abandoned;
            m->abandoned = false;
            return abandoned ? WaitResult::kAbandoned : WaitResult::kSignaled;
        }
        if (timeout_ms == 0)
            return WaitResult::kTimeout;
        m->waiters.push_back(&me);
    }
    posix::wait_wake(&me.wake, timeout_ms);
    std::lock_guard guard(ownership_lock());
    if (me.granted)
        return me.abandoned ? WaitResult::kAbandoned : WaitResult::kSignaled;
    remove_waiter(m->waiters, &me);
    return WaitResult::kTimeout;
}

bool mutex_release(Mutex* m)
{
    if (m == nullptr) {
        set_last_error(kErrInvalidHandle);
        return false;
    }
    posix::DeferTermination defer;
    std::lock_guard guard(ownership_lock());
    if (m->owner != &t_owned) {
        set_last_error(kErrNotOwner);
        return false;
    }
    if (--m->recursion == 0) {
        forget_owned(m);
        hand_over(m, false);
    }
    return true;
}

// A thread terminated while holding a critical section leaves it held, as on Windows.
CriticalSection* critical_section_create()
{
    return new CriticalSection;
}
void critical_section_destroy(CriticalSection* cs)
{
    delete cs;
}
void critical_section_enter(CriticalSection* cs)
{
    cs->lock.lock();
}
void critical_section_leave(CriticalSection* cs)
{
    cs->lock.unlock();
}

}  // namespace kerval::platform
