// Console input from any standard input: a line of any length, menu choices, single keys.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    kvfuzz::StartLibrary();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::FILE* file = std::fopen("input.bin", "wb");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size)
        std::abort();
    std::fclose(file);
    if (std::freopen("input.bin", "rb", stdin) == nullptr)
        std::abort();
    char line[KV_INPUT_STRING_MAX + 16];
    std::memset(line, '#', sizeof line);
    if (InputString(line) != nullptr && strnlen(line, sizeof line) >= KV_INPUT_STRING_MAX)
        std::abort();  // null at the end of input leaves the buffer as it was
    const int16_t choice = InputMenuChoice();
    if (choice < 0 || choice > 9)
        std::abort();
    InputChar();
    return 0;
}
