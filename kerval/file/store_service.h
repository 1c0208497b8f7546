// The store task: it performs the Slow file requests in the order its mailbox delivers them.
#pragma once

#include <cstdint>

namespace kerval::file {

// Body of "_STORE_TASK": creates "_STORE_BOX" (10 messages) and performs its requests forever.
uint32_t StoreTaskFunction(void* pParam);

// What the start-up does for the store task: creates "_STORE_TASK" (priority -2, stack 50000)
// unless a task of that name exists, and returns once its mailbox is open. 0 done, 1 failure.
int32_t StartService();

// Posts a marker behind every request queued so far and waits until the store task reaches
// it. eOK then; eNOK without a store task or box, or when the task goes away meanwhile. The
// store task itself never waits (it answers eNOK).
int32_t WaitForStoreRequests();

}  // namespace kerval::file
