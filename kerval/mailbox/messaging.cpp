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

// Counts the threads waiting on one of the box's queues, also when a terminated task unwinds.
class WaitingCount {
public:
    explicit WaitingCount(uint32_t& count) : count_(count) { ++count_; }
    ~WaitingCount() { --count_; }
    WaitingCount(const WaitingCount&) = delete;
    WaitingCount& operator=(const WaitingCount&) = delete;

private:
    uint32_t& count_;
};

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

// The writer's message is queued but the box holds its capacity of signalled messages: wait
// until a reader frees a unit, then signal. A purge may take the message meanwhile (nothing
// left to signal); a deletion ends the wait with eNOK.
int32_t WaitForUnit(BoxCore& box, uint32_t generation, std::unique_lock<std::mutex>& lock)
{
    const uint32_t queued = box.queued;
    const uint32_t capacity = box.capacity;
    char name[sizeof box.name];
    std::memcpy(name, box.name, sizeof name);
    lock.unlock();
    ShowFull(name, queued, capacity);
    lock.lock();
    {
        WaitingCount waiting(box.writers_waiting);
        box.writable.wait(lock, [&] {
            return !box.IsOpen(generation) || box.units < box.capacity || box.queued <= box.units;
        });
    }
    if (!box.IsOpen(generation))
        return eNOK;
    const bool signal = box.queued > box.units;
    if (signal)
        ++box.units;
    const bool wake_reader = signal && box.readers_waiting > 0;
    lock.unlock();
    if (wake_reader)
        box.readable.notify_one();
    ShowUnfull(name);
    return eOK;
}

// Waits up to slice_ms for a unit (or the box's end). Caller holds the lock.
bool WaitSlice(BoxCore& box, uint32_t generation, std::unique_lock<std::mutex>& lock,
               uint32_t slice_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(slice_ms);
    WaitingCount waiting(box.readers_waiting);
    return box.readable.wait_until(lock, deadline,
                                   [&] { return box.units > 0 || !box.IsOpen(generation); });
}

// Takes the oldest signalled message, waiting as the time-out says.
int32_t TakeMessage(BoxCore& box, uint32_t generation, int32_t lTimeOut, BoxMessage** out)
{
    const bool forever = lTimeOut == WAIT_FOREVER;
    const uint32_t slice =
        (forever || lTimeOut < 0) ? task::WaitSliceMs() : static_cast<uint32_t>(lTimeOut);
    std::unique_lock lock(box.lock);
    for (;;) {
        if (!box.IsOpen(generation))
            return eINVALID_HANDLE;
        if (box.units > 0)
            break;
        UpdateLifeSign();
        if (!WaitSlice(box, generation, lock, slice) && !forever)
            return eTIME_OVER;
    }
    *out = TakeFirst(box);
    const bool wake_writer = box.writers_waiting > 0;
    lock.unlock();
    if (wake_writer)
        box.writable.notify_one();
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
    const bool wake_reader = box->readers_waiting > 0;
    lock.unlock();
    if (wake_reader)
        box->readable.notify_one();
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
