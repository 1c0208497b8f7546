// Mutexes: recursive locks owned by a thread, registered as SEM_OBJECT in the semaphore table
// (bIsMute 1). The library's own code may take them too, from any thread.
//
// A mutex whose owner ended while holding it goes to the next taker, which owns it: TakeMute
// then answers 0 and reports a warning that the mutex was abandoned, since what it guards may
// have been left half-changed. A FreeMute by a thread that does not own the mutex is found by
// the ownership check and reported as fatal.
#include <cstdio>

#include "kerval/core/core.h"
#include "kerval/error/report.h"
#include "kerval/kerval.h"
#include "kerval/sync/sync.h"
#include "kerval/sync/sync_core.h"

using namespace kerval;
using sync::Kind;
using sync::SyncCore;

namespace {

// The open mutex at hMute, or null after the messages for a wrong handle.
SyncCore* MuteCore(int32_t hMute, const char* proc, uint32_t* gen)
{
    SyncCore* c = sync::FindCore(hMute, Kind::kMute, gen);
    if (c == nullptr && core::SemRecord(hMute) == nullptr) {
        sync::ShowNotASemaphore(hMute);
    } else if (c == nullptr) {
        char text[64];
        std::snprintf(text, sizeof text, "Object %d is not a Mutex (NT) !",
                      static_cast<int>(hMute));
        KV_REPORT(eNOK, proc, text, 0);
        DisplayDebug(text, 1);
    }
    return c;
}

}  // namespace

extern "C" KV_API int32_t CreateMute(const char* pszName, uint16_t nValue, int32_t* phMute)
{
    return core::CreateObject(SEM_OBJECT, pszName, phMute,
                              [nValue](int32_t hMute, int32_t index, const char*) {
                                  SyncCore* c = sync::CoreForCreation(hMute);
                                  if (c == nullptr)
                                      return static_cast<int32_t>(eNOK);
                                  SemDescript& rec = core::Sys()->pxSemTab[index];
                                  std::lock_guard guard(c->lock);
                                  rec.ptWaitingTask = nullptr;
                                  rec.ptsNextChain = rec.ptsPrevChain = rec.ptsFreeChain = nullptr;
                                  sync::FillSemRecord(rec, c, 0, nValue, 1);
                                  c->sem = &rec;
                                  sync::Open(*c, Kind::kMute);
                                  return static_cast<int32_t>(eOK);
                              });
}

// The time-out is not used: the wait lasts until the mutex is had or deleted.
extern "C" KV_API int32_t TakeMute(int32_t hMute, int32_t /*lTimeOut*/)
{
    uint32_t gen = 0;
    SyncCore* c = MuteCore(hMute, "KERVAL-TakeMute()", &gen);
    if (c == nullptr)
        return eNOK;
    switch (sync::AcquireLock(*c, gen, nullptr)) {
        case sync::Acquired::kOwned:
            return eOK;
        case sync::Acquired::kAbandoned: {
            char text[64];
            std::snprintf(text, sizeof text, "Mutex %d abandoned by its owner !",
                          static_cast<int>(hMute));
            KV_REPORT(eNOK, "KERVAL-TakeMute()", text, 0);
            return eOK;
        }
        case sync::Acquired::kClosed:
            break;
    }
    return eNOK;
}

extern "C" KV_API int32_t FreeMute(int32_t hMute)
{
    uint32_t gen = 0;
    SyncCore* c = MuteCore(hMute, "KERVAL-FreeMute()", &gen);
    if (c == nullptr)
        return eNOK;
    switch (sync::ReleaseLock(*c, gen, nullptr)) {
        case sync::Released::kReleased:
            return eOK;
        case sync::Released::kNotOwner:
            KV_CHECK("KERVAL-FreeMute()", platform::kErrNotOwner, 1);
            break;
        case sync::Released::kClosed:
            break;
    }
    return eNOK;
}

extern "C" KV_API int32_t DeleteMute(int32_t hMute)
{
    return sync::DeleteSemOrMute(hMute, "KERVAL-DeleteMute");
}
