// Objects placed through the core's creation transaction with records the test fills itself.
#pragma once

#include "kerval/core/core.h"
#include "tests/support/fixtures.h"

namespace coretest {

// Creates an object of a type whose existence needs only its record's bUsed (semaphores,
// tempos, shared memory...). Answers the creation code.
inline int32_t CreatePlain(int32_t eObjectType, const char* pszName, int32_t* phOut) {
    using namespace kerval::core;
    return CreateObject(eObjectType, pszName, phOut,
                        [eObjectType](int32_t, int32_t index, const char*) {
                            const TypeTable table = TableOf(Sys(), eObjectType);
                            if (IsKnownType(eObjectType)) *table.UsedFlag(index) = 1;
                            return static_cast<int32_t>(eOK);
                        });
}

inline void Delete(int32_t hObject) {
    kerval::core::SysLock lock;
    kerval::core::ReleaseObject(hObject);
}

}  // namespace coretest
