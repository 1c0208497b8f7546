// Tasks: named threads with a private copy of their parameter block, their suspension and
// their deletion. A record's hThread holds the platform Thread, hWakeSem a platform Semaphore.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>

#include "kerval/core/alloc.h"
#include "kerval/core/core.h"
#include "kerval/error/report.h"
#include "kerval/kerval.h"
#include "kerval/platform/platform.h"
#include "kerval/sync/sync.h"
#include "kerval/task/task.h"

namespace kerval::task {

namespace {

constexpr const char* kActiveTaskProc = "KERVAL-ActiveTask()";
constexpr const char* kDeleteTaskProc = "KERVAL-DeleteTask()";

// Serialises suspensions and resumptions so that bSuspended and the thread's state agree.
platform::GuardedMutex g_control;

platform::Thread* ThreadOf(TaskDescript& rec)
{
    return static_cast<platform::Thread*>(
        std::atomic_ref(rec.hThread).load(std::memory_order_relaxed));
}

std::atomic_ref<int32_t> SuspendedFlag(TaskDescript& rec)
{
    return std::atomic_ref<int32_t>(rec.bSuspended);
}

void ReportThreadFailure(const char* comment)
{
    char text[256];
    error::SystemErrorText(platform::last_error(), text, sizeof text);
    KervalErreur(eNOK, text, kActiveTaskProc, comment, __FILE__, __LINE__, 0);
}

void ShowSuspended(int32_t hTask)
{
    char text[200];
    std::snprintf(text, sizeof text, "task %s suspended\n", NameFromObject(hTask));
    DisplayDebug(text, 1);
}

// Suspends the task unless it already is. A task suspending itself releases the control lock
// first: it stops inside thread_suspend until someone resumes it.
void Suspend(int32_t hTask, TaskDescript& rec, bool report_failure)
{
    platform::Thread* thread = ThreadOf(rec);
    std::unique_lock lock(g_control);
    if (SuspendedFlag(rec).load() != 0)
        return;
    SuspendedFlag(rec).store(1);
    long previous = 0;
    if (thread == platform::thread_current()) {
        lock.unlock();
        ShowSuspended(hTask);
        previous = platform::thread_suspend(thread);
        if (previous >= 0)
            return;
        lock.lock();
    } else {
        previous = platform::thread_suspend(thread);
        if (previous >= 0) {
            ShowSuspended(hTask);
            return;
        }
    }
    SuspendedFlag(rec).store(0);
    if (report_failure)
        ReportThreadFailure("rq_suspend_task() fails !");
}

// Resumes a suspended task. A self-suspension that has not landed yet answers 0 (nothing to
// resume): wait for it briefly so that the resumption is not lost.
void Resume(TaskDescript& rec)
{
    platform::Thread* thread = ThreadOf(rec);
    std::lock_guard lock(g_control);
    if (SuspendedFlag(rec).load() == 0)
        return;
    SuspendedFlag(rec).store(0);
    long previous = platform::thread_resume(thread);
    for (int attempt = 0; previous == 0 && attempt < 200; ++attempt) {
        platform::sleep_ms(1);
        previous = platform::thread_resume(thread);
    }
    if (previous < 0)
        ReportThreadFailure("rq_resume_task() fails !");
}

// Builds the record of a new task at index; the thread stays suspended. Caller holds the
// system lock. The wake semaphore comes before the thread: a task without one could not wait.
int32_t MakeTask(int32_t hTask, int32_t index, int32_t lPriority, PFN_TASK pfnTask,
                 const void* pParam, uint32_t lParamSize, uint32_t lStackSize, int32_t hMainBox,
                 platform::Thread** thread_out)
{
    TaskDescript& rec = core::Sys()->pxTaskTab[index];
    void* copy = nullptr;
    uint32_t copy_size = 0;
    if (pParam != nullptr && lParamSize > 0) {
        copy = core::Alloc(lParamSize);
        if (copy == nullptr)
            return ePARAM_TASK_TOO_BIG;
        std::memcpy(copy, pParam, lParamSize);
        copy_size = lParamSize;
    }
    const uint32_t stack = lStackSize == 0 ? KV_DEFAULT_STACK_SIZE : lStackSize;
    void* arg = reinterpret_cast<void*>(static_cast<intptr_t>(hTask));
    platform::Semaphore* wake = core::NewSemaphore(0, 1);
    platform::Thread* thread =
        wake != nullptr ? core::NewThread(TaskThreadEntry, arg, stack) : nullptr;
    if (thread == nullptr) {
        platform::semaphore_destroy(wake);
        core::Free(copy);
        return eNOK;
    }
    platform::thread_set_priority(thread, lPriority);
    std::memset(&rec.xLifeSign, 0, sizeof rec.xLifeSign);
    rec.pParam = copy;
    rec.lParamSize = copy_size;
    rec.lStackSize = stack;
    std::atomic_ref(rec.hThread).store(thread, std::memory_order_relaxed);
    rec.lPriority = lPriority;
    rec.hMainBox = hMainBox;
    rec.pfnTask = pfnTask;
    std::atomic_ref(rec.lThreadId).store(platform::thread_id(thread), std::memory_order_relaxed);
    rec.bSuspended = 0;
    rec.hWakeSem = wake;
    std::atomic_ref(rec.bUsed).store(1, std::memory_order_release);
    *thread_out = thread;
    return eOK;
}

// Frees what the record owns and the record and slot, once the task's thread has stopped or is
// the caller. Caller holds the system lock.
void ClearTask(int32_t hTask, TaskDescript& rec)
{
    ForgetUnlimitedWait(rec);
    std::atomic_ref<int32_t>(rec.hMainBox).store(-1);
    core::Free(rec.pParam);
    rec.pParam = nullptr;
    rec.lParamSize = 0;
    std::memset(&rec.xLifeSign, 0, sizeof rec.xLifeSign);
    std::atomic_ref(rec.hThread).store(KV_INVALID_HANDLE, std::memory_order_relaxed);
    rec.pfnTask = nullptr;
    std::atomic_ref(rec.lThreadId).store(0, std::memory_order_relaxed);
    core::ReleaseObject(hTask);
}

[[noreturn]] void EndOwnThread(platform::Thread* self, platform::Semaphore* wake,
                               std::optional<core::SysLock>& lock)
{
    lock.reset();
    platform::semaphore_destroy(wake);
    platform::thread_release(self);
    platform::thread_exit_current();
}

}  // namespace

void TaskThreadEntry(void* arg)
{
    const auto hTask = static_cast<int32_t>(reinterpret_cast<intptr_t>(arg));
    TaskDescript* rec = core::TaskRecord(hTask);
    if (rec == nullptr || ThreadOf(*rec) != platform::thread_current()) {
        static const char kLost[] = "Cannot retrieve thread in KERVAL table";
        AddTrace(kLost, static_cast<int32_t>(sizeof kLost - 1), 1);
        return;
    }
    core::BindCurrentThread(hTask);
    // The life-sign ticker starts here at the latest, where no lock of the library is held: the
    // manual tick seam runs ticks under the lock that registers it.
    LifeSignTicker();
    PFN_TASK fn = rec->pfnTask;
    fn(nullptr);
}

int32_t CreateTaskWithMainBox(const char* pszName, int32_t lPriority, PFN_TASK pfnTask,
                              const void* pParam, uint32_t lParamSize, uint32_t lStackSize,
                              int32_t hMainBox, int32_t* phTask)
{
    // The lock also covers the resumption: nobody can delete the task before its thread runs.
    core::SysLock lock;
    platform::Thread* thread = nullptr;
    const int32_t code = core::CreateObject(
        TASK_OBJECT, pszName, phTask, [&](int32_t hTask, int32_t index, const char*) {
            return MakeTask(hTask, index, lPriority, pfnTask, pParam, lParamSize, lStackSize,
                            hMainBox, &thread);
        });
    if (code == eOK)
        platform::thread_resume(thread);
    return code;
}

}  // namespace kerval::task

using namespace kerval;

extern "C" KV_API int32_t CreateTask(const char* pszName, int32_t lPriority, PFN_TASK pfnTask,
                                     const void* pParam, uint32_t lParamSize, uint32_t lStackSize,
                                     int32_t* phTask)
{
    return task::CreateTaskWithMainBox(pszName, lPriority, pfnTask, pParam, lParamSize, lStackSize,
                                       -1, phTask);
}

extern "C" KV_API void RecoverTaskParam(int32_t hTask, void* pDest, uint32_t lMaxSize)
{
    const TaskDescript* rec = core::TaskRecord(hTask);
    if (rec == nullptr || pDest == nullptr)
        return;
    if (rec->pParam != nullptr && rec->lParamSize > 0 && rec->lParamSize <= lMaxSize) {
        std::memcpy(pDest, rec->pParam, rec->lParamSize);
    } else {
        static_cast<char*>(pDest)[0] = '\0';
    }
}

extern "C" KV_API int32_t DeleteTask(int32_t hTask)
{
    std::optional<core::SysLock> lock(std::in_place);
    TaskDescript* rec = core::TaskRecord(hTask);
    if (rec == nullptr) {
        char text[200];
        std::snprintf(text, sizeof text, "%s : Handle %d invalid !\n", task::kDeleteTaskProc,
                      static_cast<int>(hTask));
        DisplayDebug(text, 1);
        return eOK;
    }
    platform::Thread* thread = task::ThreadOf(*rec);
    auto* wake = static_cast<platform::Semaphore*>(rec->hWakeSem);
    const int32_t hMainBox = std::atomic_ref<int32_t>(rec->hMainBox).load();
    if (thread == platform::thread_current()) {
        if (hMainBox != -1)
            DeleteMailBox(hMainBox);
        sync::ForgetTask(rec, platform::thread_id(thread));
        task::ClearTask(hTask, *rec);
        rec->hWakeSem = KV_INVALID_HANDLE;
        task::EndOwnThread(thread, wake, lock);
    }
    // The thread is stopped for good by its termination; suspending it first would only race
    // with a thread that is ending. The suspension is still shown as before.
    if (task::SuspendedFlag(*rec).load() == 0)
        task::ShowSuspended(hTask);
    // The thread ends before its main box goes: a suspension may have stopped it inside a lock
    // that the deletion of the box needs, and only its termination lets it leave that lock.
    int32_t result = eOK;
    if (!platform::thread_terminate(thread)) {
        KV_CHECK(task::kDeleteTaskProc, platform::last_error(), 1);
        result = eNOK;
    }
    sync::ForgetTask(rec, platform::thread_id(thread));
    task::ClearTask(hTask, *rec);
    rec->hWakeSem = KV_INVALID_HANDLE;
    platform::thread_release(thread);
    platform::semaphore_destroy(wake);
    if (hMainBox != -1)
        DeleteMailBox(hMainBox);
    std::atomic_ref<int32_t>(rec->bSuspended).store(0);
    return result;
}

extern "C" KV_API void ActiveTask(int32_t hTask, uint8_t bActivate)
{
    TaskDescript* rec = core::TaskRecord(hTask);
    if (rec == nullptr)
        return;
    if (bActivate == 0) {
        task::Suspend(hTask, *rec, true);
    } else if (bActivate == 1) {
        task::Resume(*rec);
    }
}

extern "C" KV_API int32_t SuspendTask(int32_t hTask)
{
    ActiveTask(hTask, 0);
    return 0;
}

extern "C" KV_API int32_t GetPriority(int32_t hTask)
{
    TaskDescript* rec = core::TaskRecord(hTask);
    platform::Thread* thread = rec != nullptr ? task::ThreadOf(*rec) : platform::thread_current();
    if (thread == nullptr)
        return THREAD_PRIORITY_NORMAL;
    return platform::thread_get_priority(thread);
}

extern "C" KV_API int32_t GetJobPriority(void)
{
    const SysDescript* sys = core::Sys();
    return sys != nullptr ? static_cast<int32_t>(sys->lJobPriority) : 0;
}
