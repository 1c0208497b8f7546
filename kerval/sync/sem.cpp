// Counting semaphores with the library's own queue of waiting tasks. FreeSem hands units to
// the queued tasks strictly in arrival order and wakes them; a woken task finds its entry
// marked as served. An entry leaves the queue when it is served, but only its owner frees it,
// so a release that lands as a wait times out is never lost: the waiter sees the grant and
// returns 0 with the units.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>

#include "kerval/core/alloc.h"
#include "kerval/core/core.h"
#include "kerval/error/report.h"
#include "kerval/kerval.h"
#include "kerval/sync/sync.h"
#include "kerval/sync/sync_core.h"
#include "kerval/task/task.h"

namespace kerval::sync {

namespace {

constexpr uint16_t kFree = 0;
constexpr uint16_t kQueued = 1;
constexpr uint16_t kServed = 2;  // out of the queue, units deducted, not yet seen by its owner

std::atomic_ref<uint16_t> CountOf(SemDescript& rec)
{
    return std::atomic_ref<uint16_t>(rec.nCount);
}

// ---- the queue (caller holds the core's lock)

int16_t Append(SemDescript& rec, TaskDescript* task, uint16_t count)
{
    const auto e = static_cast<int16_t>(rec.nFreeHead);
    rec.nFreeHead = static_cast<uint16_t>(rec.ptsFreeChain[e]);
    rec.ptWaitingTask[e] = WaitingTask{kQueued, task, count};
    rec.ptsNextChain[e] = -1;
    rec.ptsPrevChain[e] = rec.nTail;
    if (rec.nTail == -1) {
        rec.nHead = e;
    } else {
        rec.ptsNextChain[rec.nTail] = e;
    }
    rec.nTail = e;
    ++rec.nNbWaiting;
    return e;
}

// Takes entry e out of the queue; its own links stay as they were.
void Unlink(SemDescript& rec, int16_t e)
{
    const int16_t next = rec.ptsNextChain[e];
    const int16_t prev = rec.ptsPrevChain[e];
    (prev == -1 ? rec.nHead : rec.ptsNextChain[prev]) = next;
    (next == -1 ? rec.nTail : rec.ptsPrevChain[next]) = prev;
    --rec.nNbWaiting;
}

void Release(SemDescript& rec, int16_t e)
{
    rec.ptWaitingTask[e].nState = kFree;
    rec.ptsFreeChain[e] = static_cast<int16_t>(rec.nFreeHead);
    rec.nFreeHead = static_cast<uint16_t>(e);
}

// Wake-ups owed by a release, posted once the core's lock is dropped: a woken task never runs
// into the lock still held by its waker. Each pending post is counted in its task's wait
// record, so that the task's deletion waits for it before the wake semaphore goes.
struct Wakeups {
    static constexpr int kMax = 8;
    platform::Semaphore* wake[kMax];
    TaskWait* record[kMax];
    int n = 0;

    void Add(TaskDescript* task)
    {
        auto* sem = static_cast<platform::Semaphore*>(task->hWakeSem);
        TaskWait* tw = WaitOf(task);
        if (n == kMax || tw == nullptr) {
            Post(sem);  // past a batch: under the lock
            return;
        }
        tw->posting.fetch_add(1, std::memory_order_relaxed);
        wake[n] = sem;
        record[n++] = tw;
    }
    void Send()
    {
        for (int i = 0; i < n; ++i) {
            Post(wake[i]);
            record[i]->posting.fetch_sub(1, std::memory_order_release);
        }
        n = 0;
    }
};

// Serves the queue from its head while the head's request fits.
void Serve(SemDescript& rec, Wakeups& wakeups)
{
    int16_t i = rec.nHead;
    while (i != -1 && CountOf(rec).load(std::memory_order_relaxed) > 0) {
        WaitingTask& entry = rec.ptWaitingTask[i];
        const uint16_t count = CountOf(rec).load(std::memory_order_relaxed);
        if (entry.nState != kQueued || entry.nRequested > count)
            break;
        CountOf(rec).store(static_cast<uint16_t>(count - entry.nRequested),
                           std::memory_order_relaxed);
        const int16_t next = rec.ptsNextChain[i];
        Unlink(rec, i);
        entry.nState = kServed;
        wakeups.Add(entry.pTask);
        i = next;
    }
}

bool TakeIfAvailable(SemDescript& rec, uint16_t count)
{
    const uint16_t available = CountOf(rec).load(std::memory_order_relaxed);
    if (available < count)
        return false;
    CountOf(rec).store(static_cast<uint16_t>(available - count), std::memory_order_relaxed);
    return true;
}

void FreeArrays(SemDescript& rec)
{
    core::Free(rec.ptWaitingTask);
    core::Free(rec.ptsNextChain);
    core::Free(rec.ptsPrevChain);
    core::Free(rec.ptsFreeChain);
    rec.ptWaitingTask = nullptr;
    rec.ptsNextChain = rec.ptsPrevChain = rec.ptsFreeChain = nullptr;
}

// One waiting task between its queueing and its answer.
struct SemWait {
    SyncCore& core;
    uint32_t generation;
    TaskDescript* task;
    TaskWait* record;
    int16_t entry;
    platform::Semaphore* wake;

    void Leave(int32_t* result, int32_t code, platform::WaitResult r)
    {
        if (r != platform::WaitResult::kSignaled)
            DrainPost(wake);  // a grant's post may come later: the next wait checks its entry
        if (record != nullptr)
            record->core.store(nullptr, std::memory_order_relaxed);
        *result = code;
    }

    // Settles one ended wait under the core's lock; false when the task must wait again.
    bool Settle(platform::WaitResult r, int32_t* result)
    {
        std::lock_guard guard(core.lock);
        if (!core.IsOpen(generation)) {
            Leave(result, eNOK, r);
            return true;
        }
        SemDescript& rec = *core.sem;
        if (rec.ptWaitingTask[entry].nState == kServed) {
            Release(rec, entry);
            Leave(result, eOK, r);
            return true;
        }
        if (r == platform::WaitResult::kSignaled)
            return false;  // a stale wake-up: still queued
        Unlink(rec, entry);
        Release(rec, entry);
        Leave(result, r == platform::WaitResult::kTimeout ? eTIME_OVER : eNOK, r);
        return true;
    }
};

// WAIT_FOREVER blocks without time-out until a grant or the deletion; any other time-out ends
// the wait once it has passed (-1 and other negative values: one slice).
int32_t WaitQueued(SemWait& w, int32_t lTimeOut)
{
    const bool forever = lTimeOut == WAIT_FOREVER;
    std::optional<task::UnlimitedWait> unlimited;
    if (forever) {
        unlimited.emplace();
    } else {
        UpdateLifeSign();
    }
    const uint32_t limit = lTimeOut < 0 ? task::WaitSliceMs() : static_cast<uint32_t>(lTimeOut);
    const uint64_t deadline = forever ? 0 : DeadlineAfter(limit);
    int32_t result = eNOK;
    for (;;) {
        const uint32_t ms = forever ? platform::kInfinite : MsUntil(deadline);
        if (w.Settle(platform::semaphore_wait(w.wake, ms), &result))
            return result;
    }
}

}  // namespace

void ForgetSemWaiter(SyncCore& c, const TaskDescript* task, int16_t entry)
{
    SemDescript* rec = c.sem;
    if (rec == nullptr || entry < 0 || rec->ptWaitingTask[entry].pTask != task)
        return;
    WaitingTask& w = rec->ptWaitingTask[entry];
    if (w.nState == kQueued) {
        Unlink(*rec, entry);
    } else if (w.nState == kServed) {
        // Units handed to the task and never taken go back to the semaphore.
        CountOf(*rec).store(static_cast<uint16_t>(CountOf(*rec).load() + w.nRequested));
    } else {
        return;
    }
    Release(*rec, entry);
    Wakeups wakeups;
    Serve(*rec, wakeups);
    wakeups.Send();  // rare: the deletion of a task
}

int32_t TakeSemaphore(SyncCore* c, uint32_t gen, uint16_t nCount, int32_t lTimeOut)
{
    TaskDescript* task = core::CurrentTask();
    if (task == nullptr)
        return eNOK;  // a thread with no task record to queue
    std::unique_lock guard(c->lock);
    if (!c->IsOpen(gen) || nCount > c->sem->nMaxCount)
        return eNOK;
    if (TakeIfAvailable(*c->sem, nCount))
        return eOK;
    if (lTimeOut == 0)
        return eTIME_OVER;
    TaskWait* record = WaitOf(task);
    SemWait w{*c, gen, task, record, Append(*c->sem, task, nCount), CallerWake(task)};
    if (record != nullptr) {
        record->generation = gen;
        record->entry = w.entry;
        record->core.store(c, std::memory_order_release);
    }
    guard.unlock();
    return WaitQueued(w, lTimeOut);
}

int32_t MakeSemaphore(int32_t h, int32_t index, const char* name, uint16_t nMax, uint16_t nInitial)
{
    SyncCore* c = CoreForCreation(h);
    if (c == nullptr)
        return eNOK;
    const auto n = static_cast<size_t>(core::Sys()->nNbTask);
    SemDescript& rec = core::Sys()->pxSemTab[index];
    struct Array {
        void** field;
        size_t size;
        const char* failure;
    };
    const Array arrays[] = {
        {reinterpret_cast<void**>(&rec.ptWaitingTask), sizeof(WaitingTask),
         "Allocation de ptWaitingTask echouee !"},
        {reinterpret_cast<void**>(&rec.ptsNextChain), sizeof(int16_t),
         "Allocation de ptsNextChain echouee !"},
        {reinterpret_cast<void**>(&rec.ptsPrevChain), sizeof(int16_t),
         "Allocation de ptsPrevChain echouee !"},
        {reinterpret_cast<void**>(&rec.ptsFreeChain), sizeof(int16_t),
         "Allocation de ptsFreeChain echouee !"},
    };
    for (const Array& a : arrays) {
        *a.field = core::Calloc(n, a.size);
        if (*a.field == nullptr) {
            FreeArrays(rec);
            KV_REPORT(eNOK, "KERVAL-CreateSem()", a.failure, 0);
            return static_cast<int32_t>(eNOK);
        }
    }
    for (size_t i = 0; i < n; ++i)
        rec.ptsFreeChain[i] = i + 1 < n ? static_cast<int16_t>(i + 1) : int16_t{-1};
    std::lock_guard guard(c->lock);
    FillSemRecord(rec, c, nMax, nInitial, 0);
    c->sem = &rec;
    Open(*c, Kind::kSem);
    char text[200];
    std::snprintf(text, sizeof text, "\nLe semaphore %s est cree!...\n", name);
    DisplayDebug(text, 1);
    return static_cast<int32_t>(eOK);
}

int32_t DeleteSemOrMute(int32_t hSem, const char* proc)
{
    core::SysLock lock;
    SemDescript* rec = core::SemRecord(hSem);
    if (rec == nullptr) {
        ReportNotASemaphore(proc, hSem);
        return eNOK;
    }
    uint32_t gen = 0;
    SyncCore* c = FindCore(hSem, rec->bIsMute != 0 ? Kind::kMute : Kind::kSem, &gen);
    if (c != nullptr) {
        std::lock_guard guard(c->lock);
        for (int16_t i = rec->nHead; i != -1; i = rec->ptsNextChain[i])
            Post(static_cast<platform::Semaphore*>(rec->ptWaitingTask[i].pTask->hWakeSem));
        WakeAllWaiters(*c);
        Close(*c);
        FreeArrays(*rec);
        rec->hMutex = KV_INVALID_HANDLE;
        rec->nNbWaiting = 0;
        rec->nHead = rec->nTail = -1;
    }
    core::ReleaseObject(hSem);
    return eOK;
}

}  // namespace kerval::sync

using namespace kerval;
using sync::Kind;
using sync::SyncCore;

extern "C" KV_API int32_t CreateSem(const char* pszName, uint16_t nMax, uint16_t nInitial,
                                    int32_t* phSem)
{
    if (phSem != nullptr)
        *phSem = -1;
    if (nMax == 0 || nInitial > nMax)
        return eNOK;
    return core::CreateObject(SEM_OBJECT, pszName, phSem,
                              [&](int32_t hSem, int32_t index, const char* name) {
                                  return sync::MakeSemaphore(hSem, index, name, nMax, nInitial);
                              });
}

extern "C" KV_API int32_t TakeSem(int32_t hSem, uint16_t nCount, int32_t lTimeOut)
{
    uint32_t gen = 0;
    SyncCore* c = sync::FindCore(hSem, Kind::kSem, &gen);  // an open semaphore at hSem
    if (c == nullptr) {
        if (core::SemRecord(hSem) == nullptr)
            sync::ShowNotASemaphore(hSem);
        return eNOK;  // a mutex, or no semaphore at all
    }
    return sync::TakeSemaphore(c, gen, nCount, lTimeOut);
}

extern "C" KV_API int32_t FreeSem(int32_t hSem, uint16_t nCount)
{
    uint32_t gen = 0;
    SyncCore* c = sync::FindCore(hSem, Kind::kSem, &gen);  // an open semaphore at hSem
    if (c == nullptr) {
        if (core::SemRecord(hSem) == nullptr)
            sync::ReportNotASemaphore("KERVAL-FreeSem()", hSem);
        return eNOK;  // a mutex, or no semaphore at all
    }
    sync::Wakeups wakeups;
    {
        std::lock_guard guard(c->lock);
        if (!c->IsOpen(gen))
            return eNOK;
        SemDescript& rec = *c->sem;
        const uint32_t sum = uint32_t{sync::CountOf(rec).load(std::memory_order_relaxed)} + nCount;
        if (sum > rec.nMaxCount)
            return eNOK;
        sync::CountOf(rec).store(static_cast<uint16_t>(sum), std::memory_order_relaxed);
        sync::Serve(rec, wakeups);
    }
    wakeups.Send();
    return eOK;
}

extern "C" KV_API int32_t InfoSem(int32_t hSem, uint16_t* pnCount)
{
    if (pnCount == nullptr)
        return eINVALID_HANDLE;
    *pnCount = 0xFFFF;
    SemDescript* rec = core::SemRecord(hSem);
    if (rec == nullptr) {
        sync::ReportNotASemaphore("KERVAL-InfoSem()", hSem);
        return eNOK;
    }
    *pnCount = sync::CountOf(*rec).load(std::memory_order_relaxed);
    return eOK;
}

extern "C" KV_API int32_t DeleteSem(int32_t hSem)
{
    return sync::DeleteSemOrMute(hSem, "KERVAL-DeleteSem");
}
