// The requests the Slow file operations post to the store task's mailbox, and the count of
// requests still queued per file object name.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kerval/kerval.h"

namespace kerval::file {

constexpr const char* kStoreTaskName = "_STORE_TASK";
constexpr const char* kStoreBoxName = "_STORE_BOX";
constexpr uint16_t kStoreBoxCapacity = 10;
constexpr uint32_t kStoreChunk = 2048;

enum StoreRequestType : int32_t {
    kStoreWrite = 1,
    kStoreOpen = 2,
    kStoreClose = 3,
    // Internal: the store task signals the marker whose number the payload carries.
    kStoreMarker = 0x4B460001,
};

struct StoreWriteRequest {
    char szName[132];
    int32_t lOffset;
    int32_t lOrigin;
    uint8_t data[kStoreChunk];
    uint32_t lCount;
    uint8_t bFlush;
    uint8_t filler[3];
};
static_assert(sizeof(StoreWriteRequest) == 2196);
static_assert(offsetof(StoreWriteRequest, lOffset) == 132);
static_assert(offsetof(StoreWriteRequest, lOrigin) == 136);
static_assert(offsetof(StoreWriteRequest, data) == 140);
static_assert(offsetof(StoreWriteRequest, lCount) == 2188);
static_assert(offsetof(StoreWriteRequest, bFlush) == 2192);

// Open request; a close request uses only the name and posts the same 399 bytes.
struct StoreOpenRequest {
    char szName[129];
    char szPath[260];
    char szMode[10];
};
static_assert(sizeof(StoreOpenRequest) == 399);
static_assert(offsetof(StoreOpenRequest, szPath) == 129);
static_assert(offsetof(StoreOpenRequest, szMode) == 389);

// Requests posted for a name and not yet performed by the store task. CountPosted answers
// false when memory runs out (nothing is counted).
bool CountPosted(const char* name);
void CountPerformed(const char* name);
bool HasQueuedRequests(const char* name);

// The calling thread runs the store task.
bool IsStoreTask();

}  // namespace kerval::file
