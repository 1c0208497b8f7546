// Internal services of the task subsystem shared with the mailboxes.
#pragma once

#include <cstdint>

namespace kerval::task {

// Length of one slice of an unlimited wait (life sign refreshed before each): 5000 ms.
uint32_t WaitSliceMs();
// Test seam: shortens the slice; 0 restores 5000 ms.
void SetWaitSliceMs(uint32_t ms);

// Every task whose main mailbox is hBox loses it (hMainBox -1). Caller holds the system lock.
void ForgetMainBox(int32_t hBox);

// Start routine of every task thread; its argument carries the task's handle.
void TaskThreadEntry(void* arg);

}  // namespace kerval::task
