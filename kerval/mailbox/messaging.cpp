// Mailbox messaging: append a copy, take the oldest, purge.
//
// Lock: each box's core lock guards its chain, its counters and the record's pFirstMsg/nNbMsg.
// It is held only for the few pointer updates; allocation, copying and printing happen outside.
// A message travels as one heap block: the envelope followed by the data copy.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <utility>

#include "kerval/core/alloc.h"
#include "kerval/kerval.h"
#include "kerval/mailbox/box_core.h"
#include "kerval/mailbox/mailbox.h"
#include "kerval/platform/platform.h"
#include "kerval/task/task.h"

namespace kerval::mailbox {

void FreeMessage(BoxCore& box, BoxMessage* msg)
{
    if (static_cast<uint32_t>(msg->lSize) <= kSmallData) {
        core::FreeOrKeep(box.spare, msg);
    } else {
        core::Free(msg);
    }
}

namespace {

int32_t NoSuchBox()
{
    char text[200];
    std::snprintf(text, sizeof text, "%s : Destination Box dosn't exist !\n", CurrentTaskName());
    DisplayDebug(text, 1);
    return eNOK;
}

BoxMessage* NewMessage(BoxCore& box, int32_t hSender, int32_t lType, const void* pData,
                       uint32_t lSize, int32_t lExtra)
{
    void* block = lSize <= kSmallData ? core::AllocOrReuse(box.spare, kSmallBlock)
                                      : core::Alloc(sizeof(BoxMessage) + lSize);
    auto* msg = static_cast<BoxMessage*>(block);
    if (msg == nullptr)
        return nullptr;
    msg->pPrev = nullptr;
    msg->pNext = nullptr;
    msg->pData = nullptr;
    if (lSize > 0) {
        msg->pData = msg + 1;
        if (pData != nullptr)
            std::memcpy(msg->pData, pData, lSize);
    }
    msg->lType = lType;
    msg->lSize = static_cast<int32_t>(lSize);
    msg->hSender = hSender;
    msg->lExtra = lExtra;
    return msg;
}

// A new message, then the box's lock taken, in one lock region: a writer deleted meanwhile
// ends once its message is queued or freed. Null, the lock not taken, when memory runs out.
BoxMessage* NewMessageThenLock(BoxCore& box, std::unique_lock<platform::GuardedMutex>& lock,
                               int32_t hSender, int32_t lType, const void* pData, uint32_t lSize,
                               int32_t lExtra)
{
    platform::RegionGuard region;
    BoxMessage* msg = NewMessage(box, hSender, lType, pData, lSize, lExtra);
    if (msg != nullptr)
        lock.lock();
    return msg;
}

// Caller holds box.lock.
void Append(BoxCore& box, BoxMessage* msg)
{
    msg->pPrev = box.last;
    if (box.last != nullptr) {
        box.last->pNext = msg;
    } else {
        box.record->pFirstMsg = msg;
    }
    box.last = msg;
    ++box.queued;
    box.record->nNbMsg = static_cast<uint16_t>(box.queued);
}

// Caller holds box.lock and the box has a unit (units > 0).
BoxMessage* TakeFirst(BoxCore& box)
{
    BoxMessage* msg = box.record->pFirstMsg;
    box.record->pFirstMsg = msg->pNext;
    if (msg->pNext != nullptr) {
        msg->pNext->pPrev = nullptr;
    } else {
        box.last = nullptr;
    }
    --box.queued;
    --box.units;
    box.record->nNbMsg = static_cast<uint16_t>(box.queued);
    return msg;
}

// The two full-box lines go straight to standard output; inside a region, so that no task is
// stopped holding the C library's stream lock.
void ShowFull(const char* name, uint32_t queued, uint32_t capacity)
{
    platform::RegionGuard region;
    // The semaphore is at its maximum when a release fails: that count is what PREV shows.
    std::printf("%s writing fails (%d). %s is full. waiting (PREV=%d, NB=%d, Max=%d)...\n",
                CurrentTaskName(), static_cast<int>(platform::kErrTooManyPosts), name,
                static_cast<int>(capacity), static_cast<int>(static_cast<uint16_t>(queued)),
                static_cast<int>(capacity));
    std::fflush(stdout);
}

void ShowUnfull(const char* name)
{
    platform::RegionGuard region;
    std::printf("%s is un-full. sending !\n", name);
    std::fflush(stdout);
}

// Doorbells to ring once the box's lock is released.
struct Rings {
    uint32_t readers = 0;
    uint32_t writers = 0;
};

void RingAll(BoxCore& box, const Rings& rings)
{
    Ring(box.readable, rings.readers);
    Ring(box.writable, rings.writers);
}

// Caller holds box.lock and has just added a unit: one blocked reader may take it.
void OneMoreUnit(BoxCore& box, Rings& rings)
{
    ++box.units;
    if (box.readers_waiting > 0) {
        --box.readers_waiting;
        ++rings.readers;
    }
}

// Caller holds box.lock. A unit freed by a reader goes to the oldest message still without
// one; every blocked writer looks whether it was its own.
void HandOnFreedUnit(BoxCore& box, Rings& rings)
{
    if (box.settled == box.tickets || box.units >= box.capacity)
        return;
    ++box.settled;
    OneMoreUnit(box, rings);
    rings.writers += std::exchange(box.writers_waiting, 0);
}

// Caller holds the lock; a blocked wait on `doorbell` for at most wait_ms, the lock released
// meanwhile. A wait that ends without its ring withdraws its registration.
void WaitForRing(std::unique_lock<platform::GuardedMutex>& lock, platform::Semaphore* doorbell,
                 uint32_t& registered, uint32_t wait_ms)
{
    ++registered;
    lock.unlock();
    const bool rung =
        platform::semaphore_wait(doorbell, wait_ms) == platform::WaitResult::kSignaled;
    lock.lock();
    if (!rung && registered > 0)
        --registered;
}

// The writer's message is queued without a unit (ticket): wait until a reader hands it one, a
// purge frees it (eOK both) or the box is deleted (eNOK). Caller holds the lock.
int32_t WaitForUnit(BoxCore& box, uint32_t generation,
                    std::unique_lock<platform::GuardedMutex>& lock)
{
    const uint64_t ticket = ++box.tickets;
    char name[sizeof box.name];
    std::memcpy(name, box.name, sizeof name);
    const uint32_t queued = box.queued;
    lock.unlock();
    ShowFull(name, queued, box.capacity);
    task::UnlimitedWait unlimited;
    lock.lock();
    while (box.IsOpen(generation) && box.settled < ticket)
        WaitForRing(lock, box.writable, box.writers_waiting, platform::kInfinite);
    const bool open = box.IsOpen(generation);
    lock.unlock();
    if (!open)
        return eNOK;
    ShowUnfull(name);
    return eOK;
}

// The time left of a finite read, starting the clock at the first wait.
uint32_t WaitMs(uint32_t limit, std::chrono::steady_clock::time_point& deadline)
{
    const auto now = std::chrono::steady_clock::now();
    if (deadline == std::chrono::steady_clock::time_point{})
        deadline = now + std::chrono::milliseconds(limit);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    return left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0;
}

// Takes the oldest message a reader may take, waiting as the time-out says (-1 and other
// negative values: one slice; WAIT_FOREVER: no limit, the life sign kept fresh meanwhile).
// With eOK the caller is left inside a lock region, to leave once it has freed the message.
int32_t TakeMessage(BoxCore& box, uint32_t generation, int32_t lTimeOut, BoxMessage** out)
{
    const bool forever = lTimeOut == WAIT_FOREVER;
    const auto limit = lTimeOut < 0 ? task::WaitSliceMs() : static_cast<uint32_t>(lTimeOut);
    std::chrono::steady_clock::time_point deadline{};
    TaskDescript* const self = task::RefreshLifeSign();
    std::optional<task::UnlimitedWait> unlimited;  // begins and ends outside the lock
    std::unique_lock lock(box.lock);
    for (;;) {
        if (!box.IsOpen(generation))
            return eINVALID_HANDLE;
        if (box.units > 0)
            break;
        const uint32_t wait_ms = forever ? platform::kInfinite : WaitMs(limit, deadline);
        if (wait_ms == 0)
            return eTIME_OVER;
        if (forever && !unlimited) {
            lock.unlock();
            unlimited.emplace(self);
            lock.lock();
            continue;  // looks again before the wait
        }
        WaitForRing(lock, box.readable, box.readers_waiting, wait_ms);
    }
    Rings rings;
    *out = TakeFirst(box);
    HandOnFreedUnit(box, rings);
    platform::region_enter();  // left by the caller once the message is freed
    lock.unlock();
    RingAll(box, rings);
    return eOK;
}

int32_t Deliver(const BoxMessage& msg, int32_t* plType, void* pBuffer, uint32_t* plSize,
                int32_t lBufSize, int32_t* plExtra, int32_t* phSender)
{
    if (plType != nullptr)
        *plType = msg.lType;
    if (plExtra != nullptr)
        *plExtra = msg.lExtra;
    if (phSender != nullptr)
        *phSender = msg.hSender;
    if (plSize == nullptr || pBuffer == nullptr)
        return eOK;
    if (msg.lSize > lBufSize)
        return eBAD_LEN;
    *plSize = static_cast<uint32_t>(msg.lSize);
    if (msg.lSize > 0)
        std::memcpy(pBuffer, msg.pData, static_cast<size_t>(msg.lSize));
    return eOK;
}

}  // namespace

}  // namespace kerval::mailbox

using kerval::mailbox::BoxCore;

extern "C" KV_API KV_HOT_PATH int32_t WriteMailBox(int32_t hSender, int32_t hBox, int32_t lType,
                                                   const void* pData, uint32_t lSize,
                                                   int32_t lExtra)
{
    using namespace kerval::mailbox;
    if (lType < 0)
        return eINVALID_PARAM;
    uint32_t gen = 0;
    BoxCore* box = FindCore(hBox, &gen);
    if (box == nullptr)
        return NoSuchBox();
    std::unique_lock lock(box->lock, std::defer_lock);
    BoxMessage* msg = NewMessageThenLock(*box, lock, hSender, lType, pData, lSize, lExtra);
    if (msg == nullptr) {
        char text[200];
        std::snprintf(text, sizeof text, "%s : Can't allocate memory (%ld bytes)\n",
                      CurrentTaskName(), static_cast<long>(lSize));
        DisplayDebug(text, 1);
        return eNOK;
    }
    if (!box->IsOpen(gen)) {
        lock.unlock();
        FreeMessage(*box, msg);
        return NoSuchBox();
    }
    Append(*box, msg);
    if (box->units >= box->capacity)
        return WaitForUnit(*box, gen, lock);
    Rings rings;
    OneMoreUnit(*box, rings);
    lock.unlock();
    RingAll(*box, rings);
    return eOK;
}

extern "C" KV_API KV_HOT_PATH int32_t ReadMailBox(int32_t hBox, int32_t* plType, void* pBuffer,
                                                  uint32_t* plSize, int32_t lBufSize,
                                                  int32_t lTimeOut, int32_t* plExtra,
                                                  int32_t* phSender)
{
    using namespace kerval::mailbox;
    if (lBufSize < 0)
        return eNOK;
    uint32_t gen = 0;
    BoxCore* box = FindCore(hBox, &gen);
    if (box == nullptr)
        return eINVALID_HANDLE;
    if (plType != nullptr)
        *plType = 0;
    if (plSize != nullptr)
        *plSize = 0;
    if (pBuffer != nullptr)
        std::memset(pBuffer, 0xEE, static_cast<size_t>(lBufSize));
    BoxMessage* msg = nullptr;
    const int32_t code = TakeMessage(*box, gen, lTimeOut, &msg);
    if (code != eOK)
        return code;
    const int32_t result = Deliver(*msg, plType, pBuffer, plSize, lBufSize, plExtra, phSender);
    FreeMessage(*box, msg);
    kerval::platform::region_leave();
    return result;
}

extern "C" KV_API int32_t PurgeMailBox(int32_t hBox)
{
    uint32_t gen = 0;
    BoxCore* box = kerval::mailbox::FindCore(hBox, &gen);
    if (box == nullptr)
        return eNOK;
    return kerval::mailbox::PurgeCore(*box, gen);
}

namespace kerval::mailbox {

uint32_t OpenGeneration(int32_t hBox)
{
    uint32_t gen = 0;
    return FindCore(hBox, &gen) != nullptr ? gen : 0;
}

namespace {
// A free unit that no message of a blocked writer is waiting for. Caller holds box.lock.
bool HasRoom(const BoxCore& box)
{
    return box.settled == box.tickets && box.units < box.capacity;
}
}  // namespace

// Same message and envelope as WriteMailBox, but the writer never waits: a box without a free
// unit keeps nothing.
WriteOutcome WriteIfRoom(int32_t hBox, uint32_t generation, int32_t hSender, int32_t lType,
                         const void* pData, uint32_t lSize, int32_t lExtra)
{
    uint32_t gen = 0;
    BoxCore* box = FindCore(hBox, &gen);
    if (box == nullptr || gen != generation)
        return WriteOutcome::kGone;
    {
        std::lock_guard guard(box->lock);
        if (!HasRoom(*box))
            return box->IsOpen(generation) ? WriteOutcome::kFull : WriteOutcome::kGone;
    }
    std::unique_lock lock(box->lock, std::defer_lock);
    BoxMessage* msg = NewMessageThenLock(*box, lock, hSender, lType, pData, lSize, lExtra);
    if (msg == nullptr)
        return WriteOutcome::kFull;  // no memory now: the caller may try again
    const bool open = box->IsOpen(generation);
    if (!open || !HasRoom(*box)) {
        lock.unlock();
        FreeMessage(*box, msg);
        return open ? WriteOutcome::kFull : WriteOutcome::kGone;
    }
    Append(*box, msg);
    Rings rings;
    OneMoreUnit(*box, rings);
    lock.unlock();
    RingAll(*box, rings);
    return WriteOutcome::kWritten;
}

}  // namespace kerval::mailbox
