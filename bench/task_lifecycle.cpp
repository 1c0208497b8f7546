// Task life cycle:
//  - CreateTask + DeleteTask of a task with a 64 KiB stack against pthread_create + join;
//  - a SuspendTask + ActiveTask pair on a busy task against a bare signal-based suspend/resume
//    (the target's handler announces it is parked, then waits for the resume signal). The
//    library shows "task %s suspended" for every suspension: run with stdout to /dev/null.
//
//   kv_bench_task_lifecycle --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
//       --benchmark_report_aggregates_only=true > /dev/null   (results with --benchmark_out)
#include <benchmark/benchmark.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "task_bench_support.h"

namespace {

constexpr size_t kStack = 64 * 1024;

uint32_t Nothing(void*)
{
    return 0;
}

void KervalCreateDelete(benchmark::State& state)
{
    kvbench::StartLibrary();
    for (auto _ : state) {
        int32_t task = -1;
        CreateTask("SHORT_LIVED", THREAD_PRIORITY_NORMAL, Nothing, nullptr, 0, kStack, &task);
        DeleteTask(task);
    }
}

void* NothingThread(void*)
{
    return nullptr;
}

void PthreadCreateJoin(benchmark::State& state)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStack);
    for (auto _ : state) {
        pthread_t thread;
        pthread_create(&thread, &attr, NothingThread, nullptr);
        pthread_join(thread, nullptr);
    }
    pthread_attr_destroy(&attr);
}

std::atomic<bool> g_stop_busy{false};
std::atomic<uint64_t> g_busy_count{0};

uint32_t Busy(void*)
{
    while (!g_stop_busy.load(std::memory_order_relaxed)) {
        g_busy_count.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;
}

void KervalSuspendResume(benchmark::State& state)
{
    kvbench::StartLibrary();
    g_stop_busy = false;
    int32_t task = -1;
    CreateTask("BUSY", THREAD_PRIORITY_NORMAL, Busy, nullptr, 0, 0, &task);
    int64_t moved = 0;
    for (auto _ : state) {
        SuspendTask(task);
        const uint64_t frozen = g_busy_count.load();
        if (g_busy_count.load() != frozen)
            ++moved;
        ActiveTask(task, 1);
    }
    g_stop_busy = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    DeleteTask(task);
    state.counters["moved_while_suspended"] = static_cast<double>(moved);
}

// The baseline: SIGUSR1 parks the target (its handler posts `parked` and waits for SIGUSR2,
// kept blocked in the handler until sigsuspend so that it is never lost).
sem_t g_parked;
std::atomic<uint32_t> g_resume_seq{0};

void OnPark(int)
{
    const uint32_t serving = g_resume_seq.load();
    sem_post(&g_parked);
    sigset_t wait_mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &wait_mask);
    sigdelset(&wait_mask, SIGUSR2);
    while (g_resume_seq.load() == serving)
        sigsuspend(&wait_mask);
}

void OnResume(int) {}

void SignalSuspendResume(benchmark::State& state)
{
    sem_init(&g_parked, 0, 0);
    struct sigaction park {};
    park.sa_handler = OnPark;
    sigemptyset(&park.sa_mask);
    sigaddset(&park.sa_mask, SIGUSR2);
    park.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &park, nullptr);
    struct sigaction resume {};
    resume.sa_handler = OnResume;
    sigemptyset(&resume.sa_mask);
    resume.sa_flags = SA_RESTART;
    sigaction(SIGUSR2, &resume, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> count{0};
    std::thread busy([&] {
        while (!stop.load(std::memory_order_relaxed))
            count.fetch_add(1, std::memory_order_relaxed);
    });
    const pthread_t target = busy.native_handle();
    for (auto _ : state) {
        pthread_kill(target, SIGUSR1);
        while (sem_wait(&g_parked) != 0) {
        }
        g_resume_seq.fetch_add(1);
        pthread_kill(target, SIGUSR2);
    }
    stop = true;
    busy.join();
    sem_destroy(&g_parked);
}

BENCHMARK(KervalCreateDelete)->UseRealTime();
BENCHMARK(PthreadCreateJoin)->UseRealTime();
BENCHMARK(KervalSuspendResume)->UseRealTime();
BENCHMARK(SignalSuspendResume)->UseRealTime();

}  // namespace
