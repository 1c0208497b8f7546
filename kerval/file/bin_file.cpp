// Binary file objects: named C streams opened, read, written and closed by handle.
//
// Lock order: g_file_lock, then the system lock (only to place or free an object), then
// g_path_lock. A failed reopen, seek, read or write closes and deletes the object.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "kerval/core/alloc.h"
#include "kerval/core/core.h"
#include "kerval/core/internal.h"
#include "kerval/file/bin_file.h"
#include "kerval/file/store_requests.h"
#include "kerval/file/store_service.h"
#include "kerval/kerval.h"
#include "kerval/platform/platform.h"

namespace kerval::file {
namespace {

enum class Direction { kNone, kRead, kWrite };

// What the library knows of a stream's position, so that a seek that would not move it (and
// would flush its buffer) is skipped. A read may follow a write, and the reverse, only after a
// seek: `last` tells which direction the stream was used in since its last seek.
struct StreamState {
    int64_t position = 0;  // -1 unknown
    Direction last = Direction::kNone;
    bool byte_positions = true;      // binary and not appending: positions are byte counts
    int64_t after_store_write = -1;  // where the store task's last write ended, -1 unknown
};

platform::GuardedMutex g_file_lock;
// One per file record, sized by the first creation; guarded by g_file_lock.
std::vector<StreamState, core::Allocator<StreamState>> g_states;

// Guards the records' szPath, so that HandleFromFile never waits for the disk.
platform::GuardedMutex g_path_lock;

const char kUnknownFile[] = "unknown file";

int32_t RecordIndex(int32_t hFile)
{
    return core::LoadInt(core::Sys()->pxObjectTab[hFile].nIndex);
}

// Sizes the states for the descriptor's file table; false when memory runs out. Caller holds
// g_file_lock.
bool StatesReady()
{
    const auto count = static_cast<size_t>(core::Sys()->nNbFile);
    return g_states.size() == count || core::Grown([&] { g_states.assign(count, StreamState{}); });
}

// Caller holds g_file_lock.
StreamState& StateOf(int32_t index)
{
    return g_states[static_cast<size_t>(index)];
}

void ResetState(StreamState& state, const char* pszMode, bool keep_store_position)
{
    const int64_t after_store = keep_store_position ? state.after_store_write : -1;
    state = StreamState{};
    state.byte_positions = pszMode[0] != 'a' && std::strchr(pszMode, 'b') != nullptr;
    state.after_store_write = after_store;
}

// Index of the first record in use opened on that path, or -1.
int32_t PathIndex(const char* pszPath)
{
    std::lock_guard guard(g_path_lock);
    const SysDescript* sys = core::Sys();
    for (int32_t i = 0; sys != nullptr && i < sys->nNbFile; ++i) {
        const BinFileRec& rec = sys->pxFileTab[i];
        if (core::LoadFlag(rec.bUsed) != 0 && std::strcmp(rec.szPath, pszPath) == 0)
            return i;
    }
    return -1;
}

void SetPath(BinFileRec& rec, const char* pszPath)
{
    std::lock_guard guard(g_path_lock);
    std::memcpy(rec.szPath, pszPath, std::strlen(pszPath) + 1);
}

// Opens the stream at its start into the record. Caller holds g_file_lock.
bool OpenStream(BinFileRec& rec, StreamState& state, const char* pszMode, bool keep_store)
{
    std::FILE* stream = core::OpenStream(rec.szPath, pszMode);
    if (stream == nullptr)
        return false;
    std::rewind(stream);
    rec.pStream = stream;
    rec.bOpen = 1;
    ResetState(state, pszMode, keep_store);
    return true;
}

// Closes the stream if it is open; false when its last buffered bytes could not be written.
bool CloseStream(BinFileRec& rec)
{
    if (rec.bOpen == 0)
        return true;
    const bool closed = std::fclose(rec.pStream) == 0;
    rec.pStream = nullptr;
    rec.bOpen = 0;
    return closed;
}

// Closes and deletes the object. Caller holds g_file_lock.
void DeleteObject(int32_t hFile, BinFileRec& rec)
{
    const int32_t index = RecordIndex(hFile);
    CloseStream(rec);
    SetPath(rec, "");
    core::SysLock lock;
    core::ReleaseObject(hFile);
    StateOf(index) = StreamState{};
}

// Object with that path reopened with the new mode; -1 when none (a failed reopen deletes it).
int32_t ReopenExisting(const char* pszPath, const char* pszMode)
{
    const int32_t hFile = core::HandleFromIndex(PathIndex(pszPath), FILE_OBJECT);
    BinFileRec* rec = core::FileRecord(hFile);
    if (rec == nullptr)
        return -1;
    CloseStream(*rec);
    if (OpenStream(*rec, StateOf(RecordIndex(hFile)), pszMode, false))
        return hFile;
    DeleteObject(hFile, *rec);
    return -1;
}

// The name is checked and placed before the disk is touched, so that a refused name creates no
// file; the object is then created with the stream already open.
int32_t CreateFileObject(const char* pszName, const char* pszPath, const char* pszMode,
                         int32_t* phFile)
{
    core::ObjectName name;
    if (core::CheckedNameCopy(pszName, name) != 0)
        return eNOK;
    int32_t hFile = -1;
    int32_t index = -1;
    int32_t code = core::CanCreateObject(FILE_OBJECT, name, &hFile, &index);
    if (code != eOK)
        return code;
    if (!StatesReady())
        return eNOK;
    BinFileRec opened{};
    std::strcpy(opened.szPath, pszPath);
    StreamState state;
    if (!OpenStream(opened, state, pszMode, false))
        return eNOK;
    code = core::CreateObject(FILE_OBJECT, name, &hFile, [&](int32_t, int32_t at, const char*) {
        BinFileRec& rec = core::Sys()->pxFileTab[at];
        SetPath(rec, opened.szPath);
        rec.pStream = opened.pStream;
        rec.bOpen = 1;
        core::StoreFlag(rec.bUsed, 1);
        StateOf(at) = state;
        return eOK;
    });
    if (code != eOK) {
        std::fclose(opened.pStream);
        return code;
    }
    if (phFile != nullptr)
        *phFile = hFile;
    return eOK;
}

// Positions the stream for a transfer in the given direction; skips a seek that would not move
// it. Caller holds g_file_lock.
bool Seek(std::FILE* stream, StreamState& state, int64_t offset, int32_t origin, Direction dir)
{
    if (origin == kOriginAfterStoreWrite) {
        origin = state.after_store_write >= 0 ? SEEK_SET : SEEK_CUR;
        offset = state.after_store_write >= 0 ? state.after_store_write : 0;
    }
    const bool same_direction = state.last == dir || state.last == Direction::kNone;
    const bool in_place = (origin == SEEK_CUR && offset == 0) ||
                          (origin == SEEK_SET && state.position >= 0 && offset == state.position);
    if (same_direction && in_place)
        return true;
    if (!platform::file_seek(stream, offset, origin))
        return false;
    state.last = Direction::kNone;
    if (origin == SEEK_SET && state.byte_positions) {
        state.position = offset;
    } else if (origin == SEEK_CUR && state.position >= 0 && state.byte_positions) {
        state.position += offset;
    } else {
        state.position = state.byte_positions ? platform::file_tell(stream) : -1;
    }
    return true;
}

// Moves all lSize bytes; a write asked to flush succeeds only once the bytes reached the file.
bool Move(std::FILE* stream, Direction dir, void* pBuffer, uint32_t lSize, uint8_t bFlush)
{
    if (dir == Direction::kRead)
        return std::fread(pBuffer, 1, lSize, stream) == lSize;
    const bool written = std::fwrite(pBuffer, 1, lSize, stream) == lSize;
    return written && (bFlush != 1 || std::fflush(stream) == 0);
}

// Reads or writes under the file lock. A closed object is reopened in "r+b"; any failure
// deletes the object.
int32_t Transfer(int32_t hFile, int64_t offset, int32_t origin, void* pBuffer, uint32_t lSize,
                 Direction dir, uint8_t bFlush, bool by_store)
{
    std::lock_guard lock(g_file_lock);
    BinFileRec* rec = core::FileRecord(hFile);
    if (rec == nullptr)
        return eINVALID_HANDLE;
    StreamState& state = StateOf(RecordIndex(hFile));
    if (rec->bOpen == 0 && !OpenStream(*rec, state, "r+b", true)) {
        DeleteObject(hFile, *rec);
        return dir == Direction::kRead ? eINVALID_HANDLE : eNOK;
    }
    if (!Seek(rec->pStream, state, offset, origin, dir) ||
        !Move(rec->pStream, dir, pBuffer, lSize, bFlush)) {
        DeleteObject(hFile, *rec);
        return eNOK;
    }
    state.last = dir;
    state.position = state.position >= 0 && state.byte_positions ? state.position + lSize : -1;
    if (by_store)
        state.after_store_write =
            state.byte_positions ? state.position : platform::file_tell(rec->pStream);
    return eOK;
}

bool ValidOrigin(int32_t lOrigin)
{
    return lOrigin >= SEEK_SET && lOrigin <= SEEK_END;
}

static_assert(SEEK_SET == 0 && SEEK_CUR == 1 && SEEK_END == 2, "origins are the C runtime's");

// Lets the store task finish the requests queued for the object before it is closed. Runs
// outside every lock.
void WaitForQueuedRequests(int32_t hFile)
{
    if (ObjectExist(hFile) != FILE_OBJECT || IsStoreTask())
        return;
    core::ObjectName name;
    core::index::LockShared();  // slot names change under the index's exclusive lock
    std::strcpy(name, NameFromObject(hFile));
    core::index::UnlockShared();
    if (HasQueuedRequests(name))
        WaitForStoreRequests();
}

}  // namespace

bool TextFits(const char* pszText, size_t lMax)
{
    return pszText != nullptr && std::strlen(pszText) <= lMax;
}

bool ModeAccepted(const char* pszMode)
{
    if (!TextFits(pszMode, kModeMax) || pszMode[0] == '\0' ||
        std::strchr("rwa", pszMode[0]) == nullptr)
        return false;
    int plus = 0;
    int kind = 0;
    for (const char* c = pszMode + 1; *c != '\0'; ++c) {
        if (*c == '+') {
            ++plus;
        } else if (*c == 'b' || *c == 't') {
            ++kind;
        } else {
            return false;
        }
    }
    return plus <= 1 && kind <= 1;
}

int32_t OpenObject(const char* pszName, const char* pszPath, const char* pszMode, int32_t* phFile)
{
    std::lock_guard lock(g_file_lock);
    const int32_t reused = ReopenExisting(pszPath, pszMode);
    if (reused >= 0) {
        if (phFile != nullptr)
            *phFile = reused;
        return eOK;
    }
    return CreateFileObject(pszName, pszPath, pszMode, phFile);
}

int32_t StoreWrite(int32_t hFile, int32_t lOffset, int32_t lOrigin, const void* pBuffer,
                   uint32_t lSize, uint8_t bFlush)
{
    if (!ValidOrigin(lOrigin) && lOrigin != kOriginAfterStoreWrite)
        return eINVALID_PARAM;
    return Transfer(hFile, lOffset, lOrigin, const_cast<void*>(pBuffer), lSize, Direction::kWrite,
                    bFlush, true);
}

int32_t CloseObject(int32_t hFile, uint8_t bDelete)
{
    std::lock_guard lock(g_file_lock);
    BinFileRec* rec = core::FileRecord(hFile);
    if (rec == nullptr)
        return eNOK;
    const bool closed = CloseStream(*rec);
    if (bDelete == 1)
        DeleteObject(hFile, *rec);
    return closed ? eOK : eNOK;
}

}  // namespace kerval::file

using namespace kerval;
using namespace kerval::file;

extern "C" {

int32_t OpenBinFile(const char* pszName, const char* pszPath, const char* pszMode, int32_t* phFile)
{
    if (pszName == nullptr || !TextFits(pszPath, kPathMax) || !ModeAccepted(pszMode))
        return eINVALID_PARAM;
    return OpenObject(pszName, pszPath, pszMode, phFile);
}

int32_t ReadBinFile(int32_t hFile, int32_t lOffset, int32_t lOrigin, void* pBuffer, uint32_t lSize)
{
    if (!ValidOrigin(lOrigin) || pBuffer == nullptr)
        return eINVALID_PARAM;
    return Transfer(hFile, lOffset, lOrigin, pBuffer, lSize, Direction::kRead, 0, false);
}

int32_t WriteBinFile(int32_t hFile, int32_t lOffset, int32_t lOrigin, const void* pBuffer,
                     uint32_t lSize, uint8_t bFlush)
{
    if (!ValidOrigin(lOrigin) || pBuffer == nullptr)
        return eINVALID_PARAM;
    return Transfer(hFile, lOffset, lOrigin, const_cast<void*>(pBuffer), lSize, Direction::kWrite,
                    bFlush, false);
}

// Also answers eNOK when the stream's last buffered bytes could not be written.
int32_t CloseBinFile(int32_t hFile, uint8_t bDelete)
{
    WaitForQueuedRequests(hFile);
    return CloseObject(hFile, bDelete);
}

int32_t HandleFromFile(const char* pszPath)
{
    if (pszPath == nullptr)
        return -1;
    return core::HandleFromIndex(PathIndex(pszPath), FILE_OBJECT);
}

const char* FileNameFromHandle(int32_t hFile)
{
    const BinFileRec* rec = core::FileRecord(hFile);
    return rec == nullptr ? kUnknownFile : rec->szPath;
}

}  // extern "C"
