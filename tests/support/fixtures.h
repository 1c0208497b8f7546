// Shared by every test: the usual headers, a private working directory, standard output
// capture, polling, a fixed clock, whole-file reads and writes, and the library's start.
#pragma once

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "kerval/kerval.h"
#include "kerval/platform/platform.h"

namespace kp = kerval::platform;

namespace kvtest {

using ::testing::HasSubstr;

// Sanitizer builds and Windows under Wine run the stress tests with smaller counts.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
inline constexpr bool kSlowBuild = true;
#else
inline constexpr bool kSlowBuild = false;
#endif

// The seed of a stress run: KV_STRESS_SEED when set, to replay a run, else `fallback`.
inline uint32_t StressSeed(uint32_t fallback = 20261206u)
{
    const char* env = std::getenv("KV_STRESS_SEED");
    return env != nullptr ? static_cast<uint32_t>(std::strtoul(env, nullptr, 10)) : fallback;
}

template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A fresh directory under the system temp folder, current while it lives; removed afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

private:
    std::filesystem::path previous_, path_;
};

class TempDirTest : public ::testing::Test {
protected:
    TempDir temp_dir_;
};

// Standard output capture at descriptor level (printf and the library's output alike), one at
// a time. The text comes back with "\r\n" turned into "\n".
void BeginCaptureStdout();
std::string EndCaptureStdout();

template <class Fn>
std::string CaptureStdoutOf(Fn&& fn)
{
    BeginCaptureStdout();
    fn();
    return EndCaptureStdout();
}

// The local time every clock read gives while a FixedClock lives: 05/03/2024 07:08:09.
class FixedClock {
public:
    FixedClock();
    ~FixedClock();
    FixedClock(const FixedClock&) = delete;
    FixedClock& operator=(const FixedClock&) = delete;
};

// The whole file in text mode (so "\r\n" written on Windows reads "\n"); "" when absent.
std::string ReadTextFile(const std::string& path);
std::string ReadBinaryFile(const std::string& path);
void WriteBinaryFile(const std::string& path, const std::string& bytes);

// The smallest accepted counts: 20 tasks, 20 mailboxes, 10 semaphores, 60 tempos, 5 of each
// other kind, no trace console.
InitOptions MinimalOptions();

// Starts the library once for this process with MinimalOptions(), whose record lives as long as
// the process; the start-up's output is shown only when it fails. Answers InitKerval's code.
int32_t StartKerval();

// Starts only the kernel (descriptor, tables, locks): the object table holds INITJOB alone.
int32_t StartKernelOnly();

// Starts the library from a helper thread, which becomes "INITJOB" and stays parked, so that a
// fatal report's suspension of every task cannot freeze the test's own thread.
int32_t StartKervalAside();

class KervalTest : public TempDirTest {
protected:
    void SetUp() override { ASSERT_EQ(StartKerval(), eOK); }
};

class KernelTest : public TempDirTest {
protected:
    void SetUp() override { ASSERT_EQ(StartKernelOnly(), eOK); }
};

}  // namespace kvtest
