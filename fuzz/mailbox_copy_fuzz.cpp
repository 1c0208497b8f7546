// Mailbox copies of any size into reading buffers of any size: a message is read whole or the
// read says the buffer is too short, and either way it leaves the box.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    kvfuzz::StartLibrary();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int32_t box = -1;
    if (box < 0 && CreateMailBox("FUZZ_BOX", 8, &box) != eOK)
        std::abort();
    FuzzedDataProvider in(data, size);
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
