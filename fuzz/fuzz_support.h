// Shared by the fuzz targets: a library start in a scratch folder of its own (removed at exit)
// with standard output silenced, since reports go there; any date record.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <unistd.h>

#include "kerval/kerval.h"

namespace kvfuzz {

inline std::filesystem::path& Scratch()
{
    static std::filesystem::path path;
    return path;
}

inline void RemoveScratch()
{
    std::error_code ignored;
    std::filesystem::current_path(std::filesystem::temp_directory_path(), ignored);
    std::filesystem::remove_all(Scratch(), ignored);
}

// Makes and enters a scratch folder, silences standard output and starts the library.
inline void StartLibrary()
{
    Scratch() = std::filesystem::temp_directory_path() /
                ("kvfuzz-" + std::to_string(std::rand()) + "-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Scratch());
    std::filesystem::current_path(Scratch());
    std::atexit(RemoveScratch);
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::abort();
    static InitOptions options = {0, 40, 40, 20, 100, 5, 5, 5, 5, 0};
    if (InitKerval(&options) != eOK)
        std::abort();
}

// A date record with any value in every field.
inline MsgDate AnyDate(FuzzedDataProvider& in)
{
    MsgDate date{};
    int16_t* fields = &date.nYear;
    for (size_t i = 0; i < sizeof date / sizeof *fields; ++i)
        fields[i] = in.ConsumeIntegral<int16_t>();
    return date;
}

}  // namespace kvfuzz
