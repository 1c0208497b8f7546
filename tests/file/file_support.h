// Helpers of the file tests: recognisable contents and a model of what a file holds.
#pragma once

#include "kerval/file/store_service.h"
#include "tests/support/tasks.h"

namespace kvtest {

// n bytes that differ from their neighbours and include line ends, Ctrl-Z, NUL and high bytes.
inline std::string Bytes(size_t n, size_t seed = 0) {
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i + seed) * 131 + (i + seed) / 251);
    return out;
}

// What a file holds, and where its stream stands, after writes at an offset from an origin.
struct FileModel {
    std::string bytes;
    size_t position = 0;
    void Write(int64_t offset, int32_t origin, const std::string& data) {
        const int64_t base = origin == 0   ? 0
                             : origin == 1 ? int64_t(position)
                                           : int64_t(bytes.size());
        const auto at = static_cast<size_t>(base + offset);
        bytes.resize(std::max(bytes.size(), at + data.size()), '\0');
        bytes.replace(at, data.size(), data);
        position = at + data.size();
    }
};

using StoreTest = KervalTest;  // the library's start-up runs the store task

}  // namespace kvtest
