// Frame dumps, bits as text and the check byte on any bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kerval/kerval.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static std::FILE* sink = std::fopen("/dev/null", "wb");
    const auto length = static_cast<int32_t>(size);
    PrintTrameDebug(data, length, sink, 0);
    uint8_t expected = 0;
    for (size_t i = 0; i < size; ++i)
        expected ^= data[i];
    if (size > 0 && size <= 65535 && BCC(length, data) != (expected | 0x40))
        std::abort();
    char bits[9];
    for (size_t i = 0; i < size && i < 8; ++i) {
        std::memset(bits, '#', sizeof bits);
        FmtBinaire(data[i], bits);
        if (std::strlen(bits) != 8)
            std::abort();
    }
    return 0;
}
