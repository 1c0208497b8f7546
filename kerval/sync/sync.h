// Internal services of the synchronisation objects for the rest of the library.
#pragma once

#include <cstdint>

#include "kerval/kerval.h"

namespace kerval::sync {

// Builds the counting semaphore at handle h and record index (CreateObject's step).
int32_t MakeSemaphore(int32_t h, int32_t index, const char* name, uint16_t nMax, uint16_t nInitial);
// DeleteSem and DeleteMute: the object goes and every task waiting on it returns 1.
int32_t DeleteSemOrMute(int32_t hSem, const char* proc);

// DeleteTask's part: once the task's thread no longer runs (and before its wake semaphore is
// destroyed), the task leaves any semaphore queue, gives back units handed to it and not yet
// taken, and every mutex or critical section it held passes to its next waiter.
void ForgetTask(const TaskDescript* task, uint32_t thread_id);

}  // namespace kerval::sync
