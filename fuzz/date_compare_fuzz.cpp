// Date patterns and intervals, and the byte comparison with a wildcard, on any input.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const MsgDate date = kvfuzz::AnyDate(in);
    const MsgDate pattern = kvfuzz::AnyDate(in);
    MsgDate interval[2] = {kvfuzz::AnyDate(in), kvfuzz::AnyDate(in)};
    InfOrEgal(&date, &pattern);
    SupOrEgal(&date, &pattern);
    IsInInterval(&date, interval);
    FinalInitialDate(&date, &pattern);
    CompareDateField(date.nYear, pattern.nYear);

    const uint16_t length = in.ConsumeIntegralInRange<uint16_t>(0, 512);
    std::vector<uint8_t> a = in.ConsumeBytes<uint8_t>(length);
    std::vector<uint8_t> b = in.ConsumeRemainingBytes<uint8_t>();
    a.resize(length);  // both hold at least the compared length
    b.resize(length);
    const int16_t order = CompAscii(a.data(), b.data(), length);
    if (order < -1 || order > 1)
        std::abort();
    if (CompAscii(a.data(), a.data(), length) != 0)
        std::abort();  // any text equals itself
    return 0;
}
