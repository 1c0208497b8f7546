// Internal interface of the application clock: the local clock as a date record, the
// application date kept in the descriptor, and the performance-counter start reading.
#pragma once

#include <cstdint>

#include "kerval/kerval.h"

namespace kerval::date {

// The local time (hundredths 0, day of year and day of week computed). Always eOK.
int32_t ReadLocalTime(MsgDate* pxDate);
// Sets the local clock from the record (its day of year and day of week are rewritten) after
// enabling the system-time privilege. 0 when the clock was set, 1 otherwise (reported).
int32_t WriteLocalTime(MsgDate* pxDate);

// The application date (_pxSysDescript->xAppDate). Every writer and reader goes through these
// two so that nobody sees a half-written record. Nothing happens without a descriptor.
void StoreAppDate(const MsgDate& xDate);
MsgDate LoadAppDate();

// The performance-counter reading taken when the tempo task starts; 0 until then.
void SetStartCounter(int64_t lCounter);
int64_t StartCounter();

}  // namespace kerval::date
