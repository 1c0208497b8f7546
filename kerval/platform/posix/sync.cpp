// Win32-style semaphores, owned recursive mutexes with abandonment, and critical sections.
// Blocked waiters queue on the object and are handed the unit (or the ownership) by the
// releasing thread, which posts the waiter's own semaphore; a waiter that times out or is
// terminated removes itself.
#include <semaphore.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "kerval/platform/platform.h"
#include "kerval/platform/posix/internal.h"

namespace kerval::platform {
namespace {

struct OwnedMutexes;

struct Waiter {
    sem_t wake;
    OwnedMutexes* owner = nullptr;  // mutex waits: the waiting thread's list
    bool granted = false;           // guarded by the object's lock
    bool abandoned = false;
    Waiter() { sem_init(&wake, 0, 0); }
    ~Waiter() { sem_destroy(&wake); }
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
    std::mutex lock;  // guards the fields below
    long count = 0;
    long maximum = 0;
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
    sem_post(&w->wake);
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

WaitResult fail_handle()
{
    set_last_error(kErrInvalidHandle);
    return WaitResult::kFailed;
}

}  // namespace

Semaphore* semaphore_create(long initial, long maximum)
{
    if (maximum <= 0 || initial < 0 || initial > maximum) {
        set_last_error(kErrInvalidParameter);
        return nullptr;
    }
    auto* s = new Semaphore;
    s->count = initial;
    s->maximum = maximum;
    return s;
}

void semaphore_destroy(Semaphore* s)
{
    delete s;
}

bool semaphore_release(Semaphore* s, long count, long* previous)
{
    if (s == nullptr || count <= 0) {
        set_last_error(s == nullptr ? kErrInvalidHandle : kErrInvalidParameter);
        return false;
    }
    posix::DeferTermination defer;
    std::lock_guard guard(s->lock);
    if (count > s->maximum - s->count) {
        set_last_error(kErrTooManyPosts);
        return false;
    }
    if (previous != nullptr)
        *previous = s->count;
    s->count += count;
    while (s->count > 0 && !s->waiters.empty()) {
        Waiter* w = pop_waiter(s->waiters);
        --s->count;
        w->granted = true;
        sem_post(&w->wake);
    }
    return true;
}

WaitResult semaphore_wait(Semaphore* s, uint32_t timeout_ms)
{
    if (s == nullptr)
        return fail_handle();
    posix::DeferTermination defer;
    Waiter me;
    {
        std::lock_guard guard(s->lock);
        if (s->count > 0) {
            --s->count;
            return WaitResult::kSignaled;
        }
        if (timeout_ms == 0)
            return WaitResult::kTimeout;
        s->waiters.push_back(&me);
    }
    posix::wait_wake(&me.wake, timeout_ms);
    std::lock_guard guard(s->lock);
    if (me.granted)
        return WaitResult::kSignaled;
    remove_waiter(s->waiters, &me);
    return WaitResult::kTimeout;
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
