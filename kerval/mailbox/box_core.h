// The live state of a mailbox: its lock, its counters and the two semaphores its tasks block
// on. A BoxCore belongs to an object handle and is never freed: once a handle has held a box,
// its core is kept and reused by the next box at that handle, so a task still blocked on a
// deleted box only ever touches memory that stays valid.
//
// Blocked tasks wait on platform semaphores, never on the box's lock or a shared condition
// variable: a task deleted while blocked leaves no shared state behind. Units in `readable` may
// outnumber the messages for a moment (after a purge or a deletion); a reader that finds the
// chain empty simply waits again.
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

    BoxDescript* record = nullptr;
    BoxMessage* last = nullptr;  // newest message: appending costs the same at any length
    uint32_t queued = 0;         // messages in the chain
    uint32_t units = 0;          // units released for them and not yet taken by a reader
    uint32_t unsignalled = 0;    // queued messages whose writer still waits for a unit
    uint32_t capacity = 0;       // the box's nMaxMsg
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
