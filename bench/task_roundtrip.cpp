// Round trip of a 16-byte message between two tasks (WriteToTask one way, ReadFromTask back),
// against a sem_t ping-pong and a POSIX message queue ping-pong between two threads; each with
// the threads free to move and pinned to one core.
//
//   kv_bench_task_roundtrip --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
//       --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "task_bench_support.h"

namespace {

constexpr int32_t kStop = 2;

struct Message {
    char bytes[16];
};

std::atomic<int> g_echo_cpu{-1};

// Answers every message of its main box to the sender's main box, until told to stop.
uint32_t Echo(void*)
{
    kvbench::PinTo(g_echo_cpu.load());
    const int32_t me = _InternalCurrentTaskHandle(__FILE__, __LINE__);
    while (GetTaskMainMailBox(me) < 0)  // set by the creator once CreateTask returns
        std::this_thread::yield();
    for (;;) {
        Message msg{};
        int32_t type = 0;
        int32_t sender = -1;
        uint32_t size = 0;
        if (ReadFromTask(me, &type, &msg, &size, sizeof msg, WAIT_FOREVER, nullptr, &sender) !=
                eOK ||
            type == kStop) {
            return 0;
        }
        WriteToTask(me, sender, 1, &msg, sizeof msg, 0);
    }
}

void KervalRoundTrip(benchmark::State& state, int cpu)
{
    kvbench::StartLibrary();
    static int32_t my_box = [] {
        int32_t box = -1;
        CreateMailBox("BENCH_MAIN", 10, &box);
        SetTaskMainMailBox(0, box);
        return box;
    }();
    (void)my_box;
    g_echo_cpu = cpu;
    kvbench::PinTo(cpu);
    int32_t echo = -1;
    int32_t echo_box = -1;
    CreateMailBox("ECHO_BOX", 10, &echo_box);
    CreateTask("ECHO", THREAD_PRIORITY_NORMAL, Echo, nullptr, 0, 0, &echo);
    SetTaskMainMailBox(echo, echo_box);
    Message msg{};
    kvbench::SwitchCounter switches(state);
    for (auto _ : state) {
        WriteToTask(0, echo, 1, &msg, sizeof msg, 0);
        uint32_t size = 0;
        ReadFromTask(0, nullptr, &msg, &size, sizeof msg, WAIT_FOREVER, nullptr, nullptr);
    }
    WriteToTask(0, echo, kStop, nullptr, 0, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    DeleteTask(echo);  // deletes its main box too
    kvbench::PinTo(-1);
}

void MqueuePingPong(benchmark::State& state, int cpu)
{
    const mqd_t ping = kvbench::OpenQueue("ping", 10, sizeof(Message));
    const mqd_t pong = kvbench::OpenQueue("pong", 10, sizeof(Message));
    kvbench::PinTo(cpu);
    std::thread partner([&] {
        kvbench::PinTo(cpu);
        Message msg{};
        unsigned prio = 0;
        for (;;) {
            mq_receive(ping, reinterpret_cast<char*>(&msg), sizeof msg, &prio);
            if (prio == 1)
                return;
            mq_send(pong, reinterpret_cast<const char*>(&msg), sizeof msg, 0);
        }
    });
    Message msg{};
    kvbench::SwitchCounter switches(state);
    for (auto _ : state) {
        mq_send(ping, reinterpret_cast<const char*>(&msg), sizeof msg, 0);
        mq_receive(pong, reinterpret_cast<char*>(&msg), sizeof msg, nullptr);
    }
    mq_send(ping, reinterpret_cast<const char*>(&msg), sizeof msg, 1);
    partner.join();
    mq_close(ping);
    mq_close(pong);
    kvbench::PinTo(-1);
}

using kvbench::SemPingPong;

BENCHMARK_CAPTURE(KervalRoundTrip, free, -1)->UseRealTime();
BENCHMARK_CAPTURE(SemPingPong, free, -1)->UseRealTime();
BENCHMARK_CAPTURE(MqueuePingPong, free, -1)->UseRealTime();
BENCHMARK_CAPTURE(KervalRoundTrip, pinned, 0)->UseRealTime();
BENCHMARK_CAPTURE(SemPingPong, pinned, 0)->UseRealTime();
BENCHMARK_CAPTURE(MqueuePingPong, pinned, 0)->UseRealTime();

}  // namespace
