// The per-handle cores of the synchronisation objects, the wake semaphores of their waiters,
// and what a task's deletion undoes in them.
#include "kerval/sync/sync_core.h"

#include <cstdio>
#include <mutex>

#include "kerval/core/alloc.h"
#include "kerval/core/core.h"
#include "kerval/error/report.h"
#include "kerval/sync/sync.h"
#include "kerval/task/task.h"

namespace kerval::sync {

namespace {

// Cores by object handle and wait records by task record, sized once for the descriptor they
// serve and never released. A rebuilt descriptor gets new tables; the old ones are kept, as a
// woken waiter may still hold one of their cores.
struct Tables {
    const SysDescript* owner = nullptr;
    int32_t nb_object = 0;
    int32_t nb_task = 0;
    std::atomic<SyncCore*>* cores = nullptr;
    TaskWait* waits = nullptr;
};

std::atomic<Tables*> g_tables{nullptr};

// Caller holds the system lock. Null when memory runs out.
Tables* TablesForCreation()
{
    const SysDescript* sys = core::Sys();
    Tables* tables = g_tables.load(std::memory_order_acquire);
    if (tables != nullptr && tables->owner == sys)
        return tables;
    auto* fresh = core::New<Tables>();
    if (fresh == nullptr)
        return nullptr;
    fresh->owner = sys;
    fresh->nb_object = sys->nNbObject;
    fresh->nb_task = sys->nNbTask;
    fresh->cores = core::NewArray<std::atomic<SyncCore*>>(static_cast<size_t>(sys->nNbObject));
    fresh->waits = fresh->cores != nullptr
                       ? core::NewArray<TaskWait>(static_cast<size_t>(sys->nNbTask))
                       : nullptr;
    if (fresh->waits == nullptr) {
        core::Free(fresh->cores);
        core::Delete(fresh);
        return nullptr;
    }
    g_tables.store(fresh, std::memory_order_release);
    return fresh;
}

Tables* CurrentTables()
{
    Tables* tables = g_tables.load(std::memory_order_acquire);
    return tables != nullptr && tables->owner == core::Sys() ? tables : nullptr;
}

// A thread that owned a lock or made a wake semaphore of its own settles them as it ends, through
// its end call (see platform::thread_arm_end_call): the locks it still owns go to their next
// waiters, the semaphore is destroyed. The call's value is that semaphore, or kNoWake.
thread_local platform::Semaphore* t_wake = nullptr;  // of a thread that is no task
thread_local bool t_end_armed = false;
char g_no_wake;
void* const kNoWake = &g_no_wake;

void SettleThreadEnd(void* value)
{
    AbandonLocksOf(platform::current_thread_id());
    if (value != kNoWake)
        platform::semaphore_destroy(static_cast<platform::Semaphore*>(value));
}

}  // namespace

SyncCore* FindCore(int32_t h, Kind kind, uint32_t* generation)
{
    const Tables* tables = g_tables.load(std::memory_order_acquire);
    if (tables == nullptr || h < 0 || h >= tables->nb_object)
        return nullptr;
    SyncCore* found = tables->cores[h].load(std::memory_order_acquire);
    if (found == nullptr)
        return nullptr;
    const uint32_t gen = found->generation.load(std::memory_order_acquire);
    if ((gen & 1u) == 0 || found->kind != kind)
        return nullptr;
    *generation = gen;
    return found;
}

SyncCore* CoreForCreation(int32_t h)
{
    Tables* tables = TablesForCreation();
    if (tables == nullptr || h < 0 || h >= tables->nb_object)
        return nullptr;
    SyncCore* found = tables->cores[h].load(std::memory_order_acquire);
    if (found == nullptr) {
        found = core::New<SyncCore>();
        if (found != nullptr)
            tables->cores[h].store(found, std::memory_order_release);
    }
    return found;
}

void Open(SyncCore& c, Kind kind)
{
    c.kind = kind;
    if (kind == Kind::kSection) {
        c.sem = nullptr;
    } else {
        c.section = nullptr;
    }
    c.owner_tid = 0;
    c.owner_thread = nullptr;
    c.depth = 0;
    c.abandoned = false;
    c.first = c.last = nullptr;
    c.generation.fetch_add(1, std::memory_order_release);  // odd: open
}

void Close(SyncCore& c)
{
    // The record pointers stay: a nested owner may still read them until it sees the closing.
    c.generation.fetch_add(1, std::memory_order_release);  // even: closed
}

void FillSemRecord(SemDescript& rec, SyncCore* c, uint16_t max, uint16_t count, uint8_t is_mute)
{
    rec.hMutex = c;
    rec.nMaxCount = max;
    std::atomic_ref(rec.nCount).store(count, std::memory_order_relaxed);
    rec.nNbWaiting = 0;
    rec.nHead = rec.nTail = -1;
    rec.nFreeHead = 0;
    rec.bIsMute = is_mute;
    std::atomic_ref(rec.bUsed).store(1, std::memory_order_release);
}

void ShowNotASemaphore(int32_t h)
{
    char text[64];
    std::snprintf(text, sizeof text, "Object %d is not a semaphore !", static_cast<int>(h));
    DisplayDebug(text, 1);
}

void ReportNotASemaphore(const char* proc, int32_t h)
{
    char text[64];
    std::snprintf(text, sizeof text, "Object %d is not a semaphore !", static_cast<int>(h));
    KV_REPORT(eNOK, proc, text, 0);
}

platform::Semaphore* CallerWake(TaskDescript* task)
{
    if (task != nullptr)
        return static_cast<platform::Semaphore*>(task->hWakeSem);
    if (t_wake == nullptr) {
        t_wake = platform::semaphore_create(0, 1);
        if (t_wake != nullptr)
            t_end_armed = platform::thread_arm_end_call(SettleThreadEnd, t_wake);
    }
    return t_wake;
}

void NoteLockOwned()
{
    if (!t_end_armed)
        t_end_armed = platform::thread_arm_end_call(SettleThreadEnd, kNoWake);
}

void Post(platform::Semaphore* wake)
{
    // At its maximum the semaphore already holds a wake-up: nothing is lost.
    platform::semaphore_release(wake, 1, nullptr);
}

void DrainPost(platform::Semaphore* wake)
{
    platform::semaphore_wait(wake, 0);
}

uint64_t DeadlineAfter(uint32_t ms)
{
    return platform::perf_counter() + ms * platform::perf_frequency() / 1000;
}

uint32_t MsUntil(uint64_t deadline)
{
    const uint64_t now = platform::perf_counter();
    if (now >= deadline)
        return 0;
    return static_cast<uint32_t>((deadline - now) * 1000 / platform::perf_frequency()) + 1;
}

TaskWait* WaitOf(const TaskDescript* task)
{
    Tables* tables = CurrentTables();
    const SysDescript* sys = core::Sys();
    if (tables == nullptr || task == nullptr)
        return nullptr;
    const auto index = task - sys->pxTaskTab;
    return index >= 0 && index < tables->nb_task ? &tables->waits[index] : nullptr;
}

void UnlinkWaiter(SyncCore& c, LockWaiter* waiter)
{
    LockWaiter* prev = nullptr;
    for (LockWaiter* w = c.first; w != nullptr; prev = w, w = w->next) {
        if (w != waiter)
            continue;
        (prev == nullptr ? c.first : prev->next) = w->next;
        if (c.last == w)
            c.last = prev;
        return;
    }
}

void WakeAllWaiters(SyncCore& c)
{
    for (LockWaiter* w = c.first; w != nullptr;) {
        LockWaiter* next = w->next;  // the waiter may leave as soon as it is posted
        Post(w->wake);
        w = next;
    }
    c.first = c.last = nullptr;
}

void AbandonLocksOf(uint32_t thread_id)
{
    Tables* tables = CurrentTables();
    if (tables == nullptr || thread_id == 0)
        return;
    for (int32_t h = 0; h < tables->nb_object; ++h) {
        SyncCore* c = tables->cores[h].load(std::memory_order_acquire);
        if (c == nullptr)
            continue;
        std::lock_guard guard(c->lock);
        if ((c->generation.load() & 1u) != 0 && c->kind != Kind::kSem &&
            c->owner_tid == thread_id) {
            HandOver(*c, true);
        }
    }
}

void ForgetTask(const TaskDescript* task, uint32_t thread_id)
{
    TaskWait* wait = WaitOf(task);
    SyncCore* c = wait == nullptr ? nullptr : wait->core.load(std::memory_order_acquire);
    if (c != nullptr) {
        std::lock_guard guard(c->lock);
        if (c->IsOpen(wait->generation)) {
            if (c->kind == Kind::kSem) {
                ForgetSemWaiter(*c, task, wait->entry);
            } else {
                UnlinkWaiter(*c, &wait->node);
            }
        }
        wait->core.store(nullptr, std::memory_order_relaxed);
    }
    // A release that served the task may still be about to post its wake semaphore.
    while (wait != nullptr && wait->posting.load(std::memory_order_acquire) != 0)
        platform::sleep_ms(0);
    AbandonLocksOf(thread_id);
}

}  // namespace kerval::sync
