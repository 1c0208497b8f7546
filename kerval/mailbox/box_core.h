// The live state of a mailbox: its lock, its two wait queues and its counters. A BoxCore belongs
// to an object handle and is never freed: once a handle has held a box, its core is kept and
// reused by the next box at that handle, so a task still blocked on a deleted box (even one
// that is suspended or being terminated) only ever touches memory that stays valid.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "kerval/kerval.h"

namespace kerval::mailbox {

struct BoxCore {
    std::mutex lock;                      // guards everything below and the record's queue fields
    std::condition_variable readable;     // a unit became available, or the box went away
    std::condition_variable writable;     // a unit was freed, or the box went away
    std::atomic<uint32_t> generation{0};  // odd while a box is open at this handle

    BoxDescript* record = nullptr;
    BoxMessage* last = nullptr;  // newest message: appending costs the same at any length
    uint32_t queued = 0;         // messages in the chain
    uint32_t units = 0;          // messages a reader may take (the semaphore's count)
    uint32_t capacity = 0;       // the semaphore's maximum
    uint32_t readers_waiting = 0;
    uint32_t writers_waiting = 0;
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

// Unlinks and frees every queued message (caller holds core.lock); answers how many.
int32_t FreeQueue(BoxCore& core);

}  // namespace kerval::mailbox
