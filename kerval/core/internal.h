// Kernel-core internals shared by the core's own files (and its tests).
#pragma once

#include <atomic>
#include <cstdint>

#include "kerval/kerval.h"
#include "kerval/platform/platform.h"

namespace kerval::core {

// Builds the descriptor and every table from the completed options; 0 built, 1 failure (then
// nothing is left allocated and _pxSysDescript stays null). Binds the caller as "INITJOB".
int32_t CreateSysDescript(InitOptions* pxOptions);
// Grows a table to nNewCapacity records (new records uninitialised); 0 done, 1 refused/no memory.
int32_t ReallocObject(void** ppTable, uint32_t lRecordSize, int16_t* pnCapacity,
                      int16_t nNewCapacity);
// The first half of InitKerval: options, descriptor, locks and trace console, without the
// library's own objects; eOK or eNOK.
int32_t StartKernel(InitOptions* pxOptions);
// Initialises one of the descriptor's locks; always 0.
int32_t CreateSysSem(KvCriticalSection* pxCritSec);
// Opens the trace console window; 1 opened, 0 failed.
int32_t CreateTraceConsole();

// The calling thread's id, read from the system once per thread.
uint32_t SelfThreadId();

// Test hook: the counter GenerateName adds 1 to before formatting the next name.
void SetGeneratedNameCounter(int32_t lValue);

// The platform lock behind one of the descriptor's KvCriticalSection members.
inline platform::CriticalSection* LockOf(KvCriticalSection& cs)
{
    return static_cast<platform::CriticalSection*>(cs.pLock);
}

// Fields read without the system lock while a holder of it may write them.
inline uint8_t LoadFlag(const uint8_t& flag)
{
    return std::atomic_ref(const_cast<uint8_t&>(flag)).load(std::memory_order_acquire);
}
inline void StoreFlag(uint8_t& flag, uint8_t value)
{
    std::atomic_ref(flag).store(value, std::memory_order_release);
}
inline int32_t LoadInt(const int32_t& field)
{
    return std::atomic_ref(const_cast<int32_t&>(field)).load(std::memory_order_relaxed);
}
inline void StoreInt(int32_t& field, int32_t value)
{
    std::atomic_ref(field).store(value, std::memory_order_relaxed);
}
inline uint32_t LoadU32(const uint32_t& field)
{
    return std::atomic_ref(const_cast<uint32_t&>(field)).load(std::memory_order_relaxed);
}

// True for the types that own a record table (1 to 5, 8 to 10).
constexpr bool IsKnownType(int32_t t)
{
    return (t >= MAILBOX_OBJECT && t <= SOCK_OBJECT) || (t >= SECTION_OBJECT && t <= SHARE_OBJECT);
}

// The types whose names go into MirrorTab.
constexpr bool RegistersName(int32_t t)
{
    return t == TASK_OBJECT || t == MAILBOX_OBJECT || t == SEM_OBJECT || t == SECTION_OBJECT;
}

// A type's record table seen generically: every record begins with its bUsed byte.
struct TypeTable {
    unsigned char* base = nullptr;
    size_t record_size = 0;
    int32_t capacity = 0;
    uint8_t* UsedFlag(int32_t index) const
    {
        return base + static_cast<size_t>(index) * record_size;
    }
};
TypeTable TableOf(const SysDescript* sys, int32_t eObjectType);

// Drops every thread's remembered answer of CurrentTask: called once a task record or slot is
// freed, or a descriptor is made.
void ForgetCurrentTasks();
// The record of the task at handle h while its slot and record are in use (no lock), else null.
TaskDescript* UsedTaskRecord(const SysDescript* sys, int32_t h);

// ---- constant-time index of the object table (owned by index.cpp). Writers hold the system
// lock; FindObjectMirror reads under the index's shared lock.
namespace index {
// Sizes the bitmaps and maps for a freshly built descriptor (every slot and record free).
bool Build(const SysDescript* sys);
void Drop();
// Lowest free slot / record of a type, or -1. Candidates are checked against bUsed.
int32_t LowestFreeSlot(const SysDescript* sys);
int32_t LowestFreeRecord(const SysDescript* sys, int32_t eObjectType);
// Handle of the slot in use with that name, or -1 (caller holds the system lock or the
// shared index lock).
int32_t HandleOfName(const char* pszName);
int32_t HandleOfRecord(int32_t eObjectType, int32_t lIndex);
void OnPublish(int32_t hObject, int32_t eObjectType, int32_t lIndex, const char* pszName);
void OnRelease(int32_t hObject, int32_t eObjectType, int32_t lIndex, const char* pszName);
void OnRecordFree(int32_t eObjectType, int32_t lIndex);
// Shared (readers) and exclusive (writers of MirrorTab and slot names) access.
void LockShared();
void UnlockShared();
void LockExclusive();
void UnlockExclusive();
}  // namespace index

}  // namespace kerval::core
