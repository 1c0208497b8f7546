// Semaphores, critical sections and shared memory against their POSIX baselines in one run:
// a blocked ping-pong between two tasks through two semaphores (free and pinned to one core),
// an uncontended TakeSem+FreeSem, a nested EnterCriticalSec+LeaveCriticalSec, and whole-block
// copies of 64 bytes and 64 KiB.
//
//   kv_bench_sync_objects --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
//       --benchmark_report_aggregates_only=true
//   taskset -c 0 kv_bench_sync_objects ...   (everything on one core)
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "task_bench_support.h"

namespace {

std::atomic<int> g_partner_cpu{-1};
int32_t g_ping = -1, g_pong = -1;

uint32_t Partner(void*)
{
    kvbench::PinTo(g_partner_cpu.load());
    for (;;) {
        if (TakeSem(g_ping, 1, WAIT_FOREVER) != eOK)
            return 0;  // the semaphore was deleted
        FreeSem(g_pong, 1);
    }
}

void KervalSemPingPong(benchmark::State& state, int cpu)
{
    kvbench::StartLibrary();
    CreateSem("PING", 1, 0, &g_ping);
    CreateSem("PONG", 1, 0, &g_pong);
    g_partner_cpu = cpu;
    kvbench::PinTo(cpu);
    int32_t partner = -1;
    CreateTask("PARTNER", THREAD_PRIORITY_NORMAL, Partner, nullptr, 0, 0, &partner);
    kvbench::SwitchCounter switches(state);
    for (auto _ : state) {
        FreeSem(g_ping, 1);
        TakeSem(g_pong, 1, WAIT_FOREVER);
    }
    DeleteSem(g_ping);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    DeleteTask(partner);
    DeleteSem(g_pong);
    kvbench::PinTo(-1);
}

void KervalTakeFree(benchmark::State& state)
{
    kvbench::StartLibrary();
    int32_t sem = -1;
    CreateSem("UNCONTENDED", 10, 10, &sem);
    for (auto _ : state) {
        TakeSem(sem, 1, 0);
        FreeSem(sem, 1);
    }
    DeleteSem(sem);
}

void MutexCounter(benchmark::State& state)
{
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    volatile int count = 10;
    for (auto _ : state) {
        pthread_mutex_lock(&lock);
        count = count - 1;
        pthread_mutex_unlock(&lock);
        pthread_mutex_lock(&lock);
        count = count + 1;
        pthread_mutex_unlock(&lock);
    }
}

void KervalSectionNested(benchmark::State& state)
{
    kvbench::StartLibrary();
    int32_t section = -1;
    CreateCriticalSec("SECTION", &section);
    EnterCriticalSec(section);  // the nested pair below is what repeats in practice
    for (auto _ : state) {
        EnterCriticalSec(section);
        LeaveCriticalSec(section);
    }
    LeaveCriticalSec(section);
    DeleteCriticalSec(section);
}

void KervalSectionOuter(benchmark::State& state)
{
    kvbench::StartLibrary();
    int32_t section = -1;
    CreateCriticalSec("OUTER", &section);
    for (auto _ : state) {
        EnterCriticalSec(section);
        LeaveCriticalSec(section);
    }
    DeleteCriticalSec(section);
}

void RecursiveMutex(benchmark::State& state)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_t lock;
    pthread_mutex_init(&lock, &attr);
    for (auto _ : state) {
        pthread_mutex_lock(&lock);
        pthread_mutex_unlock(&lock);
    }
    pthread_mutex_destroy(&lock);
}

void KervalShareCopy(benchmark::State& state)
{
    kvbench::StartLibrary();
    const auto size = static_cast<uint32_t>(state.range(0));
    int32_t share = -1;
    char name[32];
    std::snprintf(name, sizeof name, "SHARE%u", size);
    CreateShareMem(name, size, &share);
    std::vector<char> buf(size, 'x');
    for (auto _ : state) {
        WriteShareMem(share, buf.data(), size);
        ReadShareMem(share, buf.data(), size);
    }
    DeleteShareMem(share);
}

void MemcpyUnderMutex(benchmark::State& state)
{
    const auto size = static_cast<size_t>(state.range(0));
    std::vector<char> block(size), buf(size, 'x');
    std::mutex lock;
    for (auto _ : state) {
        {
            std::lock_guard guard(lock);
            std::memcpy(block.data(), buf.data(), size);
        }
        std::lock_guard guard(lock);
        std::memcpy(buf.data(), block.data(), size);
        benchmark::DoNotOptimize(buf.data());
    }
}

using kvbench::SemPingPong;

BENCHMARK_CAPTURE(KervalSemPingPong, free, -1)->UseRealTime();
BENCHMARK_CAPTURE(SemPingPong, free, -1)->UseRealTime();
BENCHMARK_CAPTURE(KervalSemPingPong, pinned, 0)->UseRealTime();
BENCHMARK_CAPTURE(SemPingPong, pinned, 0)->UseRealTime();
BENCHMARK(KervalTakeFree);
BENCHMARK(MutexCounter);
BENCHMARK(KervalSectionNested);
BENCHMARK(KervalSectionOuter);
BENCHMARK(RecursiveMutex);
BENCHMARK(KervalShareCopy)->Arg(64)->Arg(64 * 1024);
BENCHMARK(MemcpyUnderMutex)->Arg(64)->Arg(64 * 1024);

}  // namespace
