// Shared helpers of the task and mailbox benchmarks: starting the library once, pinning threads,
// and the baselines built from POSIX and the standard library.
#pragma once

#include <fcntl.h>
#include <mqueue.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/resource.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "kerval/kerval.h"

namespace kvbench {

// Starts the library in the calling (benchmark) thread, which becomes INITJOB.
inline void StartLibrary()
{
    static InitOptions options = [] {
        InitOptions o{};
        o.NbMaxTask = 40;
        o.NbMaxMailBox = 40;
        o.NbMaxSem = 10;
        o.NbMaxTempo = 60;
        o.NbMaxSock = 5;
        o.NbMaxSection = 5;
        o.NbMaxFile = 5;
        o.NbMaxShare = 5;
        return o;
    }();
    static const bool started = [] {
        if (InitKerval(&options) != eOK) {
            std::fprintf(stderr, "InitKerval failed\n");
            std::exit(1);
        }
        return true;
    }();
    (void)started;
}

// Pins the calling thread to one core (-1: back to the cores the process started with, so that a
// run under taskset keeps its restriction).
inline const cpu_set_t kStartAffinity = [] {  // read before main, by the starting thread
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof set, &set);
    return set;
}();

inline void PinTo(int cpu)
{
    cpu_set_t set = kStartAffinity;
    if (cpu >= 0) {
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
    }
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// Reports the context switches of the whole process per iteration (voluntary: a thread slept;
// involuntary: it was preempted) as counters of the benchmark, over the scope of one object.
class SwitchCounter {
public:
    explicit SwitchCounter(benchmark::State& state) : state_(state)
    {
        getrusage(RUSAGE_SELF, &start_);
    }
    ~SwitchCounter()
    {
        rusage end{};
        getrusage(RUSAGE_SELF, &end);
        const double n = static_cast<double>(state_.iterations());
        if (n == 0)
            return;
        state_.counters["sleeps"] = static_cast<double>(end.ru_nvcsw - start_.ru_nvcsw) / n;
        state_.counters["preempted"] = static_cast<double>(end.ru_nivcsw - start_.ru_nivcsw) / n;
    }
    SwitchCounter(const SwitchCounter&) = delete;
    SwitchCounter& operator=(const SwitchCounter&) = delete;

private:
    benchmark::State& state_;
    rusage start_{};
};

// A queue as an application would write it with the standard library: a mutex, a condition
// variable and, per message, an envelope and a copy of the data on the heap.
class CondvarQueue {
public:
    struct Envelope {
        int32_t type;
        uint32_t size;
        char* data;
    };

    void Send(int32_t type, const void* data, uint32_t size)
    {
        auto* env = new Envelope{type, size, new char[size]};
        std::memcpy(env->data, data, size);
        {
            std::lock_guard guard(lock_);
            queue_.push_back(env);
        }
        ready_.notify_one();
    }

    uint32_t Receive(void* buffer, uint32_t size)
    {
        Envelope* env = nullptr;
        {
            std::unique_lock guard(lock_);
            ready_.wait(guard, [this] { return !queue_.empty(); });
            env = queue_.front();
            queue_.pop_front();
        }
        const uint32_t got = env->size <= size ? env->size : 0;
        std::memcpy(buffer, env->data, got);
        delete[] env->data;
        delete env;
        return got;
    }

private:
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<Envelope*> queue_;
};

// A POSIX message queue of the given depth and message size, removed from the namespace at once.
inline mqd_t OpenQueue(const char* tag, long depth, long msg_size)
{
    const std::string name = std::string("/kv_bench_") + tag + "_" + std::to_string(getpid());
    mq_attr attr{};
    attr.mq_maxmsg = depth;
    attr.mq_msgsize = msg_size;
    const mqd_t q = mq_open(name.c_str(), O_CREAT | O_RDWR, 0600, &attr);
    if (q == static_cast<mqd_t>(-1)) {
        std::perror("mq_open");
        std::exit(1);
    }
    mq_unlink(name.c_str());
    return q;
}

// Baseline hand-over: two threads through two sem_t, pinned to cpu (-1: free).
inline void SemPingPong(benchmark::State& state, int cpu)
{
    sem_t ping;
    sem_t pong;
    sem_init(&ping, 0, 0);
    sem_init(&pong, 0, 0);
    std::atomic<bool> stop{false};
    kvbench::PinTo(cpu);
    std::thread partner([&] {
        kvbench::PinTo(cpu);
        for (;;) {
            sem_wait(&ping);
            if (stop.load())
                return;
            sem_post(&pong);
        }
    });
    kvbench::SwitchCounter switches(state);
    for (auto _ : state) {
        sem_post(&ping);
        sem_wait(&pong);
    }
    stop = true;
    sem_post(&ping);
    partner.join();
    sem_destroy(&ping);
    sem_destroy(&pong);
    kvbench::PinTo(-1);
}

}  // namespace kvbench
