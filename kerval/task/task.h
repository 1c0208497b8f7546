// Internal services of the task subsystem shared with the mailboxes.
#pragma once

#include <atomic>
#include <cstdint>

#include "kerval/kerval.h"

namespace kerval::platform {
struct Ticker;
}

namespace kerval::task {

// One slice, 5000 ms: the whole wait of a time-out of -1 (or any other negative value), and the
// poll of a wait for the store task.
uint32_t WaitSliceMs();
// Test seam: shortens the slice; 0 restores 5000 ms.
void SetWaitSliceMs(uint32_t ms);

// A wait without limit of the calling task, which blocks without time-out meanwhile (nothing
// for a thread that is no task). The task refreshes its life sign as the wait begins and ends;
// in between, the life-sign ticker refreshes it every 5000 ms unless the task is suspended.
class UnlimitedWait {
public:
    UnlimitedWait();
    // For a task whose life sign RefreshLifeSign has just set (null: a thread that is no task).
    explicit UnlimitedWait(TaskDescript* signed_task);
    ~UnlimitedWait();
    UnlimitedWait(const UnlimitedWait&) = delete;
    UnlimitedWait& operator=(const UnlimitedWait&) = delete;

private:
    TaskDescript* task_ = nullptr;
    std::atomic<uint8_t>* blocked_ = nullptr;
};

// UpdateLifeSign, answering the calling task's record (null when it is no task).
TaskDescript* RefreshLifeSign();

// Takes a task out of the ticker's sight for good (its deletion, once its thread has stopped and
// before its record is cleared).
void ForgetUnlimitedWait(const TaskDescript& rec);
// For tests: the task is blocked in a wait without limit; the process's life-sign ticker.
bool InUnlimitedWait(int32_t hTask);
platform::Ticker* LifeSignTicker();

// Every task whose main mailbox is hBox loses it (hMainBox -1). Caller holds the system lock.
void ForgetMainBox(int32_t hBox);

// CreateTask with the new task's main mailbox set before its thread runs (-1 for none).
int32_t CreateTaskWithMainBox(const char* pszName, int32_t lPriority, PFN_TASK pfnTask,
                              const void* pParam, uint32_t lParamSize, uint32_t lStackSize,
                              int32_t hMainBox, int32_t* phTask);

// Start routine of every task thread; its argument carries the task's handle.
void TaskThreadEntry(void* arg);

}  // namespace kerval::task
