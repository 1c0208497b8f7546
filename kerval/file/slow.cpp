// The Slow file operations: they queue open, write and close requests for the store task and
// return as soon as the requests are in its mailbox.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kerval/core/alloc.h"
#include "kerval/core/core.h"
#include "kerval/file/bin_file.h"
#include "kerval/file/store_requests.h"
#include "kerval/kerval.h"

namespace kerval::file {
namespace {

constexpr int64_t kLargestOffset = INT32_MAX;

template <size_t N>
void CopyText(char (&field)[N], const char* text)
{
    std::memset(field, 0, N);
    std::memcpy(field, text, strnlen(text, N - 1));
}

int32_t Post(const char* name, int32_t lType, const void* pPayload, uint32_t lSize)
{
    if (!CountPosted(name))
        return eNOK;
    const int32_t code = WriteMailBox(core::CurrentTaskHandle(), FindObjectMirror(kStoreBoxName),
                                      lType, pPayload, lSize, -1);
    if (code != eOK)
        CountPerformed(name);
    return code;
}

// Where chunk k goes: chunk 0 where the caller asked; from the start, the later chunks at their
// own offsets while these fit in 32 bits; otherwise right after the previous chunk.
void PlaceChunk(StoreWriteRequest& rq, int32_t lOffset, int32_t lOrigin, uint32_t k)
{
    const int64_t offset = static_cast<int64_t>(lOffset) + int64_t{kStoreChunk} * k;
    const bool explicit_offset = k == 0 || (lOrigin == SEEK_SET && offset <= kLargestOffset);
    rq.lOffset = explicit_offset ? static_cast<int32_t>(offset) : 0;
    rq.lOrigin = explicit_offset ? lOrigin : kOriginAfterStoreWrite;
}

}  // namespace
}  // namespace kerval::file

using namespace kerval::file;
namespace core = kerval::core;

extern "C" {

int32_t SlowOpenBinFile(const char* pszName, const char* pszPath, const char* pszMode)
{
    if (pszName == nullptr || !TextFits(pszPath, kRequestPathMax) || !ModeAccepted(pszMode))
        return eINVALID_PARAM;
    // A name over 128 characters is reported and cut, as for any object.
    core::ObjectName name;
    core::CheckedNameCopy(pszName, name);
    StoreOpenRequest rq;
    CopyText(rq.szName, name);
    CopyText(rq.szPath, pszPath);
    CopyText(rq.szMode, pszMode);
    return Post(name, kStoreOpen, &rq, sizeof rq);
}

// The chunks are posted in order; the first failed post ends the posting and is the answer.
int32_t SlowWriteBinFile(const char* pszName, int32_t lOffset, int32_t lOrigin, const void* pBuffer,
                         uint32_t lSize, uint8_t bFlush)
{
    if (pszName == nullptr || pBuffer == nullptr || lOrigin < SEEK_SET || lOrigin > SEEK_END)
        return eINVALID_PARAM;
    core::ObjectName name;
    core::CheckedNameCopy(pszName, name);
    if (lSize == 0)
        return eOK;
    const core::Block<StoreWriteRequest> rq(
        static_cast<StoreWriteRequest*>(core::Calloc(1, sizeof(StoreWriteRequest))));
    if (!rq)
        return eNOK;
    CopyText(rq->szName, name);
    rq->bFlush = bFlush;
    const auto* bytes = static_cast<const uint8_t*>(pBuffer);
    for (uint32_t k = 0, done = 0; done < lSize; ++k, done += rq->lCount) {
        rq->lCount = std::min(kStoreChunk, lSize - done);
        std::memcpy(rq->data, bytes + done, rq->lCount);
        PlaceChunk(*rq, lOffset, lOrigin, k);
        const int32_t code = Post(name, kStoreWrite, rq.get(), sizeof *rq);
        if (code != eOK)
            return code;
    }
    return eOK;
}

int32_t SlowCloseBinFile(const char* pszName)
{
    if (pszName == nullptr)
        return eINVALID_PARAM;
    core::ObjectName name;
    core::CheckedNameCopy(pszName, name);
    StoreOpenRequest rq;
    CopyText(rq.szName, name);
    std::memset(rq.szPath, 0, sizeof rq.szPath + sizeof rq.szMode);
    return Post(name, kStoreClose, &rq, sizeof rq);
}

}  // extern "C"
