// Long runs: many writers and readers on small shared boxes, and task creation/deletion cycles
// that must leave no thread and no stack behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kerval/kerval.h"
#include "tests/mailbox/box_helpers.h"
#include "tests/support/fixtures.h"

#if defined(__SANITIZE_THREAD__)
#define KV_TEST_SLOW_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KV_TEST_SLOW_BUILD 1
#endif
#endif

namespace {

#if defined(KV_TEST_SLOW_BUILD)
constexpr int kTotalMessages = 40000;
constexpr int kCycles = 1000;
#else
constexpr int kTotalMessages = 1000000;
constexpr int kCycles = 10000;
#endif
constexpr int kWriters = 8;
constexpr int kReaders = 2;
constexpr int kPerWriter = kTotalMessages / kWriters;
constexpr int32_t kStopType = 2;

struct Payload {
    int32_t writer;
    int32_t seq;
};

std::atomic<int32_t> g_boxes[2] = {-1, -1};
std::atomic<int> g_next_writer{0};
std::atomic<int> g_next_reader{0};
std::atomic<int> g_writers_done{0};
std::atomic<int> g_readers_done{0};
std::atomic<int> g_failures{0};
std::unique_ptr<std::atomic<uint8_t>[]> g_seen;  // one flag per message: exactly once
std::atomic<int> g_received{0};

// Writer w writes its sequence to box w % 2; both readers read both boxes in turn.
uint32_t Writer(void*)
{
    const int w = g_next_writer++;
    const int32_t box = g_boxes[w % 2];
    for (int seq = 0; seq < kPerWriter; ++seq) {
        const Payload p{w, seq};
        if (WriteMailBox(w, box, 1, &p, sizeof p, seq) != eOK)
            ++g_failures;
    }
    ++g_writers_done;
    return 0;
}

uint32_t Reader(void*)
{
    const int r = g_next_reader++;
    std::vector<int> last(kWriters, -1);
    int stops = 0;
    while (stops < 2) {
        for (int b = 0; b < 2 && stops < 2; ++b) {
            Payload p{};
            int32_t type = 0;
            uint32_t size = 0;
            const int32_t code =
                ReadMailBox(g_boxes[(b + r) % 2], &type, &p, &size, sizeof p, 10, nullptr, nullptr);
            if (code == eTIME_OVER)
                continue;
            if (code != eOK) {
                ++g_failures;
                continue;
            }
            if (type == kStopType) {
                ++stops;
                continue;
            }
            // Within one reader, a writer's messages come in writing order.
            if (size != sizeof p || p.writer < 0 || p.writer >= kWriters ||
                p.seq <= last[p.writer]) {
                ++g_failures;
                continue;
            }
            last[p.writer] = p.seq;
            if (g_seen[p.writer * kPerWriter + p.seq].exchange(1) != 0)
                ++g_failures;
            ++g_received;
        }
    }
    ++g_readers_done;
    return 0;
}

template <class Pred>
bool WaitFor(Pred pred, std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

using Stress = kvtest::TaskTest;

TEST_F(Stress, EightWritersTwoReadersEveryMessageOnceAndInOrder)
{
    g_seen = std::make_unique<std::atomic<uint8_t>[]>(kTotalMessages);
    int32_t a = -1, b = -1;
    ASSERT_EQ(CreateMailBox("SHARED_A", 4, &a), eOK);
    ASSERT_EQ(CreateMailBox("SHARED_B", 3, &b), eOK);
    g_boxes[0] = a;
    g_boxes[1] = b;
    kvtest::BeginCaptureStdout();  // the full-box lines
    for (int r = 0; r < kReaders; ++r) {
        int32_t h = -1;
        ASSERT_EQ(CreateTask(("READER" + std::to_string(r)).c_str(), 0, Reader, nullptr, 0, 0, &h),
                  eOK);
    }
    for (int w = 0; w < kWriters; ++w) {
        int32_t h = -1;
        ASSERT_EQ(CreateTask(("WRITER" + std::to_string(w)).c_str(), 0, Writer, nullptr, 0, 0, &h),
                  eOK);
    }
    const bool written =
        WaitFor([] { return g_writers_done.load() == kWriters; }, std::chrono::seconds(500));
    for (int i = 0; i < kReaders; ++i) {
        WriteMailBox(-1, a, kStopType, nullptr, 0, 0);
        WriteMailBox(-1, b, kStopType, nullptr, 0, 0);
    }
    const bool read =
        WaitFor([] { return g_readers_done.load() == kReaders; }, std::chrono::seconds(60));
    kvtest::EndCaptureStdout();
    ASSERT_TRUE(written);
    ASSERT_TRUE(read);
    EXPECT_EQ(g_failures.load(), 0);
    EXPECT_EQ(g_received.load(), kTotalMessages);
}

// Threads and virtual memory of the process, from /proc (0 where there is none).
long StatusField(const char* name)
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == name) {
            long value = 0;
            status >> value;
            return value;
        }
        std::getline(status, key);
    }
    return 0;
}

std::atomic<int> g_started{0};

uint32_t Idle(void*)
{
    ++g_started;
    ReadFromTask(_InternalCurrentTaskHandle(__FILE__, __LINE__), nullptr, nullptr, nullptr, 0,
                 WAIT_FOREVER, nullptr, nullptr);
    return 0;
}

// Every other task is deleted while blocked on its main box, the others possibly before running.
void CreateAndDelete(int n)
{
    const int started = g_started.load();
    int32_t task = -1;
    int32_t box = -1;
    ASSERT_EQ(CreateMailBox("CYCLE_BOX", 2, &box), eOK);
    ASSERT_EQ(CreateTask("CYCLE", 0, Idle, "p", 2, 64 * 1024, &task), eOK);
    ASSERT_EQ(SetTaskMainMailBox(task, box), eOK);
    if (n % 2 == 0) {
        ASSERT_TRUE(WaitFor([&] { return g_started.load() > started; }, std::chrono::seconds(20)));
    }
    ASSERT_EQ(DeleteTask(task), eOK);
}

TEST_F(Stress, CreateDeleteCyclesLeaveThreadsAndMemoryWhereTheyWere)
{
    kvtest::BeginCaptureStdout();  // "task CYCLE suspended" per cycle
    for (int n = 0; n < 50; ++n)
        CreateAndDelete(n);
    const long threads = StatusField("Threads:");
    const long vm_kb = StatusField("VmSize:");
    for (int n = 0; n < kCycles && !HasFailure(); ++n)
        CreateAndDelete(n + 50);
    const long threads_after = StatusField("Threads:");
    const long vm_kb_after = StatusField("VmSize:");
    kvtest::EndCaptureStdout();
    EXPECT_EQ(threads_after, threads);
    // A leaked stack would cost 64 KiB or more per cycle (625 MiB over the release build's
    // cycles); the allocator may reserve one more 64 MiB arena meanwhile.
    EXPECT_LT(vm_kb_after - vm_kb, 96 * 1024);
}

}  // namespace
