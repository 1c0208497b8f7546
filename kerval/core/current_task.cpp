// The calling task, found in constant time: each thread caches the handle it was bound to, and
// the cache is trusted only while the table still shows a live task of that thread.
#include <atomic>

#include "kerval/core/core.h"
#include "kerval/core/internal.h"

namespace kerval::core {
namespace {

struct Binding {
    int32_t handle = -1;  // the task this thread was bound to
    uint32_t thread_id = 0;
    // The last live task found for this thread, trusted while the descriptor is the same and no
    // task record or slot has been freed since (g_generation unchanged).
    TaskDescript* found = nullptr;
    const SysDescript* found_in = nullptr;
    int32_t found_handle = -1;
    uint32_t found_generation = 0;
};
thread_local Binding t_binding KV_HOT_TLS;
std::atomic<uint32_t> g_generation{0};

char g_unknown_task[] = "unkn.OBJ.";
char g_shared_task_buf[KV_SHARED_TASK_BUF_SIZE];

// The task record behind hTask when it is a live task running on the thread `tid`.
TaskDescript* LiveTaskOfThread(const SysDescript* sys, int32_t hTask, uint32_t tid)
{
    TaskDescript* task = UsedTaskRecord(sys, hTask);
    return task != nullptr && LoadU32(task->lThreadId) == tid ? task : nullptr;
}

// The calling thread's live task record, its handle in *handle (-1 when it is no task).
KV_HOT_PATH TaskDescript* FindSelf(int32_t* handle)
{
    *handle = -1;
    const SysDescript* sys = _pxSysDescript;
    if (sys == nullptr || sys->nNbObject < 1)
        return nullptr;
    Binding& self = t_binding;
    const uint32_t generation = g_generation.load(std::memory_order_acquire);
    if (self.found != nullptr && self.found_in == sys && self.found_generation == generation) {
        *handle = self.found_handle;
        return self.found;
    }
    if (self.thread_id == 0)
        self.thread_id = platform::current_thread_id();
    TaskDescript* task = LiveTaskOfThread(sys, self.handle, self.thread_id);
    if (task != nullptr) {
        *handle = self.handle;
    } else {
        // The starting thread may reach here from another module's copy of the thread cache.
        task = LiveTaskOfThread(sys, 0, self.thread_id);
        if (task != nullptr)
            *handle = 0;
    }
    if (task != nullptr) {
        self.found = task;
        self.found_in = sys;
        self.found_handle = *handle;
        self.found_generation = generation;
    }
    return task;
}

}  // namespace

uint32_t SelfThreadId()
{
    Binding& self = t_binding;
    if (self.thread_id == 0)
        self.thread_id = platform::current_thread_id();
    return self.thread_id;
}

void BindCurrentThread(int32_t hTask)
{
    t_binding.handle = hTask;
    t_binding.found = nullptr;
}

void ForgetCurrentTasks()
{
    g_generation.fetch_add(1, std::memory_order_acq_rel);
}

int32_t CurrentTaskHandle()
{
    int32_t handle = -1;
    FindSelf(&handle);
    return handle;
}

KV_HOT_PATH TaskDescript* CurrentTask()
{
    int32_t handle = -1;
    return FindSelf(&handle);
}

}  // namespace kerval::core

using namespace kerval::core;

int32_t _InternalCurrentTaskHandle(const char* /*pszFile*/, int32_t /*lLine*/)
{
    return CurrentTaskHandle();
}

char* CurrentTaskName()
{
    const int32_t handle = CurrentTaskHandle();
    return handle < 0 ? g_unknown_task : _pxSysDescript->pxObjectTab[handle].szName;
}

int32_t CurrentTaskBox()
{
    const TaskDescript* task = CurrentTask();
    return task == nullptr ? -1 : task->hMainBox;
}

char* TaskBuf()
{
    TaskDescript* task = CurrentTask();
    return task == nullptr ? g_shared_task_buf : task->szTaskBuf;
}
