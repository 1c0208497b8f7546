// The system descriptor, its tables and the read-only queries on the object table.
#include <cstdio>
#include <cstring>

#include "kerval/core/alloc.h"
#include "kerval/core/core.h"
#include "kerval/core/internal.h"
#include "kerval/error/report.h"

SysDescript* _pxSysDescript = nullptr;

namespace kerval::core {
namespace {

char g_empty_name[1] = "";

template <class Record>
TypeTable Table(Record* base, int16_t capacity)
{
    return TypeTable{reinterpret_cast<unsigned char*>(base), sizeof(Record), capacity};
}

template <class Record>
bool Grow(Record*& table, int16_t& capacity, int32_t wanted)
{
    void* raw = table;
    const bool grown =
        ReallocObject(&raw, sizeof(Record), &capacity, static_cast<int16_t>(wanted)) == 0;
    table = static_cast<Record*>(raw);
    if (grown)
        std::memset(static_cast<void*>(table), 0, sizeof(Record) * capacity);
    return grown;
}

bool CountsFit(const InitOptions* o)
{
    const int32_t counts[] = {o->NbMaxObject,  o->NbMaxTask,  o->NbMaxMailBox,
                              o->NbMaxSem,     o->NbMaxTempo, o->NbMaxSock,
                              o->NbMaxSection, o->NbMaxFile,  o->NbMaxShare};
    for (int32_t c : counts) {
        if (c < 0 || c > 32767)
            return false;
    }
    return o->NbMaxObject >= 1 && o->NbMaxTask >= 1;
}

void FreeDescriptor(SysDescript* sys)
{
    void* tables[] = {sys->pxObjectTab, sys->MirrorTab, sys->pxTaskTab, sys->pxMailBoxTab,
                      sys->pxTempoTab,  sys->pxSemTab,  sys->pxSockTab, sys->pxSectionTab,
                      sys->pxFileTab,   sys->pxShareTab};
    for (void* t : tables)
        Free(t);
    Free(sys);
}

void InitObjectTable(SysDescript* sys)
{
    for (int32_t h = 0; h < sys->nNbObject; ++h)
        sys->pxObjectTab[h].nIndex = -1;
    for (int32_t m = 0; m < sys->nNbObject; ++m)
        sys->MirrorTab[m].hObject = -1;
    sys->nNbMirror = 0;
}

void InitTaskTable(SysDescript* sys)
{
    for (int32_t i = 0; i < sys->nNbTask; ++i) {
        TaskDescript& t = sys->pxTaskTab[i];
        t.hThread = KV_INVALID_HANDLE;
        t.lPriority = 255;
        t.hMainBox = -1;
    }
}

// The calling thread becomes object 0, the task "INITJOB".
void RegisterInitJob(SysDescript* sys)
{
    platform::Thread* self = platform::thread_adopt_current();
    TaskDescript& task = sys->pxTaskTab[0];
    task.bUsed = 1;
    task.hThread = self != nullptr ? static_cast<KvHandle>(self) : KV_INVALID_HANDLE;
    if (self == nullptr)
        KV_CHECK("CreateSysDescript()", platform::last_error(), 1);
    task.lThreadId = platform::current_thread_id();
    task.lPriority = platform::thread_get_priority(self);
    task.hMainBox = -1;
    task.hWakeSem = platform::semaphore_create(0, 1);
    if (task.hWakeSem == nullptr)
        KV_CHECK("CreateSysDescript()", platform::last_error(), 1);
    detail::PublishObject(0, TASK_OBJECT, 0, "INITJOB");
    BindCurrentThread(0);
}

void InitOtherTables(SysDescript* sys)
{
    for (int32_t i = 0; i < sys->nNbSem; ++i)
        sys->pxSemTab[i].hMutex = KV_INVALID_HANDLE;
    for (int32_t i = 0; i < sys->nNbMailBox; ++i) {
        BoxDescript& b = sys->pxMailBoxTab[i];
        b.lReserved1 = -1;
        b.lReserved2 = -1;
        b.hSem = KV_INVALID_HANDLE;
    }
    for (int32_t i = 0; i < sys->nNbTempo; ++i) {
        std::memset(&sys->pxTempoTab[i].xDate, 0xFF, sizeof(MsgDate));
        sys->pxTempoTab[i].hBoxToAwake = -1;
    }
    for (int32_t i = 0; i < sys->nNbSock; ++i)
        sys->pxSockTab[i].sSocket = -1;
    for (int32_t i = 0; i < sys->nNbShare; ++i)
        sys->pxShareTab[i].hMute = -1;
    for (int32_t i = 0; i < sys->nNbSection; ++i) {
        sys->pxSectionTab[i].dwOwnerThreadId = 0xFFFFFFFFu;
    }
}

bool AllocateTables(SysDescript* sys, const InitOptions* o)
{
    return Grow(sys->pxObjectTab, sys->nNbObject, o->NbMaxObject) &&
           Grow(sys->MirrorTab, sys->nNbMirror, o->NbMaxObject) &&
           Grow(sys->pxTaskTab, sys->nNbTask, o->NbMaxTask) &&
           Grow(sys->pxSemTab, sys->nNbSem, o->NbMaxSem) &&
           Grow(sys->pxMailBoxTab, sys->nNbMailBox, o->NbMaxMailBox) &&
           Grow(sys->pxTempoTab, sys->nNbTempo, o->NbMaxTempo) &&
           Grow(sys->pxSockTab, sys->nNbSock, o->NbMaxSock) &&
           Grow(sys->pxSectionTab, sys->nNbSection, o->NbMaxSection) &&
           Grow(sys->pxFileTab, sys->nNbFile, o->NbMaxFile) &&
           Grow(sys->pxShareTab, sys->nNbShare, o->NbMaxShare);
}

void PrintLegend(const SysDescript* sys)
{
    std::printf(
        "\nLes differents type d'objets:\nNULL_OBJECT\t= 0\nMAILBOX_OBJECT\t= 1\nTEMPO_OBJECT\t= "
        "2\nTASK_OBJECT\t= 3\nSEM_OBJECT\t= 4\nSOCK_OBJECT\t= 5\nSECTION_OBJECT\t= "
        "8\nFILE_OBJECT\t= 9\nSHARE_OBJECT\t= 10\n\nNombre d'objets prevu %ld\n",
        static_cast<long>(sys->nNbObject));
}

// Lists the slots in use of type t (0: all); answers how many were listed.
long ListSlots(const SysDescript* sys, int32_t t)
{
    long listed = 0;
    std::printf("\nN:\ttype:\tNom:");
    for (int32_t h = 0; h < sys->nNbObject; ++h) {
        const ObjectSlot& slot = sys->pxObjectTab[h];
        if (LoadFlag(slot.bUsed) != 1)
            continue;
        const int32_t type = LoadInt(slot.eObjectType);
        if (t != 0 && type != t)
            continue;
        std::printf("\n%02d-%02d\t%d\t%s", static_cast<int>(h),
                    static_cast<int>(LoadInt(slot.nIndex)), static_cast<int>(type), slot.szName);
        ++listed;
    }
    return listed;
}

}  // namespace

TypeTable TableOf(const SysDescript* sys, int32_t eObjectType)
{
    switch (eObjectType) {
        case MAILBOX_OBJECT:
            return Table(sys->pxMailBoxTab, sys->nNbMailBox);
        case TEMPO_OBJECT:
            return Table(sys->pxTempoTab, sys->nNbTempo);
        case TASK_OBJECT:
            return Table(sys->pxTaskTab, sys->nNbTask);
        case SEM_OBJECT:
            return Table(sys->pxSemTab, sys->nNbSem);
        case SOCK_OBJECT:
            return Table(sys->pxSockTab, sys->nNbSock);
        case SECTION_OBJECT:
            return Table(sys->pxSectionTab, sys->nNbSection);
        case FILE_OBJECT:
            return Table(sys->pxFileTab, sys->nNbFile);
        case SHARE_OBJECT:
            return Table(sys->pxShareTab, sys->nNbShare);
        default:
            return TypeTable{};
    }
}

int32_t ReallocObject(void** ppTable, uint32_t lRecordSize, int16_t* pnCapacity,
                      int16_t nNewCapacity)
{
    if (ppTable == nullptr || pnCapacity == nullptr || nNewCapacity < *pnCapacity)
        return 1;
    if (nNewCapacity == *pnCapacity)
        return 0;
    const size_t bytes = static_cast<size_t>(lRecordSize) * static_cast<size_t>(nNewCapacity);
    void* grown = Realloc(*ppTable, bytes == 0 ? 1 : bytes);
    if (grown == nullptr)
        return 1;
    *ppTable = grown;
    *pnCapacity = nNewCapacity;
    return 0;
}

int32_t CreateSysDescript(InitOptions* pxOptions)
{
    if (pxOptions == nullptr || !CountsFit(pxOptions))
        return 1;
    auto* sys = static_cast<SysDescript*>(Calloc(1, sizeof(SysDescript)));
    if (sys == nullptr)
        return 1;
    ForgetCurrentTasks();
    _pxSysDescript = sys;
    sys->lStatus = 1;
    platform::Thread* self = platform::thread_adopt_current();
    sys->lJobPriority = static_cast<uint32_t>(platform::thread_get_priority(self)) & 255u;
    sys->hSctKerval = -1;
    sys->hSysSemOwner = -1;
    sys->hStdoutMux = -1;
    if (!AllocateTables(sys, pxOptions) || !index::Build(sys)) {
        index::Drop();
        _pxSysDescript = nullptr;
        FreeDescriptor(sys);
        return 1;
    }
    InitObjectTable(sys);
    InitTaskTable(sys);
    RegisterInitJob(sys);
    InitOtherTables(sys);
    sys->bAppMustStop = 0;
    return 0;
}

int32_t HandleFromIndex(int32_t lIndex, int32_t eObjectType)
{
    const SysDescript* sys = _pxSysDescript;
    if (sys == nullptr || lIndex == -1)
        return -1;
    const int32_t h = index::HandleOfRecord(eObjectType, lIndex);
    if (h < 0 || h >= sys->nNbObject)
        return -1;
    const ObjectSlot& slot = sys->pxObjectTab[h];
    const bool matches = LoadFlag(slot.bUsed) == 1 && LoadInt(slot.eObjectType) == eObjectType &&
                         LoadInt(slot.nIndex) == lIndex;
    return matches ? h : -1;
}

}  // namespace kerval::core

using namespace kerval::core;

int32_t ObjectExist(int32_t hObject)
{
    const SysDescript* sys = _pxSysDescript;
    if (sys == nullptr || hObject < 0 || hObject >= sys->nNbObject)
        return 0;
    const ObjectSlot& slot = sys->pxObjectTab[hObject];
    if (LoadFlag(slot.bUsed) != 1)
        return 0;
    const int32_t type = LoadInt(slot.eObjectType);
    const int32_t index = LoadInt(slot.nIndex);
    if (!IsKnownType(type))
        return 0;
    const TypeTable table = TableOf(sys, type);
    if (index < 0 || index >= table.capacity || LoadFlag(*table.UsedFlag(index)) != 1)
        return 0;
    if (type == MAILBOX_OBJECT && LoadInt(sys->pxMailBoxTab[index].lReserved1) == -1)
        return 0;
    // A TCP link whose connect is under way holds its name but no socket yet.
    if (type == SOCK_OBJECT && std::atomic_ref(const_cast<KvSocket&>(sys->pxSockTab[index].sSocket))
                                       .load(std::memory_order_acquire) == -1) {
        return 0;
    }
    if (type == TASK_OBJECT) {
        const KvHandle thread =
            std::atomic_ref(sys->pxTaskTab[index].hThread).load(std::memory_order_relaxed);
        if (thread == KV_INVALID_HANDLE)
            return 0;
    }
    return type;
}

char* NameFromObject(int32_t hObject)
{
    SysDescript* sys = _pxSysDescript;
    if (sys == nullptr || hObject < 0 || hObject >= sys->nNbObject)
        return kerval::core::g_empty_name;
    ObjectSlot& slot = sys->pxObjectTab[hObject];
    return LoadFlag(slot.bUsed) == 1 ? slot.szName : kerval::core::g_empty_name;
}

int32_t DebugListeObjet(int32_t eObjectType)
{
    const SysDescript* sys = _pxSysDescript;
    if (sys == nullptr)
        return 1;
    PrintLegend(sys);
    long listed = 0;
    if (eObjectType == NULL_OBJECT) {
        std::printf("\nListe de tous les objets");
        listed = ListSlots(sys, 0);
        if (listed == 0)
            std::printf("\nAucun objet n'a ete trouve");
    } else if (IsKnownType(eObjectType)) {
        std::printf("\nListe des objets de type\t%d", static_cast<int>(eObjectType));
        listed = ListSlots(sys, eObjectType);
        if (listed == 0) {
            std::printf("\nAucun objet de type %d n'a ete trouve", static_cast<int>(eObjectType));
        }
    } else {
        std::printf("\nType d'objet inconnu !!!");
    }
    std::printf("\nnombre d'objets utilises %ld\n\n", listed);
    std::fflush(stdout);
    return listed > 0 ? 0 : 1;
}
