// Mailbox copies of any size into reading buffers of any size: a message is read whole or the
// read says the buffer is too short, and either way it leaves the box. Shared-memory copies of
// any size: only the block's own size copies, any other leaves the block as it was.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    kvfuzz::StartLibrary();
    return 0;
}

namespace {

// A block of 1..4096 bytes made for this input; copies in and out with sizes near and far from
// its own.
void ShareCopies(FuzzedDataProvider& in)
{
    const uint32_t block = in.ConsumeIntegralInRange<uint32_t>(1, 4096);
    int32_t share = -1;
    if (CreateShareMem("FUZZ_SHARE", block, &share) != eOK)
        std::abort();
    std::vector<uint8_t> content(block, 0);
    for (int copies = in.ConsumeIntegralInRange<int>(0, 6); copies > 0; --copies) {
        const uint32_t size =
            in.ConsumeBool() ? block : in.ConsumeIntegralInRange<uint32_t>(0, 8192);
        std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(size);
        bytes.resize(size);
        const bool write = in.ConsumeBool();
        const int32_t code = write ? WriteShareMem(share, bytes.data(), size)
                                   : ReadShareMem(share, bytes.data(), size);
        if (code != (size == block ? eOK : eBAD_LEN))
            std::abort();
        if (code == eOK && write)
            content = bytes;
        if (code == eOK && !write && bytes != content)
            std::abort();
    }
    if (std::memcmp(PointOnShare(share), content.data(), block) != 0 ||
        DeleteShareMem(share) != eOK)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int32_t box = -1;
    if (box < 0 && CreateMailBox("FUZZ_BOX", 8, &box) != eOK)
        std::abort();
    FuzzedDataProvider in(data, size);
    ShareCopies(in);
    const int messages = in.ConsumeIntegralInRange<int>(1, 8);
    std::vector<std::vector<uint8_t>> sent;
    for (int i = 0; i < messages; ++i) {
        sent.push_back(in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 9000)));
        const std::vector<uint8_t>& m = sent.back();
        if (WriteMailBox(0, box, i, m.empty() ? nullptr : m.data(), static_cast<uint32_t>(m.size()),
                         0) != eOK)
            std::abort();
    }
    for (const std::vector<uint8_t>& m : sent) {
        std::vector<uint8_t> buffer(in.ConsumeIntegralInRange<size_t>(0, 9000) + 1);
        uint32_t got = 0;
        const int32_t code = ReadMailBox(box, nullptr, buffer.data(), &got,
                                         static_cast<int32_t>(buffer.size()), 0, nullptr, nullptr);
        const bool fits = m.size() <= buffer.size();
        if (fits && (code != eOK || got != m.size() ||
                     (!m.empty() && std::memcmp(buffer.data(), m.data(), m.size()) != 0)))
            std::abort();
        if (!fits && code != eBAD_LEN)
            std::abort();
    }
    uint32_t got = 0;
    if (ReadMailBox(box, nullptr, nullptr, &got, 0, 0, nullptr, nullptr) != eTIME_OVER)
        std::abort();  // nothing left behind
    return 0;
}
