// Internal interface of the kernel core: the descriptor, the system lock, object placement and
// look-up. Every subsystem creates, finds and deletes its objects through these functions.
#pragma once

#include <cstdint>

#include "kerval/kerval.h"

namespace kerval::core {

inline SysDescript* Sys()
{
    return _pxSysDescript;
}

// ---- system lock: recursive per holder (thread identity), holder raised to priority 15.
void TakeSysSem();
void FreeSysSem();

class SysLock {
public:
    SysLock() { TakeSysSem(); }
    ~SysLock() { FreeSysSem(); }
    SysLock(const SysLock&) = delete;
    SysLock& operator=(const SysLock&) = delete;
};

// ---- names and placement
// 0 valid, 1 null or empty; a name over 128 characters is reported and cut in place.
int32_t CheckObjectName(char* pszName);
// A name as an object can hold it.
using ObjectName = char[KV_NAME_MAX + 1];
// CheckObjectName on a private copy of the name written to out (empty for a null name).
int32_t CheckedNameCopy(const char* pszName, ObjectName& out);
// Finds the lowest free slot and the lowest free record of the type; reserves nothing.
int32_t CanCreateObject(int32_t eObjectType, const char* pszName, int32_t* phObject,
                        int32_t* plIndex);
int32_t HandleFromIndex(int32_t lIndex, int32_t eObjectType);

// The creation transaction every creating operation uses. Under the system lock: sets *phOut to
// -1 (when given), checks a private copy of the name (cut to 128 characters with the two
// messages), places the object with CanCreateObject, then calls make(handle, index, name), which
// creates the OS objects and fills the type record at index (its bUsed included) and answers eOK
// or an error code. On eOK the slot is filled, the name registered in MirrorTab for tasks,
// mailboxes, semaphores/mutexes and critical sections, and the handle written to *phOut.
// Answers eNOK for an invalid name, the CanCreateObject code, or make's code.
// make runs with the system lock held; it must not call application code.
template <class Make>
int32_t CreateObject(int32_t eObjectType, const char* pszName, int32_t* phOut, Make make);

// Frees an object (caller holds the system lock): the type record's bUsed becomes 0 and the slot
// becomes free (bUsed 0, name "", type 0, index -1). The deleting code clears the record's other
// fields itself. Handles and records freed here are the first reused.
void ReleaseObject(int32_t hObject);
// Frees a type record that never got its slot (a creation that failed after filling it);
// caller holds the system lock. Records become free only through these two functions.
void ReleaseRecord(int32_t eObjectType, int32_t lIndex);

// The record of hObject when ObjectExist(hObject) answers eObjectType, else null.
TaskDescript* TaskRecord(int32_t hTask);
BoxDescript* BoxRecord(int32_t hBox);
SemDescript* SemRecord(int32_t hSem);
TempoDescript* TempoRecord(int32_t hTempo);
TcpLinkRec* SockRecord(int32_t hLink);
SectionDescript* SectionRecord(int32_t hSection);
BinFileRec* FileRecord(int32_t hFile);
ShareDescript* ShareRecord(int32_t hShare);

// ---- the calling task, in constant time
// Binds the calling thread to a task handle (the task's thread entry and start-up call it).
void BindCurrentThread(int32_t hTask);
// The calling task's handle (-1 for a thread that is not a live task) and record (or null).
int32_t CurrentTaskHandle();
TaskDescript* CurrentTask();

}  // namespace kerval::core

#include "kerval/core/create_object.inl"
