// Win32-style semaphores, owned recursive mutexes with abandonment, and critical sections.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "kerval/platform/platform.h"

namespace kerval::platform {

struct Semaphore {
    std::mutex lock;  // guards count
    std::condition_variable available;
    long count = 0;
    long maximum = 0;
};

struct OwnedMutexes;

struct Mutex {
    std::condition_variable released;
    OwnedMutexes* owner = nullptr;  // guarded by ownership_lock()
    long recursion = 0;
    bool abandoned = false;  // owner ended while holding it; told to the next owner
};

struct CriticalSection {
    std::recursive_mutex lock;
};

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadline_after(uint32_t timeout_ms) {
    return Clock::now() + std::chrono::milliseconds(timeout_ms);
}

// Waits until ready() holds; false on time-out. kInfinite waits without limit.
template <typename Lock, typename Ready>
bool wait_for_ready(std::condition_variable& cv, Lock& lock, uint32_t timeout_ms, Ready ready) {
    if (timeout_ms == kInfinite) {
        cv.wait(lock, ready);
        return true;
    }
    return cv.wait_until(lock, deadline_after(timeout_ms), ready);
}

// One lock for all mutex ownership, so a thread's end can hand over every mutex it holds.
std::mutex& ownership_lock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

// The mutexes the thread owns; its destruction at thread end (also after termination, which
// unwinds the thread) abandons them.
struct OwnedMutexes {
    std::vector<Mutex*> held;
    ~OwnedMutexes() {
        std::lock_guard guard(ownership_lock());
        for (Mutex* m : held) {
            m->owner = nullptr;
            m->recursion = 0;
            m->abandoned = true;
            m->released.notify_all();
        }
    }
};

namespace {

thread_local OwnedMutexes t_owned;

void forget_owned(Mutex* m) {
    auto& held = m->owner->held;
    held.erase(std::remove(held.begin(), held.end(), m), held.end());
}

void take_ownership(Mutex* m) {
    m->owner = &t_owned;
    m->recursion = 1;
    t_owned.held.push_back(m);
}

}  // namespace

Semaphore* semaphore_create(long initial, long maximum) {
    if (maximum <= 0 || initial < 0 || initial > maximum) {
        set_last_error(kErrInvalidParameter);
        return nullptr;
    }
    auto* s = new Semaphore;
    s->count = initial;
    s->maximum = maximum;
    return s;
}

void semaphore_destroy(Semaphore* s) { delete s; }

bool semaphore_release(Semaphore* s, long count, long* previous) {
    if (s == nullptr || count <= 0) {
        set_last_error(s == nullptr ? kErrInvalidHandle : kErrInvalidParameter);
        return false;
    }
    std::lock_guard guard(s->lock);
    if (count > s->maximum - s->count) {
        set_last_error(kErrTooManyPosts);
        return false;
    }
    if (previous != nullptr) *previous = s->count;
    s->count += count;
    // Waiters whose time-out expires at the same moment may miss a single notify.
    s->available.notify_all();
    return true;
}

WaitResult semaphore_wait(Semaphore* s, uint32_t timeout_ms) {
    if (s == nullptr) {
        set_last_error(kErrInvalidHandle);
        return WaitResult::kFailed;
    }
    std::unique_lock guard(s->lock);
    if (!wait_for_ready(s->available, guard, timeout_ms, [s] { return s->count > 0; })) {
        return WaitResult::kTimeout;
    }
    --s->count;
    return WaitResult::kSignaled;
}

Mutex* mutex_create(bool initially_owned) {
    auto* m = new Mutex;
    if (initially_owned) {
        std::lock_guard guard(ownership_lock());
        take_ownership(m);
    }
    return m;
}

void mutex_destroy(Mutex* m) {
    if (m == nullptr) return;
    {
        std::lock_guard guard(ownership_lock());
        if (m->owner != nullptr) forget_owned(m);
    }
    delete m;
}

WaitResult mutex_wait(Mutex* m, uint32_t timeout_ms) {
    if (m == nullptr) {
        set_last_error(kErrInvalidHandle);
        return WaitResult::kFailed;
    }
    std::unique_lock guard(ownership_lock());
    if (m->owner == &t_owned) {
        ++m->recursion;
        return WaitResult::kSignaled;
    }
    if (!wait_for_ready(m->released, guard, timeout_ms, [m] { return m->owner == nullptr; })) {
        return WaitResult::kTimeout;
    }
    take_ownership(m);
    const bool abandoned = m->abandoned;
    m->abandoned = false;
    return abandoned ? WaitResult::kAbandoned : WaitResult::kSignaled;
}

bool mutex_release(Mutex* m) {
    if (m == nullptr) {
        set_last_error(kErrInvalidHandle);
        return false;
    }
    std::lock_guard guard(ownership_lock());
    if (m->owner != &t_owned) {
        set_last_error(kErrNotOwner);
        return false;
    }
    if (--m->recursion == 0) {
        forget_owned(m);
        m->owner = nullptr;
        m->released.notify_all();
    }
    return true;
}

CriticalSection* critical_section_create() { return new CriticalSection; }
void critical_section_destroy(CriticalSection* cs) { delete cs; }
void critical_section_enter(CriticalSection* cs) { cs->lock.lock(); }
void critical_section_leave(CriticalSection* cs) { cs->lock.unlock(); }

}  // namespace kerval::platform
