// Helpers for the tests of error reports, the trace log and the application stop: a fixed
// local time, whole-file reads, and a library started by a helper thread that stays parked.
#pragma once

#include <string>

#include "kerval/platform/platform.h"

namespace kvtest {

// The local time every clock read gives while a FixedClock lives: 05/03/2024 07:08:09.
class FixedClock {
public:
    FixedClock();
    ~FixedClock();
    FixedClock(const FixedClock&) = delete;
    FixedClock& operator=(const FixedClock&) = delete;
};

// The whole file read in text mode (so "\r\n" written on Windows reads "\n"); "" when absent.
std::string ReadTextFile(const std::string& path);
// The whole file read byte for byte.
std::string ReadBinaryFile(const std::string& path);
void WriteBinaryFile(const std::string& path, const std::string& bytes);

// Starts the library from a helper thread, which becomes "INITJOB" and then stays parked for
// the rest of the process, so that the test's own thread is no task: a fatal report's
// suspension of every task cannot freeze the test itself. Answers InitKerval's code.
int32_t StartKervalAside();

}  // namespace kvtest
