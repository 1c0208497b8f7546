// The live state of the synchronisation objects (counting semaphores, mutexes, critical
// sections). A SyncCore belongs to an object handle and is never freed: once a handle has held
// one of these objects its core is kept and reused by the next one, so a task woken by a
// deletion only ever touches memory that stays valid. The core's generation tells the waiters
// whether the object they queued on still exists.
//
// Every waiter sleeps on its own wake semaphore (a task's hWakeSem, or a semaphore of the
// calling thread when it is no task), never on the object, and checks its state under the
// core's lock after every wake-up: a late or stale post only costs one more loop.
#pragma once

#include <atomic>
#include <cstdint>

#include "kerval/kerval.h"
#include "kerval/platform/platform.h"

namespace kerval::sync {

enum class Kind : uint8_t { kSem, kMute, kSection };

// A thread waiting for a mutex or a critical section; lives on the waiter's stack while queued.
struct LockWaiter {
    platform::Semaphore* wake = nullptr;
    uint32_t thread_id = 0;
    platform::Thread* thread = nullptr;
    bool granted = false;    // ownership handed over by the previous owner
    bool abandoned = false;  // ... whose thread ended while owning it
    LockWaiter* next = nullptr;
};

struct SyncCore {
    platform::GuardedMutex lock;          // guards everything below and the record's fields
    std::atomic<uint32_t> generation{0};  // odd while an object is open at this handle
    Kind kind = Kind::kSem;
    SemDescript* sem = nullptr;          // kSem, kMute
    SectionDescript* section = nullptr;  // kSection
    // Mutexes and critical sections: owner, nesting, and the FIFO of waiting threads.
    std::atomic<uint32_t> owner_tid{0};  // 0 when free; the owner reads it without the lock
    platform::Thread* owner_thread = nullptr;
    std::atomic<int32_t> depth{0};  // changed without the lock by the owner when nested
    bool abandoned = false;         // told to the next owner
    LockWaiter* first = nullptr;
    LockWaiter* last = nullptr;

    bool IsOpen(uint32_t gen) const { return generation.load(std::memory_order_relaxed) == gen; }
};

// The core of the open object at handle h of that kind, with its generation; null otherwise.
// Constant time, no lock.
SyncCore* FindCore(int32_t h, Kind kind, uint32_t* generation);
// The core for a new object at handle h, made on first use (caller holds the system lock).
SyncCore* CoreForCreation(int32_t h);
// Opens / closes the object of a core (caller holds core.lock).
void Open(SyncCore& core, Kind kind);
void Close(SyncCore& core);

// Fills a semaphore or mutex record around its core and marks it used (caller holds core.lock).
void FillSemRecord(SemDescript& rec, SyncCore* c, uint16_t max, uint16_t count, uint8_t is_mute);
// "Object %d is not a semaphore !" on standard output / as a warning report of proc.
void ShowNotASemaphore(int32_t h);
void ReportNotASemaphore(const char* proc, int32_t h);

// The wake semaphore of the calling thread: its task's, else one of the thread's own.
platform::Semaphore* CallerWake(TaskDescript* task);
// The calling thread owns a lock: the ones it still owns when it ends go to their next waiters.
void NoteLockOwned();
// Posts one wake-up (caller holds the lock of the core the waiter is queued on).
void Post(platform::Semaphore* wake);
// Takes a wake-up that was posted for a wait that had already ended.
void DrainPost(platform::Semaphore* wake);
// Milliseconds left until a deadline in perf-counter ticks (0 once passed).
uint32_t MsUntil(uint64_t deadline);
uint64_t DeadlineAfter(uint32_t ms);

// What a task is queued on, kept where its deletion can find it. Written by the task itself
// under the core's lock; read by the deletion once the task's thread has stopped.
struct TaskWait {
    std::atomic<SyncCore*> core{nullptr};
    uint32_t generation = 0;
    int16_t entry = -1;               // counting semaphores: its queue entry
    LockWaiter node;                  // mutexes and sections: the task's queue node
    std::atomic<int32_t> posting{0};  // wake-ups granted to the task and not yet posted
};
// The record of a task (null for a thread that is no task). Caller holds the core's lock to
// change it.
TaskWait* WaitOf(const TaskDescript* task);

// TakeSem on the open semaphore of core c (generation gen).
int32_t TakeSemaphore(SyncCore* c, uint32_t gen, uint16_t nCount, int32_t lTimeOut);
// Counting semaphores: the task deleted (its thread stopped) leaves the queue it waits in and
// gives back units handed to it but not yet taken. Caller holds core.lock.
void ForgetSemWaiter(SyncCore& core, const TaskDescript* task, int16_t entry);
// Owned locks: the waiter leaves the queue (caller holds core.lock).
void UnlinkWaiter(SyncCore& core, LockWaiter* waiter);
// Owned locks: every lock held by that thread goes to its next waiter, marked abandoned.
void AbandonLocksOf(uint32_t thread_id);
// Owned locks: ownership passes to the first waiter, or the lock becomes free (caller holds
// core.lock).
void HandOver(SyncCore& core, bool abandoned);
// Owned locks: every waiter is woken to find the object closed (caller holds core.lock).
void WakeAllWaiters(SyncCore& core);

// ---- owned locks (mutexes and critical sections), owned_lock.cpp
enum class Acquired { kOwned, kAbandoned, kClosed };
enum class Released { kReleased, kNotOwner, kClosed };
// Runs under core.lock after each entry / each leave (core.depth already counts it).
using OwnerHook = void (*)(SyncCore& core);
// Takes the lock for the calling thread (recursively), waiting without limit (a task's life
// sign kept fresh meanwhile). kClosed when the object is deleted before the lock is had.
Acquired AcquireLock(SyncCore& core, uint32_t generation, OwnerHook on_enter);
Released ReleaseLock(SyncCore& core, uint32_t generation, OwnerHook on_leave);

}  // namespace kerval::sync
