// One writer task and one reader (the benchmark thread), 64-byte messages:
//  - a box of capacity 10 against a POSIX message queue of depth 10;
//  - a box of capacity 65535 kept busy against a std::mutex + std::condition_variable queue that
//    allocates an envelope and a data copy per message;
//  - back-pressure: the same two boxes with a reader slower than the writer;
//  - write + read in one task with 10 and with 10,000 messages queued (append cost);
//  - uncontended write + read in one task against the condvar queue (also for callgrind:
//    the Uncontended benchmarks run a fixed number of iterations).
//
// A writer that finds its box full prints two lines each time: run with stdout to /dev/null
// and the results in a file, or the terminal's pace sets the figures.
//
//   kv_bench_mailbox_throughput --benchmark_repetitions=5
//       --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
//       --benchmark_out=results.txt --benchmark_out_format=console > /dev/null
//
// Instruction counts of the uncontended pair (divide by the 200,000 iterations):
//   valgrind --tool=callgrind '--toggle-collect=*UncontendedKerval*'
//       kv_bench_mailbox_throughput --benchmark_filter=UncontendedKerval   (and ...Condvar)
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "task_bench_support.h"

namespace {

struct Message {
    char bytes[64];
};

constexpr int32_t kStop = 2;
constexpr int kUncontendedIterations = 200000;

std::atomic<int32_t> g_target_box{-1};
std::atomic<bool> g_stop_flood{false};
std::atomic<bool> g_flood_done{false};

// Writes until told to stop.
uint32_t Flood(void*)
{
    const int32_t me = _InternalCurrentTaskHandle(__FILE__, __LINE__);
    const int32_t box = g_target_box.load();
    Message msg{};
    while (!g_stop_flood.load(std::memory_order_relaxed)) {
        WriteMailBox(me, box, 1, &msg, sizeof msg, 0);
    }
    g_flood_done = true;
    return 0;
}

void SpinMicroseconds(int us)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    while (std::chrono::steady_clock::now() < until) {
    }
}

// Reads what a flooding writer task sends through a box of the given capacity.
void KervalStream(benchmark::State& state, uint16_t capacity, int reader_delay_us)
{
    kvbench::StartLibrary();
    int32_t box = -1;
    int32_t writer = -1;
    CreateMailBox("STREAM_BOX", capacity, &box);
    g_target_box = box;
    g_stop_flood = false;
    g_flood_done = false;
    CreateTask("FLOOD", THREAD_PRIORITY_NORMAL, Flood, nullptr, 0, 0, &writer);
    Message msg{};
    kvbench::SwitchCounter switches(state);
    for (auto _ : state) {
        uint32_t size = 0;
        ReadMailBox(box, nullptr, &msg, &size, sizeof msg, WAIT_FOREVER, nullptr, nullptr);
        if (reader_delay_us > 0)
            SpinMicroseconds(reader_delay_us);
    }
    g_stop_flood = true;
    while (!g_flood_done.load())
        ReadMailBox(box, nullptr, nullptr, nullptr, 0, 1, nullptr, nullptr);
    DeleteTask(writer);
    DeleteMailBox(box);
    state.SetItemsProcessed(state.iterations());
}

void MqueueStream(benchmark::State& state)
{
    const mqd_t q = kvbench::OpenQueue("stream", 10, sizeof(Message));
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::thread writer([&] {
        Message msg{};
        while (!stop.load(std::memory_order_relaxed)) {
            mq_send(q, reinterpret_cast<const char*>(&msg), sizeof msg, 0);
        }
        done = true;
    });
    Message msg{};
    kvbench::SwitchCounter switches(state);
    for (auto _ : state)
        mq_receive(q, reinterpret_cast<char*>(&msg), sizeof msg, nullptr);
    stop = true;
    while (!done.load()) {  // a send may be blocked on the full queue
        timespec soon{};
        clock_gettime(CLOCK_REALTIME, &soon);
        soon.tv_nsec += 1000000;
        if (soon.tv_nsec >= 1000000000) {
            soon.tv_sec += 1;
            soon.tv_nsec -= 1000000000;
        }
        mq_timedreceive(q, reinterpret_cast<char*>(&msg), sizeof msg, nullptr, &soon);
    }
    writer.join();
    mq_close(q);
    state.SetItemsProcessed(state.iterations());
}

void CondvarStream(benchmark::State& state)
{
    kvbench::CondvarQueue queue;
    std::atomic<bool> stop{false};
    std::atomic<long> backlog{0};
    std::thread writer([&] {
        Message msg{};
        while (!stop.load(std::memory_order_relaxed)) {
            // Kept busy but bounded like the 65535 box, so memory does not grow without limit.
            if (backlog.load(std::memory_order_relaxed) >= 65535) {
                std::this_thread::yield();
                continue;
            }
            backlog.fetch_add(1, std::memory_order_relaxed);
            queue.Send(1, &msg, sizeof msg);
        }
        queue.Send(kStop, &msg, sizeof msg);
    });
    Message msg{};
    for (auto _ : state) {
        queue.Receive(&msg, sizeof msg);
        backlog.fetch_sub(1, std::memory_order_relaxed);
    }
    stop = true;
    writer.join();
    state.SetItemsProcessed(state.iterations());
}

// Write + read with `depth` messages waiting in front: the write appends at the end.
void KervalQueuedDepth(benchmark::State& state, int depth)
{
    kvbench::StartLibrary();
    int32_t box = -1;
    CreateMailBox("DEPTH_BOX", 65535, &box);
    Message msg{};
    for (int i = 0; i < depth; ++i)
        WriteMailBox(0, box, 1, &msg, sizeof msg, 0);
    for (auto _ : state) {
        WriteMailBox(0, box, 1, &msg, sizeof msg, 0);
        uint32_t size = 0;
        ReadMailBox(box, nullptr, &msg, &size, sizeof msg, 0, nullptr, nullptr);
    }
    DeleteMailBox(box);
}

void UncontendedKerval(benchmark::State& state)
{
    kvbench::StartLibrary();
    static int32_t box = [] {
        int32_t h = -1;
        CreateMailBox("SOLO_BOX", 10, &h);
        return h;
    }();
    Message msg{};
    for (auto _ : state) {
        WriteMailBox(0, box, 1, &msg, sizeof msg, 0);
        uint32_t size = 0;
        ReadMailBox(box, nullptr, &msg, &size, sizeof msg, 0, nullptr, nullptr);
    }
}

void UncontendedCondvar(benchmark::State& state)
{
    kvbench::CondvarQueue queue;
    Message msg{};
    for (auto _ : state) {
        queue.Send(1, &msg, sizeof msg);
        queue.Receive(&msg, sizeof msg);
    }
}

BENCHMARK_CAPTURE(KervalStream, capacity_10, 10, 0)->UseRealTime();
BENCHMARK(MqueueStream)->UseRealTime();
BENCHMARK_CAPTURE(KervalStream, capacity_65535, 65535, 0)->UseRealTime();
BENCHMARK(CondvarStream)->UseRealTime();
BENCHMARK_CAPTURE(KervalStream, slow_reader_capacity_10, 10, 20)->UseRealTime();
BENCHMARK_CAPTURE(KervalStream, slow_reader_capacity_65535, 65535, 20)->UseRealTime();
BENCHMARK_CAPTURE(KervalQueuedDepth, queued_10, 10);
BENCHMARK_CAPTURE(KervalQueuedDepth, queued_10000, 10000);
BENCHMARK(UncontendedKerval)->Iterations(kUncontendedIterations);
BENCHMARK(UncontendedCondvar)->Iterations(kUncontendedIterations);

}  // namespace
