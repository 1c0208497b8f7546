// Binary file objects as the store task and the file operations use them internally.
//
// Lock: one file lock serialises every file operation, disk access included. It is taken before
// the system lock (held only to place or free an object), so a slow disk never delays the
// creation or deletion of other objects. Waits for the store task happen outside both.
#pragma once

#include <cstdint>

namespace kerval::file {

// Longest texts the objects and the requests keep; longer ones are refused, never cut.
constexpr size_t kPathMax = 262;
constexpr size_t kRequestPathMax = 259;
constexpr size_t kModeMax = 9;

// Origin of a store write that continues right after the previous write the store task made on
// the same object: the later chunks of one SlowWriteBinFile stay contiguous whatever the first
// chunk's origin, even when other requests come between them.
constexpr int32_t kOriginAfterStoreWrite = 3;

// A mode the C runtime accepts: r, w or a, then at most one '+' and one of 'b' or 't'.
bool ModeAccepted(const char* pszMode);
// A text that is not null and holds at most lMax characters.
bool TextFits(const char* pszText, size_t lMax);

// OpenBinFile without its argument checks (the caller made them).
int32_t OpenObject(const char* pszName, const char* pszPath, const char* pszMode, int32_t* phFile);
// WriteBinFile for the store task: lOrigin may also be kOriginAfterStoreWrite.
int32_t StoreWrite(int32_t hFile, int32_t lOffset, int32_t lOrigin, const void* pBuffer,
                   uint32_t lSize, uint8_t bFlush);
// CloseBinFile without waiting for the store task's queued requests.
int32_t CloseObject(int32_t hFile, uint8_t bDelete);

}  // namespace kerval::file
