// Mailbox messaging: append a copy, take the oldest, purge.
//
// Lock: each box's core lock guards its chain, its counters and the record's pFirstMsg/nNbMsg.
// It is held only for the few pointer updates; allocation, copying and printing happen outside.
// A message travels as one heap block: the envelope followed by the data copy.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kerval/kerval.h"
#include "kerval/mailbox/box_core.h"
#include "kerval/mailbox/mailbox.h"
#include "kerval/platform/platform.h"
#include "kerval/task/task.h"

namespace kerval::mailbox {

namespace {

int32_t NoSuchBox()
{
    char text[200];
    std::snprintf(text, sizeof text, "%s : Destination Box dosn't exist !\n", CurrentTaskName());
    DisplayDebug(text, 1);
    return eNOK;
}

BoxMessage* NewMessage(int32_t hSender, int32_t lType, const void* pData, uint32_t lSize,
                       int32_t lExtra)
{
    auto* msg = static_cast<BoxMessage*>(std::malloc(sizeof(BoxMessage) + lSize));
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

// Caller holds box.lock and one unit.
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

void ShowFull(const char* name, uint32_t queued, uint32_t capacity)
{
    // The semaphore is at its maximum when a release fails: that count is what PREV shows.
    std::printf("%s writing fails (%d). %s is full. waiting (PREV=%d, NB=%d, Max=%d)...\n",
                CurrentTaskName(), static_cast<int>(platform::kErrTooManyPosts), name,
                static_cast<int>(capacity), static_cast<int>(static_cast<uint16_t>(queued)),
                static_cast<int>(capacity));
    std::fflush(stdout);
}

void ShowUnfull(const char* name)
{
    std::printf("%s is un-full. sending !\n", name);
    std::fflush(stdout);
}

constexpr uint32_t kUnsignalled = 0xFFFFFFFFu;

// Caller holds box.lock. Releases a unit for one waiting message when there is room: answers
// true when the caller must post it (after unlocking), or when nothing is left to signal.
enum class Claim { kPosted, kNothingLeft, kFull, kClosed };
Claim ClaimUnit(BoxCore& box, uint32_t generation)
{
    if (!box.IsOpen(generation))
        return Claim::kClosed;
    if (box.unsignalled == 0)
        return Claim::kNothingLeft;  // purged meanwhile
    if (box.units >= box.capacity)
        return Claim::kFull;
    ++box.units;
    --box.unsignalled;
    return Claim::kPosted;
}

// The writer's message is queued but the box holds its capacity of signalled messages: wait
// until a reader frees a unit, then signal. A purge may take the message meanwhile (nothing
// left to signal); a deletion ends the wait with eNOK. Caller holds the lock.
int32_t WaitForUnit(BoxCore& box, uint32_t generation,
                    std::unique_lock<platform::GuardedMutex>& lock)
{
    ++box.unsignalled;
    ++box.writers_waiting;
    const uint32_t queued = box.queued;
    const uint32_t capacity = box.capacity;
    char name[sizeof box.name];
    std::memcpy(name, box.name, sizeof name);
    lock.unlock();
    ShowFull(name, queued, capacity);
    Claim claim = Claim::kFull;
    for (;;) {
        lock.lock();
        claim = ClaimUnit(box, generation);
        if (claim != Claim::kFull)
            break;
        lock.unlock();
        platform::semaphore_wait(box.writable, task::WaitSliceMs());
    }
    --box.writers_waiting;
    lock.unlock();
    if (claim == Claim::kClosed)
        return eNOK;
    if (claim == Claim::kPosted)
        platform::semaphore_release(box.readable, 1, nullptr);
    ShowUnfull(name);
    return eOK;
}

// Waits for a unit of `readable` as the time-out says; the life sign is refreshed before
// every further slice. Answers eOK with a unit, eTIME_OVER or eNOK.
int32_t WaitForUnitToRead(BoxCore& box, bool forever,
                          std::chrono::steady_clock::time_point deadline)
{
    for (bool first = true;; first = false) {
        if (!first)  // the caller refreshed it just before
            UpdateLifeSign();
        uint32_t wait_ms = task::WaitSliceMs();
        if (!forever) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait_ms = left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0;
        }
        switch (platform::semaphore_wait(box.readable, wait_ms)) {
            case platform::WaitResult::kSignaled:
                return eOK;
            case platform::WaitResult::kTimeout:
                if (!forever)
                    return eTIME_OVER;
                break;
            default:
                return eNOK;
        }
    }
}

// Caller holds the box's lock and a unit. A box closed meanwhile passes the unit on to the next
// blocked reader, which then sees the closure too.
int32_t TakeWithUnit(BoxCore& box, uint32_t generation, BoxMessage** out, bool* wake_writer)
{
    if (!box.IsOpen(generation)) {
        platform::semaphore_release(box.readable, 1, nullptr);
        return eINVALID_HANDLE;
    }
    if (box.record->pFirstMsg == nullptr)
        return eTIME_OVER;  // its message was purged
    *out = TakeFirst(box);
    *wake_writer = box.writers_waiting > 0;
    return eOK;
}

// Counts the caller among the blocked readers, whom a deletion wakes; false when the box closed.
bool RegisterReader(BoxCore& box, uint32_t generation)
{
    std::lock_guard guard(box.lock);
    if (!box.IsOpen(generation))
        return false;
    ++box.readers_waiting;
    return true;
}

// Takes the oldest signalled message, waiting as the time-out says (-1 and other negative
// values: one slice; WAIT_FOREVER: no limit). A unit already there is taken without
// registering as a blocked reader.
int32_t TakeMessage(BoxCore& box, uint32_t generation, int32_t lTimeOut, BoxMessage** out)
{
    const bool forever = lTimeOut == WAIT_FOREVER;
    const auto limit = lTimeOut < 0 ? task::WaitSliceMs() : static_cast<uint32_t>(lTimeOut);
    std::chrono::steady_clock::time_point deadline{};  // set by the first wait
    for (;;) {
        UpdateLifeSign();
        const bool blocked =
            platform::semaphore_wait(box.readable, 0) != platform::WaitResult::kSignaled;
        int32_t code = eOK;
        if (blocked) {
            if (deadline == std::chrono::steady_clock::time_point{})
                deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
            if (!RegisterReader(box, generation))
                return eINVALID_HANDLE;
            code = WaitForUnitToRead(box, forever, deadline);
        }
        const bool has_unit = code == eOK;
        bool wake_writer = false;
        {
            std::lock_guard guard(box.lock);
            if (blocked)
                --box.readers_waiting;
            if (has_unit)
                code = TakeWithUnit(box, generation, out, &wake_writer);
        }
        if (wake_writer)
            platform::semaphore_release(box.writable, 1, nullptr);
        // A unit without its message: wait again while time is left.
        if (!(has_unit && code == eTIME_OVER))
            return code;
    }
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

extern "C" KV_API int32_t WriteMailBox(int32_t hSender, int32_t hBox, int32_t lType,
                                       const void* pData, uint32_t lSize, int32_t lExtra)
{
    using namespace kerval::mailbox;
    if (lType < 0)
        return eINVALID_PARAM;
    uint32_t gen = 0;
    BoxCore* box = FindCore(hBox, &gen);
    if (box == nullptr)
        return NoSuchBox();
    BoxMessage* msg = NewMessage(hSender, lType, pData, lSize, lExtra);
    if (msg == nullptr) {
        char text[200];
        std::snprintf(text, sizeof text, "%s : Can't allocate memory (%ld bytes)\n",
                      CurrentTaskName(), static_cast<long>(lSize));
        DisplayDebug(text, 1);
        return eNOK;
    }
    std::unique_lock lock(box->lock);
    if (!box->IsOpen(gen)) {
        lock.unlock();
        std::free(msg);
        return NoSuchBox();
    }
    Append(*box, msg);
    if (box->units >= box->capacity)
        return WaitForUnit(*box, gen, lock);
    ++box->units;
    lock.unlock();
    kerval::platform::semaphore_release(box->readable, 1, nullptr);
    return eOK;
}

extern "C" KV_API int32_t ReadMailBox(int32_t hBox, int32_t* plType, void* pBuffer,
                                      uint32_t* plSize, int32_t lBufSize, int32_t lTimeOut,
                                      int32_t* plExtra, int32_t* phSender)
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
    std::free(msg);
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
// A free unit that no blocked writer is waiting for. Caller holds box.lock.
bool HasRoom(const BoxCore& box)
{
    return box.unsignalled == 0 && box.units < box.capacity;
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
    BoxMessage* msg = NewMessage(hSender, lType, pData, lSize, lExtra);
    if (msg == nullptr)
        return WriteOutcome::kFull;  // no memory now: the caller may try again
    std::unique_lock lock(box->lock);
    const bool open = box->IsOpen(generation);
    if (!open || !HasRoom(*box)) {
        lock.unlock();
        std::free(msg);
        return open ? WriteOutcome::kFull : WriteOutcome::kGone;
    }
    Append(*box, msg);
    ++box->units;
    lock.unlock();
    platform::semaphore_release(box->readable, 1, nullptr);
    return WriteOutcome::kWritten;
}

}  // namespace kerval::mailbox
