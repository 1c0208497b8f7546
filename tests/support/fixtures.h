// Shared test fixtures: a private working directory per test, standard output capture, and a
// helper that starts the library with the smallest accepted options.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "kerval/kerval.h"

namespace kvtest {

// Sanitizer builds and Windows under Wine run the stress tests with smaller counts.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
inline constexpr bool kSlowBuild = true;
#else
inline constexpr bool kSlowBuild = false;
#endif

// Creates a fresh directory under the system temp folder and makes it the current directory;
// the previous current directory comes back and the folder is removed when it goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

private:
    std::filesystem::path previous_;
    std::filesystem::path path_;
};

// Fixture: every test of it runs in its own temp directory (the current directory).
class TempDirTest : public ::testing::Test {
protected:
    TempDir temp_dir_;
};

// Standard output capture (file-descriptor level, so printf and the library's output are seen).
// Only one capture may be active at a time. The text comes back with "\r\n" turned into "\n".
void BeginCaptureStdout();
std::string EndCaptureStdout();

// Captures what fn writes on standard output.
template <class Fn>
std::string CaptureStdoutOf(Fn&& fn)
{
    BeginCaptureStdout();
    fn();
    return EndCaptureStdout();
}

// The options the library accepts with the smallest counts: 20 tasks, 20 mailboxes,
// 10 semaphores, 60 tempos, 5 of each other kind, no trace console.
InitOptions MinimalOptions();

// Starts the library once for this process with MinimalOptions(); the options record lives as
// long as the process. Standard output of the start-up is swallowed unless it fails.
// Answers InitKerval's code.
int32_t StartKerval();

// Starts only the kernel (descriptor, tables, locks) without the library's own objects, so that
// the object table holds INITJOB alone. Answers eOK or eNOK.
int32_t StartKernelOnly();

// Fixture: a temp directory as current directory, and the library started (asserted).
class KervalTest : public TempDirTest {
protected:
    void SetUp() override { ASSERT_EQ(StartKerval(), eOK); }
};

// Fixture: a temp directory as current directory, and the kernel alone started (asserted).
class KernelTest : public TempDirTest {
protected:
    void SetUp() override { ASSERT_EQ(StartKernelOnly(), eOK); }
};

}  // namespace kvtest
