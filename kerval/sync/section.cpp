// Critical sections: recursive locks owned by a thread, whose holder runs at time-critical
// priority from its first entry to its last leave. The priority follows the system lock's rule:
// Windows applies it; Linux keeps it as the thread's logical priority. Threads the library
// neither created nor adopted keep their priority.
#include <atomic>
#include <mutex>

#include "kerval/core/core.h"
#include "kerval/error/report.h"
#include "kerval/kerval.h"
#include "kerval/sync/sync_core.h"

using namespace kerval;
using sync::Kind;
using sync::SyncCore;

namespace {

constexpr uint32_t kNoOwner = 0xFFFFFFFFu;

void SetPriority(platform::Thread* thread, int priority, const char* proc)
{
    if (thread == nullptr || priority == platform::kPrioError)
        return;
    if (!platform::thread_set_brief_priority(thread, priority))
        KV_CHECK(proc, platform::last_error(), 0);
}

void PublishOwner(SectionDescript& rec, uint32_t tid, int32_t depth)
{
    std::atomic_ref(rec.dwOwnerThreadId).store(tid, std::memory_order_relaxed);
    std::atomic_ref(rec.nEnterCount).store(depth, std::memory_order_relaxed);
}

// Caller holds the core's lock: a new holder saves its priority and is raised.
void OnEnter(SyncCore& c)
{
    SectionDescript& rec = *c.section;
    if (c.depth > 1) {
        PublishOwner(rec, c.owner_tid, c.depth);
        return;
    }
    rec.nSavedPriority = c.owner_thread == nullptr ? platform::kPrioError
                                                   : platform::thread_get_priority(c.owner_thread);
    PublishOwner(rec, c.owner_tid, 1);
    SetPriority(c.owner_thread, platform::kPrioTimeCritical, "KERVAL-EnterCriticalSec()");
}

// Caller holds the core's lock: the holder's bookkeeping ends before the next holder is let in.
void OnLeave(SyncCore& c)
{
    SectionDescript& rec = *c.section;
    if (c.depth > 0) {
        PublishOwner(rec, c.owner_tid, c.depth);
        return;
    }
    SetPriority(c.owner_thread, rec.nSavedPriority, "KERVAL-LeaveCriticalSec()");
    PublishOwner(rec, kNoOwner, 0);
}

// An open core of that kind at the handle is an open section there: one look-up suffices.
SyncCore* SectionCore(int32_t hSection, uint32_t* gen)
{
    return sync::FindCore(hSection, Kind::kSection, gen);
}

}  // namespace

extern "C" KV_API int32_t CreateCriticalSec(const char* pszName, int32_t* phSection)
{
    return core::CreateObject(SECTION_OBJECT, pszName, phSection,
                              [](int32_t hSection, int32_t index, const char*) {
                                  SyncCore* c = sync::CoreForCreation(hSection);
                                  if (c == nullptr)
                                      return static_cast<int32_t>(eNOK);
                                  SectionDescript& rec = core::Sys()->pxSectionTab[index];
                                  std::lock_guard guard(c->lock);
                                  rec.xCritSec.pLock = c;
                                  rec.nSavedPriority = 0;
                                  PublishOwner(rec, kNoOwner, 0);
                                  c->section = &rec;
                                  sync::Open(*c, Kind::kSection);
                                  std::atomic_ref(rec.bUsed).store(1, std::memory_order_release);
                                  return static_cast<int32_t>(eOK);
                              });
}

extern "C" KV_API int32_t EnterCriticalSec(int32_t hSection)
{
    uint32_t gen = 0;
    SyncCore* c = SectionCore(hSection, &gen);
    if (c == nullptr || sync::AcquireLock(*c, gen, OnEnter) == sync::Acquired::kClosed)
        return eNOK;
    return eOK;
}

// A thread that does not hold the section changes nothing and gets 0.
extern "C" KV_API int32_t LeaveCriticalSec(int32_t hSection)
{
    uint32_t gen = 0;
    SyncCore* c = SectionCore(hSection, &gen);
    if (c == nullptr)
        return eNOK;
    return sync::ReleaseLock(*c, gen, OnLeave) == sync::Released::kClosed ? eNOK : eOK;
}

// A section deleted while held gives its holder's priority back (a deleting holder after the
// system lock's own restore, which would otherwise raise it again); its waiters return 1.
extern "C" KV_API int32_t DeleteCriticalSec(int32_t hSection)
{
    platform::Thread* holder = nullptr;
    int32_t saved = platform::kPrioError;
    {
        core::SysLock lock;
        SectionDescript* rec = core::SectionRecord(hSection);
        if (rec == nullptr)
            return eNOK;
        uint32_t gen = 0;
        SyncCore* c = sync::FindCore(hSection, Kind::kSection, &gen);
        if (c != nullptr) {
            std::lock_guard guard(c->lock);
            if (c->owner_tid != 0 && c->owner_thread == platform::thread_current()) {
                holder = c->owner_thread;
                saved = rec->nSavedPriority;
            } else if (c->owner_tid != 0) {
                SetPriority(c->owner_thread, rec->nSavedPriority, "KERVAL-DeleteCriticalSec()");
            }
            PublishOwner(*rec, kNoOwner, 0);
            sync::WakeAllWaiters(*c);
            sync::Close(*c);
            rec->xCritSec.pLock = nullptr;
        }
        core::ReleaseObject(hSection);
    }
    SetPriority(holder, saved, "KERVAL-DeleteCriticalSec()");
    return eOK;
}
