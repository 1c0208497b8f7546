// Placing objects in the object table and freeing them, and typed access to their records.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "kerval/core/core.h"
#include "kerval/core/internal.h"

namespace kerval::core {
namespace {

void ReportNameInUse(const char* pszName)
{
    char text[2 * KV_NAME_MAX + 80];
    std::snprintf(text, sizeof text,
                  "KERVAL-CanCreateObject : Task %s : Named object <%s> already exist !\n",
                  CurrentTaskName(), pszName);
    DisplayDebug(text, 1);
}

template <class Record>
Record* RecordOf(int32_t hObject, int32_t eObjectType, Record* SysDescript::*table)
{
    SysDescript* sys = _pxSysDescript;
    if (sys == nullptr || ObjectExist(hObject) != eObjectType)
        return nullptr;
    return &(sys->*table)[LoadInt(sys->pxObjectTab[hObject].nIndex)];
}

}  // namespace

int32_t CanCreateObject(int32_t eObjectType, const char* pszName, int32_t* phObject,
                        int32_t* plIndex)
{
    int32_t handle = -1;
    int32_t record = -1;
    if (phObject != nullptr)
        *phObject = -1;
    if (plIndex != nullptr)
        *plIndex = -1;
    SysLock lock;
    SysDescript* sys = _pxSysDescript;
    if (sys == nullptr)
        return eNOK;
    int32_t result = eOK;
    handle = index::HandleOfName(pszName);
    if (handle >= 0) {
        ReportNameInUse(pszName);
        result = eOBJECT_EXIST;
    } else {
        handle = index::LowestFreeSlot(sys);
        if (handle < 0) {
            std::printf("\nimpossible de placer un objet Supplementaire\n");
            return eNOK;
        }
    }
    if (phObject != nullptr)
        *phObject = handle;
    if (IsKnownType(eObjectType)) {
        record = index::LowestFreeRecord(sys, eObjectType);
        if (record < 0 && result == eOK) {
            if (eObjectType != TASK_OBJECT) {
                std::printf("\nimpossible de placer un objet de type %d\n",
                            static_cast<int>(eObjectType));
            }
            return eNOK;
        }
    }
    if (plIndex != nullptr)
        *plIndex = record;
    return result;
}

namespace detail {

void PublishObject(int32_t hObject, int32_t eObjectType, int32_t lIndex, const char* pszName)
{
    SysDescript* sys = _pxSysDescript;
    if (sys == nullptr || hObject < 0 || hObject >= sys->nNbObject || pszName == nullptr)
        return;
    ObjectSlot& slot = sys->pxObjectTab[hObject];
    index::LockExclusive();
    std::strncpy(slot.szName, pszName, KV_NAME_MAX);
    slot.szName[KV_NAME_MAX] = '\0';
    StoreInt(slot.eObjectType, eObjectType);
    StoreInt(slot.nIndex, lIndex);
    StoreFlag(slot.bUsed, 1);
    index::OnPublish(hObject, eObjectType, lIndex, slot.szName);
    index::UnlockExclusive();
    if (RegistersName(eObjectType))
        InsertObjectMirror(slot.szName, hObject);
}

}  // namespace detail

void ReleaseRecord(int32_t eObjectType, int32_t lIndex)
{
    SysDescript* sys = _pxSysDescript;
    if (sys == nullptr || !IsKnownType(eObjectType))
        return;
    const TypeTable table = TableOf(sys, eObjectType);
    if (lIndex < 0 || lIndex >= table.capacity)
        return;
    StoreFlag(*table.UsedFlag(lIndex), 0);
    index::OnRecordFree(eObjectType, lIndex);
    if (eObjectType == TASK_OBJECT)
        ForgetCurrentTasks();
}

void ReleaseObject(int32_t hObject)
{
    SysDescript* sys = _pxSysDescript;
    if (sys == nullptr || hObject < 0 || hObject >= sys->nNbObject)
        return;
    ObjectSlot& slot = sys->pxObjectTab[hObject];
    if (LoadFlag(slot.bUsed) == 0)
        return;
    const int32_t type = LoadInt(slot.eObjectType);
    const int32_t record = LoadInt(slot.nIndex);
    if (index::HandleOfRecord(type, record) == hObject)
        ReleaseRecord(type, record);
    index::LockExclusive();
    StoreFlag(slot.bUsed, 0);
    index::OnRelease(hObject, type, record, slot.szName);
    slot.szName[0] = '\0';
    StoreInt(slot.eObjectType, NULL_OBJECT);
    StoreInt(slot.nIndex, -1);
    index::UnlockExclusive();
    if (type == TASK_OBJECT)
        ForgetCurrentTasks();
}

// Every message to or from a task looks its record up: the checks of ObjectExist for a task,
// without the dispatch over every type.
KV_HOT_PATH TaskDescript* UsedTaskRecord(const SysDescript* sys, int32_t h)
{
    if (sys == nullptr || h < 0 || h >= sys->nNbObject)
        return nullptr;
    const ObjectSlot& slot = sys->pxObjectTab[h];
    if (LoadFlag(slot.bUsed) != 1 || LoadInt(slot.eObjectType) != TASK_OBJECT)
        return nullptr;
    const int32_t index = LoadInt(slot.nIndex);
    if (index < 0 || index >= sys->nNbTask)
        return nullptr;
    TaskDescript& rec = sys->pxTaskTab[index];
    return LoadFlag(rec.bUsed) == 1 ? &rec : nullptr;
}

KV_HOT_PATH TaskDescript* TaskRecord(int32_t h)
{
    TaskDescript* rec = UsedTaskRecord(_pxSysDescript, h);
    if (rec == nullptr ||
        std::atomic_ref(rec->hThread).load(std::memory_order_relaxed) == KV_INVALID_HANDLE) {
        return nullptr;
    }
    return rec;
}
BoxDescript* BoxRecord(int32_t h)
{
    return RecordOf(h, MAILBOX_OBJECT, &SysDescript::pxMailBoxTab);
}
SemDescript* SemRecord(int32_t h)
{
    return RecordOf(h, SEM_OBJECT, &SysDescript::pxSemTab);
}
TempoDescript* TempoRecord(int32_t h)
{
    return RecordOf(h, TEMPO_OBJECT, &SysDescript::pxTempoTab);
}
TcpLinkRec* SockRecord(int32_t h)
{
    return RecordOf(h, SOCK_OBJECT, &SysDescript::pxSockTab);
}
SectionDescript* SectionRecord(int32_t h)
{
    return RecordOf(h, SECTION_OBJECT, &SysDescript::pxSectionTab);
}
BinFileRec* FileRecord(int32_t h)
{
    return RecordOf(h, FILE_OBJECT, &SysDescript::pxFileTab);
}
ShareDescript* ShareRecord(int32_t h)
{
    return RecordOf(h, SHARE_OBJECT, &SysDescript::pxShareTab);
}

}  // namespace kerval::core
