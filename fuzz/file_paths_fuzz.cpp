// The file utilities that only look at a path, on any path text.
#include <string>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path(reinterpret_cast<const char*>(data), size);
    FileExist(path.c_str());
    MsgDate date{};
    FileDate(path.c_str(), &date);
    return 0;
}
