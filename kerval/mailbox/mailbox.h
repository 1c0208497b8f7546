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

}  // namespace kerval::mailbox
