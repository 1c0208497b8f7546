// Default tasks: the application's table of tasks with their main mailboxes, created and deleted
// together, the accessors by the application's identifier, and the two-semaphore start barrier.
#include <cstdio>
#include <cstring>

#include "kerval/core/core.h"
#include "kerval/error/report.h"
#include "kerval/kerval.h"
#include "kerval/task/task.h"

namespace kerval::task {

namespace {

constexpr const char* kCreateAllProc = "KERVAL-CreateAllDefTask";
constexpr const char* kDeleteAllProc = "KERVAL-DeleteAllDefTask";
constexpr const char* kSynchroProc = "KERVAL-CreateSynchroDefaultTask";
constexpr const char* kWaitAllProc = "KERVAL-WaitSynchroAllDefaultTask";
constexpr const char* kInitOkName = "SEM_INITOK";
constexpr const char* kGoName = "SEM_GO";
constexpr const char* kInvalidId = "invalid id";

bool HasText(const char* text)
{
    return text != nullptr && text[0] != '\0';
}

void Show(void (*display)(const char*, uint8_t), const char* format, const char* proc, int index)
{
    char text[160];
    std::snprintf(text, sizeof text, format, proc, index);
    display(text, 1);
}

void TraceText(const char* text)
{
    AddTrace(text, static_cast<int32_t>(std::strlen(text)), 0);
}

// Rows the library can work through: present, each named and with a function.
bool RowsAreUsable(const DefTask* pxTab, uint16_t nNb)
{
    if (pxTab == nullptr && nNb > 0)
        return false;
    for (uint16_t i = 0; i < nNb; ++i) {
        if (pxTab[i].pszTaskName == nullptr || pxTab[i].pfnTask == nullptr)
            return false;
    }
    return true;
}

int32_t CreateDefaultBoxes(const DefTask* pxTab, uint16_t nNb)
{
    for (uint16_t i = 0; i < nNb; ++i) {
        if (!HasText(pxTab[i].pszBoxName))
            continue;
        int32_t hBox = -1;
        const int32_t code = CreateMailBox(pxTab[i].pszBoxName, pxTab[i].nBoxSize, &hBox);
        if (code != eOK) {
            Show(DisplayTraceDebug, "! %s : can create default box task[%d].\n", kCreateAllProc, i);
            return code;
        }
    }
    return eOK;
}

// Creates one row's task with its main box already attached, so that the task finds the box at
// its first instruction. A row whose box cannot be found still gets its task, then answers 13.
int32_t CreateDefaultTask(DefTask& row, int index)
{
    const bool has_box = HasText(row.pszBoxName);
    const char* param = HasText(row.pszParam) ? row.pszParam : nullptr;
    const auto param_size = param != nullptr ? static_cast<uint32_t>(std::strlen(param)) : 0U;
    int32_t hTask = -1;
    bool box_found = false;
    int32_t code = eOK;
    {
        // The box cannot go between its look-up and the task's start.
        core::SysLock lock;
        const int32_t hBox = has_box ? FindObjectMirror(row.pszBoxName) : -1;
        box_found = core::BoxRecord(hBox) != nullptr;
        code = CreateTaskWithMainBox(row.pszTaskName, row.bPriority, row.pfnTask, param, param_size,
                                     row.lStackSize, box_found ? hBox : -1, &hTask);
    }
    if (code != eOK) {
        Show(DisplayTraceDebug, "! %s : can create default task[%d].\n", kCreateAllProc, index);
        return code;
    }
    row.hTask = hTask;
    if (has_box && !box_found) {
        Show(DisplayDebug, "! %s : can associate box to task[%d].\n", kCreateAllProc, index);
        return eINVALID_PARAM;
    }
    char text[200];
    std::snprintf(text, sizeof text, "Task and Box %s created.", NameFromObject(hTask));
    TraceText(text);
    return eOK;
}

// The recorded row for an identifier (the last one carrying it), or null.
const DefTask* RowOf(int32_t lId)
{
    const SysDescript* sys = core::Sys();
    if (sys == nullptr || sys->pxDefTaskTab == nullptr)
        return nullptr;
    const DefTask* found = nullptr;
    for (int32_t i = 0; i < sys->nNbDefTask; ++i) {
        if (sys->pxDefTaskTab[i].lId == lId)
            found = &sys->pxDefTaskTab[i];
    }
    return found;
}

// The row's task handle while it still designates that task, else -1.
int32_t LiveTaskOf(const DefTask& row)
{
    if (ObjectExist(row.hTask) != TASK_OBJECT)
        return -1;
    const char* name = NameFromObject(row.hTask);
    return std::strncmp(name, row.pszTaskName, KV_NAME_MAX) == 0 ? row.hTask : -1;
}

int32_t SemaphoreNamed(const char* name)
{
    const int32_t handle = FindObjectMirror(name);
    return ObjectExist(handle) == SEM_OBJECT ? handle : -1;
}

void ShowAndTrace(const char* format)
{
    char text[160];
    std::snprintf(text, sizeof text, format, kWaitAllProc);
    DisplayDebug(text, 1);
    TraceText(text);
}

}  // namespace

}  // namespace kerval::task

using namespace kerval;

extern "C" KV_API int32_t CreateAllDefTask(DefTask* pxTab, uint16_t nNb)
{
    SysDescript* sys = core::Sys();
    if (sys == nullptr)
        return eNOK;
    if (nNb > sys->xInitOptions->NbMaxTask) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "number of default task > _pxSysDescript->xInitOptions->NbMaxTask (=%d)\n",
                      sys->xInitOptions->NbMaxTask);
        DisplayDebug(text, 1);
        return eNOK;
    }
    if (!task::RowsAreUsable(pxTab, nNb))
        return eNOK;
    int32_t code = task::CreateDefaultBoxes(pxTab, nNb);
    for (uint16_t i = 0; code == eOK && i < nNb; ++i)
        code = task::CreateDefaultTask(pxTab[i], i);
    if (code != eOK)
        return code;
    sys->pxDefTaskTab = pxTab;
    sys->nNbDefTask = static_cast<int16_t>(nNb);
    return eOK;
}

extern "C" KV_API const char* DefTaskName(int32_t lId)
{
    const DefTask* row = task::RowOf(lId);
    return row != nullptr ? row->pszTaskName : task::kInvalidId;
}

extern "C" KV_API const char* DefTaskBoxName(int32_t lId)
{
    const DefTask* row = task::RowOf(lId);
    return row != nullptr ? row->pszBoxName : task::kInvalidId;
}

extern "C" KV_API int32_t DefTaskHandle(int32_t lId)
{
    const DefTask* row = task::RowOf(lId);
    return row != nullptr ? task::LiveTaskOf(*row) : -1;
}

extern "C" KV_API int32_t DefTaskBoxHandle(int32_t lId)
{
    const int32_t hTask = DefTaskHandle(lId);
    return hTask >= 0 ? GetTaskMainMailBox(hTask) : -1;
}

extern "C" KV_API int32_t HandleInDefTaskId(int32_t hTask)
{
    const SysDescript* sys = core::Sys();
    if (sys == nullptr || sys->pxDefTaskTab == nullptr || hTask < 0)
        return -1;
    for (int32_t i = 0; i < sys->nNbDefTask; ++i) {
        if (sys->pxDefTaskTab[i].hTask == hTask)
            return sys->pxDefTaskTab[i].lId;
    }
    return -1;
}

extern "C" KV_API int32_t DeleteAllDefTask(void)
{
    const SysDescript* sys = core::Sys();
    if (sys == nullptr || sys->pxDefTaskTab == nullptr)
        return eOK;
    int32_t code = eOK;
    for (int32_t i = 0; i < sys->nNbDefTask; ++i) {
        code = DeleteTask(FindObjectMirror(sys->pxDefTaskTab[i].pszTaskName));
        if (code != eOK) {
            task::Show(DisplayDebug, "! %s : can free task[%d].\n", task::kDeleteAllProc, i);
            break;
        }
    }
    return code;
}

extern "C" KV_API int32_t CreateSynchroDefaultTask(uint16_t nNb)
{
    if (nNb == 0)
        return eOK;
    int32_t handle = -1;
    int32_t code = CreateSem(task::kInitOkName, nNb, 0, &handle);
    if (code != eOK)
        KV_REPORT(code, task::kSynchroProc, "CreateSem(SEM_INITOK_NAME) echoue !", 1);
    code = CreateSem(task::kGoName, nNb, 0, &handle);
    if (code != eOK)
        KV_REPORT(code, task::kSynchroProc, "CreateSem(SEM_GO_NAME) echoue !", 1);
    return code;
}

extern "C" KV_API void SynchroWithDefaultTask(void)
{
    char text[200];
    const char* name = CurrentTaskName();
    std::snprintf(text, sizeof text, "%s is waiting.\n", name);
    DisplayTraceDebug(text, 1);
    FreeSem(task::SemaphoreNamed(task::kInitOkName), 1);
    TakeSem(task::SemaphoreNamed(task::kGoName), 1, WAIT_FOREVER);
    const TaskDescript* self = core::CurrentTask();
    const long thread_id = self != nullptr ? static_cast<long>(self->lThreadId) : 0L;
    std::snprintf(text, sizeof text, "task %s is running (Thread Id=<%ld>).\n", name, thread_id);
    DisplayTraceDebug(text, 1);
}

extern "C" KV_API void WaitSynchroAllDefaultTask(uint16_t nNb)
{
    if (nNb == 0)
        return;
    task::ShowAndTrace("\n%s : Wait all Default Task...\n");
    const int32_t code = TakeSem(task::SemaphoreNamed(task::kInitOkName), nNb, WAIT_FOREVER);
    if (code != eOK)
        KV_REPORT(code, task::kWaitAllProc, "TakeSem(SEM_INITOK_NAME)) echoue !", 1);
    task::ShowAndTrace("\n%s : Go to all Task...\n");
    FreeSem(task::SemaphoreNamed(task::kGoName), nNb);
}
