// Internal services of the task subsystem shared with the mailboxes.
#pragma once

#include <cstdint>

#include "kerval/kerval.h"

namespace kerval::task {

// Length of one slice of an unlimited wait (life sign refreshed before each): 5000 ms.
uint32_t WaitSliceMs();
// Test seam: shortens the slice; 0 restores 5000 ms.
void SetWaitSliceMs(uint32_t ms);

// Every task whose main mailbox is hBox loses it (hMainBox -1). Caller holds the system lock.
void ForgetMainBox(int32_t hBox);

// CreateTask with the new task's main mailbox set before its thread runs (-1 for none).
int32_t CreateTaskWithMainBox(const char* pszName, int32_t lPriority, PFN_TASK pfnTask,
                              const void* pParam, uint32_t lParamSize, uint32_t lStackSize,
                              int32_t hMainBox, int32_t* phTask);

// Start routine of every task thread; its argument carries the task's handle.
void TaskThreadEntry(void* arg);

}  // namespace kerval::task
