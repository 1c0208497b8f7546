// Create/delete cycles of platform threads and of tasks leave no thread and no stack behind.
#include "tests/support/tasks.h"

namespace {

constexpr int kTaskCycles = kSlowBuild ? 1000 : 10000;

long StatusValue(const std::string& key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    return -1;
}

// Runs `cycle` to warm up, then `cycles` times more: threads and resident memory stay put. A
// leaked stack keeps its touched pages; the margin allows an allocator arena's first growth.
template <class Cycle> void ExpectNoLeak(int cycles, Cycle cycle) {
    for (int i = 0; i < 100; ++i) cycle(i);
    const long threads = StatusValue("Threads:");
    [[maybe_unused]] const long rss = StatusValue("VmRSS:");
    for (int i = 0; i < cycles && !::testing::Test::HasFailure(); ++i) cycle(i);
    if (threads < 0) return;
    EXPECT_EQ(StatusValue("Threads:"), threads);
#if !defined(__SANITIZE_ADDRESS__)  // freed memory sits in quarantine; the leak checker covers it
    EXPECT_LT(StatusValue("VmRSS:") - rss, 32 * 1024);
#endif
}

void Spin(void* arg) {
    while (!static_cast<std::atomic<bool>*>(arg)->load(std::memory_order_relaxed))
        kp::perf_counter();  // ThreadSanitizer delivers signals only at library calls
}

// Signals sent before a new thread has set itself up wait for it; nothing hangs.
TEST(PlatformThreadStress, JustStartedThreadsSuspendResumeAndTerminateAndLeakNothing) {
    std::atomic<bool> stop{false};
    ExpectNoLeak(10000, [&stop](int) {
        kp::Thread* t = kp::thread_create_suspended(Spin, &stop, 64 * 1024);
        ASSERT_NE(t, nullptr);
        kp::thread_resume(t);
        ASSERT_EQ(kp::thread_suspend(t), 0);
        ASSERT_EQ(kp::thread_resume(t), 1);
        ASSERT_TRUE(kp::thread_terminate(t));
        kp::thread_release(t);
    });
}

std::atomic<int> g_started{0};

uint32_t Idle(void*) {
    ++g_started;
    ReadFromTask(_InternalCurrentTaskHandle(__FILE__, __LINE__), nullptr, nullptr, nullptr, 0,
                 WAIT_FOREVER, nullptr, nullptr);
    return 0;
}

using TaskCycles = TaskTest;

// Every other task is deleted while blocked on its main box, the others possibly before running.
TEST_F(TaskCycles, CreateDeleteCyclesLeaveThreadsAndMemoryWhereTheyWere) {
    BeginCaptureStdout();  // "task CYCLE suspended" per cycle
    ExpectNoLeak(kTaskCycles, [](int n) {
        const int started = g_started;
        const int32_t box = Made(CreateMailBox, "CYCLE_BOX", 2);
        const int32_t task = Made(CreateTask, "CYCLE", 0, Idle, "p", 2u, 64u * 1024);
        ASSERT_EQ(SetTaskMainMailBox(task, box), eOK);
        if (n % 2 == 0) {
            ASSERT_TRUE(WaitFor([&] { return g_started > started; }));
        }
        ASSERT_EQ(DeleteTask(task), eOK);
    });
    EndCaptureStdout();
}

}  // namespace
