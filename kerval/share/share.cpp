// Shared memory blocks: zero-filled blocks copied in and out as a whole under their own mutex
// "$" + the block's name. A block name of the full 128 characters gives a mutex name one
// character longer, which the name check cuts with its message, as for any long name.
//
// Lock order: the block's mutex before the system lock, as a holder of the mutex may create
// objects. A copy re-checks the block once it holds the mutex: a block deleted meanwhile (its
// mutex deleted with it) is never touched.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "kerval/core/alloc.h"
#include "kerval/core/core.h"
#include "kerval/core/internal.h"
#include "kerval/kerval.h"

using namespace kerval;

namespace {

std::atomic_ref<int32_t> MuteOf(ShareDescript& rec)
{
    return std::atomic_ref<int32_t>(rec.hMute);
}
std::atomic_ref<uint32_t> SizeOf(ShareDescript& rec)
{
    return std::atomic_ref<uint32_t>(rec.lSize);
}
std::atomic_ref<void*> DataOf(ShareDescript& rec)
{
    return std::atomic_ref<void*>(rec.pData);
}

// Caller holds the system lock. The slot is marked used before the mutex is created, so that
// the mutex takes another one.
int32_t MakeShare(int32_t hShare, int32_t index, const char* name, uint32_t lSize)
{
    if (lSize == 0)
        return eNOK;
    void* data = core::Calloc(lSize, 1);
    if (data == nullptr)
        return eNOK;
    core::StoreFlag(core::Sys()->pxObjectTab[hShare].bUsed, 1);
    char mute_name[KV_NAME_MAX + 2];
    std::snprintf(mute_name, sizeof mute_name, "$%s", name);
    int32_t hMute = -1;
    const int32_t code = CreateMute(mute_name, 1, &hMute);
    if (code != eOK) {
        core::Free(data);
        core::ReleaseObject(hShare);
        return code;
    }
    ShareDescript& rec = core::Sys()->pxShareTab[index];
    DataOf(rec).store(data);
    SizeOf(rec).store(lSize);
    MuteOf(rec).store(hMute);
    std::atomic_ref(rec.bUsed).store(1, std::memory_order_release);
    return eOK;
}

// Runs copy(block) under the block's mutex; 1 when the block went away meanwhile.
template <class Copy>
int32_t CopyUnderMute(int32_t hShare, const void* buffer, uint32_t lSize, Copy copy)
{
    ShareDescript* rec = core::ShareRecord(hShare);
    if (rec == nullptr)
        return eNOK;
    if (lSize != SizeOf(*rec).load())
        return eBAD_LEN;
    if (buffer == nullptr)
        return eNOK;
    const int32_t hMute = MuteOf(*rec).load();
    if (TakeMute(hMute, WAIT_FOREVER) != eOK)
        return eNOK;
    // The record itself tells whether the block is still the one whose mutex is now held.
    if (core::LoadFlag(rec->bUsed) != 1 || MuteOf(*rec).load() != hMute) {
        FreeMute(hMute);
        return eNOK;
    }
    copy(rec->pData);
    return FreeMute(hMute);
}

}  // namespace

extern "C" KV_API int32_t CreateShareMem(const char* pszName, uint32_t lSize, int32_t* phShare)
{
    return core::CreateObject(SHARE_OBJECT, pszName, phShare,
                              [lSize](int32_t hShare, int32_t index, const char* name) {
                                  return MakeShare(hShare, index, name, lSize);
                              });
}

extern "C" KV_API int32_t WriteShareMem(int32_t hShare, const void* pSource, uint32_t lSize)
{
    return CopyUnderMute(hShare, pSource, lSize,
                         [&](void* block) { std::memcpy(block, pSource, lSize); });
}

extern "C" KV_API int32_t ReadShareMem(int32_t hShare, void* pDest, uint32_t lSize)
{
    return CopyUnderMute(hShare, pDest, lSize,
                         [&](void* block) { std::memcpy(pDest, block, lSize); });
}

// Bypasses the block's mutex: the caller synchronises its direct accesses itself.
extern "C" KV_API void* PointOnShare(int32_t hShare)
{
    ShareDescript* rec = core::ShareRecord(hShare);
    return rec == nullptr ? nullptr : DataOf(*rec).load();
}

extern "C" KV_API int32_t DeleteShareMem(int32_t hShare)
{
    ShareDescript* rec = core::ShareRecord(hShare);
    if (rec == nullptr)
        return eOK;
    const int32_t hMute = MuteOf(*rec).load();
    const bool held = TakeMute(hMute, WAIT_FOREVER) == eOK;
    core::SysLock lock;
    if (core::ShareRecord(hShare) != rec || MuteOf(*rec).load() != hMute) {
        if (held)
            FreeMute(hMute);  // another deletion came first
        return eOK;
    }
    core::Free(DataOf(*rec).exchange(nullptr));
    // Deleted while held: copies waiting on it return 1 and never see the freed block.
    const int32_t code = DeleteMute(hMute);
    SizeOf(*rec).store(0);
    MuteOf(*rec).store(-1);
    core::ReleaseObject(hShare);
    return code;
}
