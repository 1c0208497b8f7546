// Helpers of the file tests: recognisable contents and a library with its store task running.
#pragma once

#include <string>

#include "kerval/file/store_service.h"
#include "tests/support/fixtures.h"

namespace kvtest {

// n bytes that differ from their neighbours and include line ends, Ctrl-Z, NUL and high bytes.
inline std::string Bytes(size_t n, size_t seed = 0)
{
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<char>((i + seed) * 131 + (i + seed) / 251);
    return out;
}

// The library started with its store task.
class StoreTest : public KervalTest {
protected:
    void SetUp() override
    {
        KervalTest::SetUp();
        ASSERT_EQ(0, kerval::file::StartService());
    }
};

}  // namespace kvtest
