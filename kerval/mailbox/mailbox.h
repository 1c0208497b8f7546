// Internal mailbox operations used by other subsystems.
#pragma once

#include <cstdint>

#include "kerval/kerval.h"

namespace kerval::mailbox {

struct BoxCore;

// Frees every message queued in the box whose record is pBox and withdraws their units; shows
// "Task %s : %d msg. deleted from box %s" when any was freed. eINVALID_HANDLE for null,
// eNOK when messages remain, else eOK.
int32_t _PurgeMailBox(BoxDescript* pBox);

// Same, on the core of an open box of the given generation (eNOK when it was closed meanwhile).
int32_t PurgeCore(BoxCore& box, uint32_t generation);

// The generation of the box open at hBox (odd), or 0 when none is open there. A later box at
// the same handle has another generation.
uint32_t OpenGeneration(int32_t hBox);

enum class WriteOutcome { kWritten, kFull, kGone };
// Appends a message like WriteMailBox when the box at hBox is still the one of that generation
// and has a free unit; never waits. kFull: nothing written (also when memory is short);
// kGone: that box was deleted.
WriteOutcome WriteIfRoom(int32_t hBox, uint32_t generation, int32_t hSender, int32_t lType,
                         const void* pData, uint32_t lSize, int32_t lExtra);

}  // namespace kerval::mailbox
