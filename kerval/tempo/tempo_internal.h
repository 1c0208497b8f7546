// State shared by the tempo operations and the tick pass.
//
// Locks: the system lock, then the table lock, then a mailbox's own lock, always in that order.
// The table lock guards every tempo record field the pass or a control operation reads or
// writes, the per-tempo state below and the pending list. The pass holds it for its whole run,
// so an operation that returns after taking it knows no message of its tempo is being written.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "kerval/core/alloc.h"
#include "kerval/kerval.h"
#include "kerval/platform/platform.h"

namespace kerval::tempo {

// What the pass keeps per tempo record beyond the record itself.
struct TempoState {
    uint32_t box_generation = 0;  // the box the tempo was created for
    int32_t handle = -1;
    bool pending = false;                // a wake-up waits for room in the box
    bool delete_when_delivered = false;  // auto-delete held back by a pending wake-up
};

template <class T>
using Vector = std::vector<T, core::Allocator<T>>;

struct TempoTable {
    platform::GuardedMutex lock;
    Vector<TempoState> states;  // one per record of pxTempoTab
    // Count-down of each delay tempo, 64 bits wide; lRest shows it capped. Kept apart from
    // the rest of the state: the pass reads only these for a tempo that is not due.
    Vector<int64_t> rest_ms;
    Vector<int32_t> pending;    // record indexes whose wake-up waits, oldest first
    Vector<int32_t> to_delete;  // auto-deletes found by the running pass
};

TempoTable& Table();
// Sizes the per-tempo state for the descriptor's tempo table, with room for every record in
// the lists, so that the pass never allocates; false when memory runs out. Caller holds the
// table lock.
bool EnsureStates();

// Clears a record and frees its slot; caller holds the system lock and the table lock.
void FreeTempo(int32_t lIndex, int32_t hTempo);
// Drops a waiting wake-up of the record; caller holds the table lock.
void DropPending(int32_t lIndex);

// A count-down as lRest shows it: 0 up to the largest 32-bit value.
inline int32_t CappedRest(int64_t rest_ms)
{
    constexpr int64_t kLargest = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(rest_ms < 0 ? 0 : (rest_ms > kLargest ? kLargest : rest_ms));
}

// Event numbers: 1001 upwards, back to 1000 after 1,999,999,999, skipping numbers still held
// by a tempo. Caller holds the system lock. SetEventCounter is a test hook.
uint32_t NextEvent();
void SetEventCounter(uint32_t value);

// One tick of the tempo service: refreshes the application date and serves every tempo.
void RunPass();

}  // namespace kerval::tempo
