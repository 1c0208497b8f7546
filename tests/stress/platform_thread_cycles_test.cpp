// Many create/terminate cycles leave no thread and no stack behind.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>

#include "kerval/platform/platform.h"

namespace kp = kerval::platform;

namespace {

long status_value(const char* key)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = key;
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0)
            return std::stol(line.substr(prefix.size()));
    }
    return -1;
}

void spin(void* arg)
{
    auto* stop = static_cast<std::atomic<bool>*>(arg);
    while (!stop->load(std::memory_order_relaxed)) {
        kp::perf_counter();  // ThreadSanitizer delivers signals only at library calls
    }
}

}  // namespace

TEST(PlatformThreadStress, TenThousandCreateTerminateCyclesLeakNothing)
{
    std::atomic<bool> stop{false};
    auto cycle = [&stop] {
        kp::Thread* t = kp::thread_create_suspended(spin, &stop, 64 * 1024);
        ASSERT_NE(t, nullptr);
        kp::thread_resume(t);
        ASSERT_TRUE(kp::thread_terminate(t));
        kp::thread_release(t);
    };
    for (int i = 0; i < 200; ++i)
        cycle();
    const long threads_before = status_value("Threads:");
    [[maybe_unused]] const long rss_before = status_value("VmRSS:");
    for (int i = 0; i < 10000; ++i)
        cycle();
    if (threads_before >= 0) {
        EXPECT_EQ(status_value("Threads:"), threads_before);
#if !defined(__SANITIZE_ADDRESS__)
        // AddressSanitizer keeps freed memory in quarantine; its leak checker covers that build.
        EXPECT_LT(status_value("VmRSS:") - rss_before, 32 * 1024);
#endif
    }
}
