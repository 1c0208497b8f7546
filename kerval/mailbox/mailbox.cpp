// Mailbox objects: creation and deletion, and the per-handle cores that hold their live state.
#include <cstdio>
#include <cstring>
#include <utility>

#include "kerval/core/alloc.h"
#include "kerval/core/core.h"
#include "kerval/kerval.h"
#include "kerval/mailbox/box_core.h"
#include "kerval/mailbox/mailbox.h"
#include "kerval/platform/platform.h"
#include "kerval/task/task.h"

namespace kerval::mailbox {

namespace {

// Cores by object handle, sized once for the descriptor they serve and never released.
struct CoreTable {
    const SysDescript* owner = nullptr;
    int32_t size = 0;
    std::atomic<BoxCore*>* cores = nullptr;
};

std::atomic<CoreTable*> g_table{nullptr};

// Caller holds the system lock. A rebuilt descriptor gets a new table; the old one is kept, as
// blocked readers may still hold its cores. Null when memory runs out.
CoreTable* TableForCreation()
{
    const SysDescript* sys = core::Sys();
    CoreTable* table = g_table.load(std::memory_order_acquire);
    if (table != nullptr && table->owner == sys)
        return table;
    auto* fresh = core::New<CoreTable>();
    if (fresh == nullptr)
        return nullptr;
    fresh->owner = sys;
    fresh->size = sys->nNbObject;
    fresh->cores = core::NewArray<std::atomic<BoxCore*>>(static_cast<size_t>(fresh->size));
    if (fresh->cores == nullptr) {
        core::Delete(fresh);
        return nullptr;
    }
    g_table.store(fresh, std::memory_order_release);
    return fresh;
}

void ShowPurge(const char* box_name, int32_t freed)
{
    char text[300];
    std::snprintf(text, sizeof text, "Task %s : %d msg. deleted from box %s\n", CurrentTaskName(),
                  freed, box_name);
    DisplayDebug(text, 1);
}

}  // namespace

KV_HOT_PATH BoxCore* FindCore(int32_t hBox, uint32_t* generation)
{
    const CoreTable* table = g_table.load(std::memory_order_acquire);
    if (table == nullptr || hBox < 0 || hBox >= table->size)
        return nullptr;
    BoxCore* box = table->cores[hBox].load(std::memory_order_acquire);
    if (box == nullptr)
        return nullptr;
    const uint32_t gen = box->generation.load(std::memory_order_acquire);
    if (!IsOpenGeneration(gen))
        return nullptr;
    *generation = gen;
    return box;
}

// Units left over by the previous box at this handle (wake-ups of its deletion) are dropped.
void Drain(platform::Semaphore* sem)
{
    while (platform::semaphore_wait(sem, 0) == platform::WaitResult::kSignaled) {
    }
}

BoxCore* CoreForCreation(int32_t hBox)
{
    constexpr long kUnlimited = 0x7FFFFFFF;
    CoreTable* table = TableForCreation();
    if (table == nullptr || hBox < 0 || hBox >= table->size)
        return nullptr;
    BoxCore* box = table->cores[hBox].load(std::memory_order_acquire);
    if (box != nullptr) {
        Drain(box->readable);
        Drain(box->writable);
        return box;
    }
    platform::Semaphore* readable = core::NewSemaphore(0, kUnlimited);
    platform::Semaphore* writable =
        readable != nullptr ? core::NewSemaphore(0, kUnlimited) : nullptr;
    box = writable != nullptr ? core::New<BoxCore>() : nullptr;
    if (box == nullptr) {
        platform::semaphore_destroy(readable);
        platform::semaphore_destroy(writable);
        return nullptr;
    }
    box->readable = readable;
    box->writable = writable;
    table->cores[hBox].store(box, std::memory_order_release);
    return box;
}

int32_t FreeQueue(BoxCore& box)
{
    int32_t freed = 0;
    BoxMessage* msg = box.record != nullptr ? box.record->pFirstMsg : nullptr;
    while (msg != nullptr) {
        BoxMessage* next = msg->pNext;
        FreeMessage(box, msg);  // the data copy lives in the same block
        ++freed;
        msg = next;
    }
    box.last = nullptr;
    box.queued = 0;
    box.units = 0;
    box.settled = box.tickets;  // writers waiting for room have nothing left to signal
    if (box.record != nullptr) {
        box.record->pFirstMsg = nullptr;
        box.record->nNbMsg = 0;
    }
    return freed;
}

KV_HOT_PATH void Ring(platform::Semaphore* doorbell, uint32_t count)
{
    if (count > 0)
        platform::semaphore_release(doorbell, static_cast<long>(count), nullptr);
}

int32_t PurgeCore(BoxCore& box, uint32_t generation)
{
    int32_t freed = 0;
    uint32_t writers = 0;
    char name[sizeof box.name];
    {
        std::lock_guard guard(box.lock);
        if (!box.IsOpen(generation))
            return eNOK;
        freed = FreeQueue(box);
        writers = std::exchange(box.writers_waiting, 0);
        std::memcpy(name, box.name, sizeof name);
    }
    Ring(box.writable, writers);
    if (freed > 0)
        ShowPurge(name, freed);
    return eOK;
}

int32_t _PurgeMailBox(BoxDescript* pBox)
{
    if (pBox == nullptr)
        return eINVALID_HANDLE;
    const SysDescript* sys = core::Sys();
    if (sys == nullptr || pBox < sys->pxMailBoxTab || pBox >= sys->pxMailBoxTab + sys->nNbMailBox) {
        return eNOK;
    }
    const auto index = static_cast<int32_t>(pBox - sys->pxMailBoxTab);
    uint32_t gen = 0;
    BoxCore* box = FindCore(core::HandleFromIndex(index, MAILBOX_OBJECT), &gen);
    if (box == nullptr || box->record != pBox)
        return pBox->nNbMsg == 0 ? eOK : eNOK;
    return PurgeCore(*box, gen);
}

}  // namespace kerval::mailbox

using kerval::mailbox::BoxCore;

extern "C" KV_API int32_t CreateMailBox(const char* pszName, uint16_t nMaxMsg, int32_t* phBox)
{
    if (phBox != nullptr)
        *phBox = -1;
    if (nMaxMsg == 0)
        return eNOK;
    return kerval::core::CreateObject(
        MAILBOX_OBJECT, pszName, phBox, [nMaxMsg](int32_t hBox, int32_t index, const char* name) {
            BoxCore* box = kerval::mailbox::CoreForCreation(hBox);
            if (box == nullptr)
                return static_cast<int32_t>(eNOK);
            BoxDescript* rec = &kerval::core::Sys()->pxMailBoxTab[index];
            std::lock_guard guard(box->lock);
            box->record = rec;
            box->last = nullptr;
            box->queued = 0;
            box->units = 0;
            box->tickets = 0;
            box->settled = 0;
            box->capacity = nMaxMsg;
            std::snprintf(box->name, sizeof box->name, "%s", name);
            rec->nMaxMsg = nMaxMsg;
            rec->nNbMsg = 0;
            std::atomic_ref(rec->lReserved1).store(0, std::memory_order_relaxed);
            rec->lReserved2 = 0;
            rec->hSem = box;
            rec->pFirstMsg = nullptr;
            rec->hMutex = box;
            std::atomic_ref(rec->bUsed).store(1, std::memory_order_release);
            box->generation.fetch_add(1, std::memory_order_release);  // now odd: open
            return static_cast<int32_t>(eOK);
        });
}

extern "C" KV_API int32_t DeleteMailBox(int32_t hBox)
{
    kerval::core::SysLock lock;
    uint32_t gen = 0;
    BoxCore* box = kerval::mailbox::FindCore(hBox, &gen);
    BoxDescript* rec = kerval::core::BoxRecord(hBox);
    if (box == nullptr || rec == nullptr) {
        DisplayDebug("KERVAL-DeleteMailBox() : Can't delete mailbox !\n", 1);
        return eNOK;
    }
    int32_t freed = 0;
    uint32_t readers = 0;
    uint32_t writers = 0;
    {
        std::lock_guard guard(box->lock);
        box->generation.fetch_add(1, std::memory_order_release);  // even: closed
        freed = kerval::mailbox::FreeQueue(*box);
        kerval::core::Free(box->spare.exchange(nullptr));
        readers = std::exchange(box->readers_waiting, 0);
        writers = std::exchange(box->writers_waiting, 0);
        rec->hSem = KV_INVALID_HANDLE;
        rec->hMutex = KV_INVALID_HANDLE;
    }
    // Blocked tasks wake, see the closed generation and leave with an error.
    kerval::mailbox::Ring(box->readable, readers);
    kerval::mailbox::Ring(box->writable, writers);
    if (freed > 0)
        kerval::mailbox::ShowPurge(box->name, freed);
    kerval::task::ForgetMainBox(hBox);
    kerval::core::ReleaseObject(hBox);
    return eOK;
}
