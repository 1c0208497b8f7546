// The live state of a mailbox: its lock, its counters and the two semaphores its tasks block
// on. A BoxCore belongs to an object handle and is never freed: once a handle has held a box,
// its core is kept and reused by the next box at that handle, so a task still blocked on a
// deleted box only ever touches memory that stays valid.
//
// All counting happens under the box's lock: `units` is the number of messages a reader may
// take, so a reader never holds a claim that a purge or a deletion could leave without its
// message. The two semaphores are only doorbells for blocked tasks; a task woken without cause
// looks again under the lock and waits again. Blocked tasks wait on them, never on the lock, so a
// task deleted while blocked leaves at most one surplus wake-up behind.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "kerval/kerval.h"
#include "kerval/platform/platform.h"

namespace kerval::mailbox {

struct BoxCore {
    platform::GuardedMutex lock;  // guards the fields below and the record's pFirstMsg and nNbMsg
    platform::Semaphore* readable = nullptr;  // one unit per message a reader may take
    platform::Semaphore* writable = nullptr;  // wakes writers waiting for a free unit
    std::atomic<uint32_t> generation{0};      // odd while a box is open at this handle
    // A small message's block that a reader has done with, kept for the box's next message.
    std::atomic<void*> spare{nullptr};

    BoxDescript* record = nullptr;
    BoxMessage* last = nullptr;  // newest message: appending costs the same at any length
    uint32_t queued = 0;         // messages in the chain
    uint32_t units = 0;          // messages a reader may take: queued less those awaiting a unit
    // Writes that found the box full queue their message without a unit and draw a ticket; a
    // reader that frees a unit hands it to the oldest ticket, so the message is delivered even if
    // its writer is deleted while it waits. A purge settles every ticket drawn.
    uint64_t tickets = 0;
    uint64_t settled = 0;
    uint32_t capacity = 0;         // the box's nMaxMsg
    uint32_t readers_waiting = 0;  // blocked readers not yet rung
    uint32_t writers_waiting = 0;  // blocked writers not yet rung
    char name[KV_NAME_MAX + 1] = {};

    bool IsOpen(uint32_t gen) const { return generation.load(std::memory_order_relaxed) == gen; }
};

inline bool IsOpenGeneration(uint32_t gen)
{
    return (gen & 1u) != 0;
}

// The core of the box at hBox together with its current generation, or null when hBox holds no
// open box. Constant time, no lock.
BoxCore* FindCore(int32_t hBox, uint32_t* generation);
// The core for hBox, made on first use. Caller holds the system lock.
BoxCore* CoreForCreation(int32_t hBox);

// A message whose data fits in a small block travels in one: such blocks are recycled through
// the box's spare.
constexpr size_t kSmallBlock = 256;
constexpr uint32_t kSmallData = kSmallBlock - sizeof(BoxMessage);
void FreeMessage(BoxCore& box, BoxMessage* msg);

// Unlinks and frees every queued message and settles every ticket (caller holds box.lock);
// answers how many messages it freed.
int32_t FreeQueue(BoxCore& box);
// Rings `count` blocked tasks on a doorbell (after the box's lock is released).
void Ring(platform::Semaphore* doorbell, uint32_t count);

}  // namespace kerval::mailbox
