// Recursive locks owned by a thread, for mutexes and critical sections: a FIFO of waiting
// threads to which the owner hands the lock over directly. A lock whose owner ended (its task
// deleted, or its thread returned) goes to the next waiter marked as abandoned, so it never
// stays locked for everyone.
#include <atomic>
#include <mutex>

#include "kerval/core/core.h"
#include "kerval/core/internal.h"
#include "kerval/sync/sync_core.h"
#include "kerval/task/task.h"

namespace kerval::sync {

namespace {

void BecomeOwner(SyncCore& c, uint32_t tid, platform::Thread* thread)
{
    c.owner_tid = tid;
    c.owner_thread = thread;
    c.depth = 1;
    NoteLockOwned();
}

void Enqueue(SyncCore& c, LockWaiter& w)
{
    w.next = nullptr;
    (c.last == nullptr ? c.first : c.last->next) = &w;
    c.last = &w;
}

}  // namespace

void HandOver(SyncCore& c, bool abandoned)
{
    LockWaiter* w = c.first;
    c.depth = 0;
    if (w == nullptr) {
        if (c.section != nullptr) {  // an abandoned section shows no holder
            std::atomic_ref(c.section->dwOwnerThreadId).store(0xFFFFFFFFu);
            std::atomic_ref(c.section->nEnterCount).store(0);
        }
        c.owner_tid = 0;
        c.owner_thread = nullptr;
        c.abandoned = abandoned;
        return;
    }
    c.first = w->next;
    if (c.first == nullptr)
        c.last = nullptr;
    c.owner_tid = w->thread_id;
    c.owner_thread = w->thread;
    c.depth = 1;
    c.abandoned = false;
    w->granted = true;
    w->abandoned = abandoned;
    Post(w->wake);
}

namespace {

// Caller holds c.lock. True when the calling thread now owns the lock (or was refused).
bool TryAcquire(SyncCore& c, uint32_t gen, uint32_t tid, OwnerHook on_enter, Acquired* result)
{
    if (!c.IsOpen(gen)) {
        *result = Acquired::kClosed;
        return true;
    }
    if (c.owner_tid == tid) {
        ++c.depth;
    } else if (c.owner_tid == 0) {
        BecomeOwner(c, tid, platform::thread_current());
        *result = c.abandoned ? Acquired::kAbandoned : Acquired::kOwned;
        c.abandoned = false;
        if (on_enter != nullptr)
            on_enter(c);
        return true;
    } else {
        return false;
    }
    if (on_enter != nullptr)
        on_enter(c);
    *result = Acquired::kOwned;
    return true;
}

}  // namespace

// The owner's nested entries and leaves take no lock: only the owner changes the depth while
// it owns the lock, and it alone can see its own id as the owner.
bool OwnsOpen(const SyncCore& c, uint32_t gen, uint32_t tid)
{
    return c.owner_tid.load(std::memory_order_relaxed) == tid && c.IsOpen(gen);
}

Acquired AcquireLock(SyncCore& c, uint32_t gen, OwnerHook on_enter)
{
    const uint32_t tid = core::SelfThreadId();
    if (OwnsOpen(c, gen, tid)) {
        c.depth.store(c.depth.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        if (on_enter != nullptr)
            on_enter(c);
        return Acquired::kOwned;
    }
    Acquired result = Acquired::kOwned;
    {
        std::lock_guard guard(c.lock);
        if (TryAcquire(c, gen, tid, on_enter, &result))
            return result;
    }
    // Contended: the waiter's record is prepared outside the lock, then the lock is tried again.
    TaskDescript* task = core::CurrentTask();
    TaskWait* record = WaitOf(task);
    LockWaiter local;
    LockWaiter& me = record != nullptr ? record->node : local;
    platform::Semaphore* wake = CallerWake(task);
    platform::Thread* thread = platform::thread_current();
    {
        std::lock_guard guard(c.lock);
        if (TryAcquire(c, gen, tid, on_enter, &result))
            return result;
        me = LockWaiter{wake, tid, thread};
        Enqueue(c, me);
        if (record != nullptr) {
            record->generation = gen;
            record->core.store(&c, std::memory_order_release);
        }
    }
    task::UnlimitedWait unlimited;
    for (;;) {
        const platform::WaitResult r = platform::semaphore_wait(me.wake, platform::kInfinite);
        std::lock_guard guard(c.lock);
        const bool closed = !c.IsOpen(gen);
        if (!me.granted && !closed)
            continue;
        if (r != platform::WaitResult::kSignaled)
            DrainPost(me.wake);
        if (record != nullptr)
            record->core.store(nullptr, std::memory_order_relaxed);
        if (!me.granted)
            return Acquired::kClosed;
        NoteLockOwned();
        if (on_enter != nullptr && !closed)
            on_enter(c);
        return me.abandoned ? Acquired::kAbandoned : Acquired::kOwned;
    }
}

Released ReleaseLock(SyncCore& c, uint32_t gen, OwnerHook on_leave)
{
    const uint32_t tid = core::SelfThreadId();
    const int32_t depth = c.depth.load(std::memory_order_relaxed);
    if (depth > 1 && OwnsOpen(c, gen, tid)) {
        c.depth.store(depth - 1, std::memory_order_relaxed);
        if (on_leave != nullptr)
            on_leave(c);
        return Released::kReleased;
    }
    std::lock_guard guard(c.lock);
    if (!c.IsOpen(gen))
        return Released::kClosed;
    if (c.owner_tid != tid)
        return Released::kNotOwner;
    --c.depth;
    if (on_leave != nullptr)
        on_leave(c);
    if (c.depth > 0)
        return Released::kReleased;
    HandOver(c, false);
    return Released::kReleased;
}

}  // namespace kerval::sync
