// Task messaging through main mailboxes, and the plain timed wait.
#include <atomic>
#include <cstdint>

#include "kerval/core/core.h"
#include "kerval/kerval.h"
#include "kerval/platform/platform.h"
#include "kerval/task/task.h"

namespace kerval::task {

namespace {

// hMainBox is set without a lock and cleared by mailbox deletion from other threads.
std::atomic_ref<int32_t> MainBox(TaskDescript& rec)
{
    return std::atomic_ref<int32_t>(rec.hMainBox);
}

[[noreturn]] void SleepForEver()
{
    constexpr uint32_t kNapMs = 5000;
    for (;;)
        platform::sleep_ms(kNapMs);
}

}  // namespace

void ForgetMainBox(int32_t hBox)
{
    SysDescript* sys = core::Sys();
    for (int32_t i = 0; i < sys->nNbTask; ++i) {
        TaskDescript& rec = sys->pxTaskTab[i];
        if (rec.bUsed == 1) {
            int32_t expected = hBox;
            MainBox(rec).compare_exchange_strong(expected, -1);
        }
    }
}

}  // namespace kerval::task

using namespace kerval;

extern "C" KV_API KV_HOT_PATH int32_t WriteToTask(int32_t hSender, int32_t hTask, int32_t lType,
                                                  const void* pData, uint32_t lSize, int32_t lExtra)
{
    TaskDescript* rec = core::TaskRecord(hTask);
    if (rec == nullptr)
        return eNOK;
    return WriteMailBox(hSender, task::MainBox(*rec).load(), lType, pData, lSize, lExtra);
}

extern "C" KV_API KV_HOT_PATH int32_t ReadFromTask(int32_t hTask, int32_t* plType, void* pBuffer,
                                                   uint32_t* plSize, int32_t lBufSize,
                                                   int32_t lTimeOut, int32_t* plExtra,
                                                   int32_t* phSender)
{
    TaskDescript* rec = core::TaskRecord(hTask);
    if (rec == nullptr)
        return eNOK;
    return ReadMailBox(task::MainBox(*rec).load(), plType, pBuffer, plSize, lBufSize, lTimeOut,
                       plExtra, phSender);
}

extern "C" KV_API int32_t SetTaskMainMailBox(int32_t hTask, int32_t hBox)
{
    TaskDescript* rec = core::TaskRecord(hTask);
    if (rec == nullptr || core::BoxRecord(hBox) == nullptr)
        return eNOK;
    task::MainBox(*rec).store(hBox);
    return eOK;
}

extern "C" KV_API int32_t GetTaskMainMailBox(int32_t hTask)
{
    TaskDescript* rec = core::TaskRecord(hTask);
    return rec != nullptr ? task::MainBox(*rec).load() : -1;
}

extern "C" KV_API int32_t WaitTime(uint32_t lMs)
{
    // WAIT_FOREVER, and -1 (the platform's infinite value), never return.
    if (lMs == static_cast<uint32_t>(WAIT_FOREVER) || lMs == platform::kInfinite) {
        task::SleepForEver();
    }
    platform::sleep_ms(lMs);
    UpdateLifeSign();
    return 0;
}
