// Object names: the name rules, the sorted name index MirrorTab and generated names.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "kerval/core/core.h"
#include "kerval/core/internal.h"

namespace kerval::core {
namespace {

// GenerateName's counter; the first name made is _O0000000002.
std::atomic<int32_t> g_name_counter{1};

class SharedIndexLock {
public:
    SharedIndexLock() { index::LockShared(); }
    ~SharedIndexLock() { index::UnlockShared(); }
    SharedIndexLock(const SharedIndexLock&) = delete;
    SharedIndexLock& operator=(const SharedIndexLock&) = delete;
};

class ExclusiveIndexLock {
public:
    ExclusiveIndexLock() { index::LockExclusive(); }
    ~ExclusiveIndexLock() { index::UnlockExclusive(); }
    ExclusiveIndexLock(const ExclusiveIndexLock&) = delete;
    ExclusiveIndexLock& operator=(const ExclusiveIndexLock&) = delete;
};

// First entry in use whose name is >= pszName (byte-wise unsigned, as strcmp).
int32_t LowerBound(const SysDescript* sys, const char* pszName)
{
    int32_t low = 0;
    int32_t high = sys->nNbMirror;
    while (low < high) {
        const int32_t middle = low + (high - low) / 2;
        if (std::strcmp(sys->MirrorTab[middle].szName, pszName) < 0) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

void SetEntry(MirrorEntry& entry, const char* pszName, int32_t hObject)
{
    std::strncpy(entry.szName, pszName, KV_NAME_MAX);
    entry.szName[KV_NAME_MAX] = '\0';
    entry.hObject = hObject;
}

void ReportLongName(const char* pszName, size_t length, const char* pszCut)
{
    std::printf("KERVAL : Object <%s> is too long (len=<%d / %d>)\n", pszName,
                static_cast<int>(length), KV_NAME_MAX);
    std::printf("KERVAL : \tObject Name is troncated <%s> !\n", pszCut);
}

// The handle MirrorTab holds for the name, if its slot is in use under that very name.
int32_t MirrorCandidate(const SysDescript* sys, const char* pszName)
{
    if (sys->nNbMirror <= 0)
        return -1;
    const int32_t at = LowerBound(sys, pszName);
    if (at >= sys->nNbMirror || std::strcmp(sys->MirrorTab[at].szName, pszName) != 0)
        return -1;
    const int32_t h = sys->MirrorTab[at].hObject;
    if (h < 0 || h >= sys->nNbObject)
        return -1;
    const ObjectSlot& slot = sys->pxObjectTab[h];
    if (LoadFlag(slot.bUsed) == 0 || std::strcmp(slot.szName, pszName) != 0)
        return -1;
    return h;
}

}  // namespace

int32_t CheckedNameCopy(const char* pszName, ObjectName& out)
{
    out[0] = '\0';
    if (pszName == nullptr)
        return 1;
    const size_t length = std::strlen(pszName);
    const size_t kept = std::min<size_t>(length, KV_NAME_MAX);
    std::memcpy(out, pszName, kept);
    out[kept] = '\0';
    if (length > KV_NAME_MAX)
        ReportLongName(pszName, length, out);
    return out[0] == '\0' ? 1 : 0;
}

int32_t CheckObjectName(char* pszName)
{
    ObjectName copy;
    const int32_t result = CheckedNameCopy(pszName, copy);
    if (pszName != nullptr && std::strlen(pszName) > KV_NAME_MAX)
        pszName[KV_NAME_MAX] = '\0';
    return result;
}

void SetGeneratedNameCounter(int32_t lValue)
{
    g_name_counter.store(lValue);
}

}  // namespace kerval::core

using namespace kerval::core;

void InsertObjectMirror(const char* pszName, int32_t hObject)
{
    SysDescript* sys = _pxSysDescript;
    if (sys == nullptr)
        return;
    ObjectName name;
    if (CheckedNameCopy(pszName, name) != 0) {
        char text[KV_NAME_MAX + 64];
        std::snprintf(text, sizeof text, "! InsertObjectMirror : %s is not a valid Name !!.\n",
                      name);
        DisplayTraceDebug(text, 1);
        return;
    }
    ExclusiveIndexLock guard;
    if (sys->nNbMirror == 0 && sys->nNbObject > 0) {
        SetEntry(sys->MirrorTab[0], name, hObject);
        sys->nNbMirror = 1;
        return;
    }
    if (sys->nNbMirror >= sys->nNbObject) {
        DisplayTraceDebug("! InsertObjectMirror : Can't insert more object in MirrorTab.\n", 1);
        return;
    }
    const int32_t at = LowerBound(sys, name);
    MirrorEntry* entries = sys->MirrorTab;
    if (at < sys->nNbMirror && std::strcmp(entries[at].szName, name) == 0) {
        SetEntry(entries[at], name, hObject);
        return;
    }
    std::memmove(&entries[at + 1], &entries[at],
                 sizeof(MirrorEntry) * static_cast<size_t>(sys->nNbMirror - at));
    SetEntry(entries[at], name, hObject);
    ++sys->nNbMirror;
}

int32_t FindObjectMirror(const char* pszName)
{
    const SysDescript* sys = _pxSysDescript;
    if (sys == nullptr || pszName == nullptr || pszName[0] == '\0')
        return -1;
    {
        SharedIndexLock guard;
        const int32_t h = MirrorCandidate(sys, pszName);
        if (h >= 0)
            return h;
    }
    ObjectName name;  // a name over 128 characters is reported and cut
    if (CheckedNameCopy(pszName, name) != 0)
        return -1;
    int32_t h = -1;
    {
        SharedIndexLock guard;
        h = index::HandleOfName(name);
    }
    return h >= 0 && ObjectExist(h) != 0 ? h : -1;
}

char* GenerateName(char* pszBuffer)
{
    if (pszBuffer == nullptr)
        return pszBuffer;
    SysLock lock;
    do {
        int32_t next = g_name_counter.load(std::memory_order_relaxed) + 1;
        if (next >= 2000000000)
            next = 1;
        g_name_counter.store(next, std::memory_order_relaxed);
        char text[24];
        std::snprintf(text, sizeof text, "_O%010d", static_cast<int>(next));
        std::memcpy(pszBuffer, text, 13);
    } while (FindObjectMirror(pszBuffer) != -1);
    return pszBuffer;
}
