// The calling task, found in constant time: each thread caches the handle it was bound to, and
// the cache is trusted only while the table still shows a live task of that thread.
#include "kerval/core/core.h"
#include "kerval/core/internal.h"

namespace kerval::core {
namespace {

thread_local int32_t t_bound_handle = -1;
thread_local uint32_t t_thread_id = 0;

char g_unknown_task[] = "unkn.OBJ.";
char g_shared_task_buf[KV_SHARED_TASK_BUF_SIZE];

// The task record behind hTask when it is a live task running on the thread `tid`.
TaskDescript* LiveTaskOfThread(const SysDescript* sys, int32_t hTask, uint32_t tid)
{
    if (hTask < 0 || hTask >= sys->nNbObject)
        return nullptr;
    const ObjectSlot& slot = sys->pxObjectTab[hTask];
    if (LoadFlag(slot.bUsed) != 1 || LoadInt(slot.eObjectType) != TASK_OBJECT)
        return nullptr;
    const int32_t index = LoadInt(slot.nIndex);
    if (index < 0 || index >= sys->nNbTask)
        return nullptr;
    TaskDescript& task = sys->pxTaskTab[index];
    if (LoadFlag(task.bUsed) != 1 || LoadU32(task.lThreadId) != tid)
        return nullptr;
    return &task;
}

}  // namespace

uint32_t SelfThreadId()
{
    if (t_thread_id == 0)
        t_thread_id = platform::current_thread_id();
    return t_thread_id;
}

void BindCurrentThread(int32_t hTask)
{
    t_bound_handle = hTask;
}

int32_t CurrentTaskHandle()
{
    const SysDescript* sys = _pxSysDescript;
    if (sys == nullptr || sys->nNbObject < 1)
        return -1;
    const uint32_t tid = SelfThreadId();
    if (LiveTaskOfThread(sys, t_bound_handle, tid) != nullptr)
        return t_bound_handle;
    // The starting thread may reach here from another module's copy of the thread cache.
    if (LiveTaskOfThread(sys, 0, tid) != nullptr)
        return 0;
    return -1;
}

TaskDescript* CurrentTask()
{
    const SysDescript* sys = _pxSysDescript;
    const int32_t handle = CurrentTaskHandle();
    return handle < 0 ? nullptr : LiveTaskOfThread(sys, handle, SelfThreadId());
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
