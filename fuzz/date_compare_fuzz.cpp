// Date patterns and intervals, and the byte comparison with a wildcard, on any input.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <vector>

#include "kerval/kerval.h"

namespace {

MsgDate AnyDate(FuzzedDataProvider& in)
{
    MsgDate date{};
    int16_t* fields = &date.nYear;
    for (size_t i = 0; i < sizeof date / sizeof *fields; ++i)
        fields[i] = in.ConsumeIntegral<int16_t>();
    return date;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const MsgDate date = AnyDate(in);
    const MsgDate pattern = AnyDate(in);
    MsgDate interval[2] = {AnyDate(in), AnyDate(in)};
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
