// Object names: any text as the name of a new object; a created object is found by its name (cut
// to 128 characters), and neither its handle nor its name answer once it is deleted.
#include <fuzzer/FuzzedDataProvider.h>

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
    FuzzedDataProvider in(data, size);
    const std::string name = in.ConsumeRandomLengthString(300);
    const std::string stored = std::string(name.c_str()).substr(0, KV_NAME_MAX);
    FindObjectMirror(name.c_str());
    int32_t box = -1;
    if (CreateMailBox(name.c_str(), in.ConsumeIntegral<uint16_t>(), &box) != eOK) {
        if (box != -1)
            std::abort();
        return 0;
    }
    if (FindObjectMirror(stored.c_str()) != box || ObjectExist(box) != MAILBOX_OBJECT ||
        stored != NameFromObject(box))
        std::abort();
    int32_t twin = -1;
    if (CreateMailBox(stored.c_str(), 1, &twin) != eOBJECT_EXIST || twin != -1)
        std::abort();
    DeleteMailBox(box);
    if (FindObjectMirror(stored.c_str()) != -1 || ObjectExist(box) != NULL_OBJECT)
        std::abort();
    char generated[KV_NAME_MAX + 1] = {};
    GenerateName(generated);
    return 0;
}
