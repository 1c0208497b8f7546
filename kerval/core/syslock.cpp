// The system lock: a recursive lock over the descriptor's _selSemHeart. The holder is known by
// its thread id (threads that are not tasks all have the task handle -1), and runs at
// time-critical priority until its last release.
#include <atomic>

#include "kerval/core/core.h"
#include "kerval/core/internal.h"
#include "kerval/error/report.h"

namespace kerval::core {
namespace {

// Thread id of the holder, 0 when free. Only the holder writes the other fields.
std::atomic<uint32_t> g_owner_tid{0};
int g_depth = 0;
platform::Thread* g_owner_thread = nullptr;

platform::CriticalSection* HeartLock(SysDescript* sys)
{
    return sys == nullptr ? nullptr : LockOf(sys->_selSemHeart);
}

// Threads the library neither created nor adopted keep their priority: they have no record
// through which it could be changed and given back.
void RaisePriority(SysDescript* sys)
{
    g_owner_thread = platform::thread_current();
    if (g_owner_thread == nullptr) {
        sys->lSysSemPriority = platform::kPrioError;
        return;
    }
    sys->lSysSemPriority = platform::thread_get_priority(g_owner_thread);
    if (!platform::thread_set_brief_priority(g_owner_thread, platform::kPrioTimeCritical)) {
        KV_CHECK("KERVAL-TakeSysSem()", platform::last_error(), 0);
    }
}

void RestorePriority(SysDescript* sys)
{
    const int previous = sys->lSysSemPriority;
    if (g_owner_thread == nullptr || previous == platform::kPrioError)
        return;
    if (!platform::thread_set_brief_priority(g_owner_thread, previous)) {
        KV_CHECK("KERVAL-FreeSysSem()", platform::last_error(), 0);
    }
}

}  // namespace

void TakeSysSem()
{
    SysDescript* sys = _pxSysDescript;
    platform::CriticalSection* lock = HeartLock(sys);
    if (lock == nullptr)
        return;  // before start-up there is one thread only
    const uint32_t self = SelfThreadId();
    if (g_owner_tid.load(std::memory_order_relaxed) == self) {
        ++g_depth;
        sys->nSysSemDepth = static_cast<int16_t>(g_depth);
        return;
    }
    // Its holder is never suspended or ended; a deletion that holds it may still end a waiter.
    platform::lock_wait_begin();
    platform::critical_section_enter(lock);
    platform::region_enter();
    platform::lock_wait_end();
    g_owner_tid.store(self, std::memory_order_relaxed);
    g_depth = 1;
    sys->hSysSemOwner = CurrentTaskHandle();
    sys->nSysSemDepth = 1;
    RaisePriority(sys);
}

void FreeSysSem()
{
    SysDescript* sys = _pxSysDescript;
    platform::CriticalSection* lock = HeartLock(sys);
    if (lock == nullptr)
        return;
    if (g_owner_tid.load(std::memory_order_relaxed) != SelfThreadId())
        return;
    if (g_depth > 1) {
        --g_depth;
        sys->nSysSemDepth = static_cast<int16_t>(g_depth);
        return;
    }
    g_depth = 0;
    sys->hSysSemOwner = -1;
    sys->nSysSemDepth = 0;
    RestorePriority(sys);
    g_owner_tid.store(0, std::memory_order_relaxed);
    platform::critical_section_leave(lock);
    platform::region_leave();
}

int32_t CreateSysSem(KvCriticalSection* pxCritSec)
{
    if (pxCritSec != nullptr && pxCritSec->pLock == nullptr) {
        pxCritSec->pLock = platform::critical_section_create();
    }
    return 0;
}

}  // namespace kerval::core
