// File objects against the C runtime used directly, in a temporary folder removed at the end:
//  - WriteBinFile appending 64-byte and 4 KiB records (origin 1, offset 0) against fwrite;
//  - ReadBinFile of 4 KiB records at random offsets against fseek + fread;
//  - SlowWriteBinFile of 64 KiB blocks through the store task against a writer thread fed by
//    a depth-10 queue of the same 2196-byte requests; one iteration posts 1 MiB and waits until
//    it is written (each round starts again at the file's start).
// The store task is started through the library's internal entry point (the start-up will).
// A writer that finds the store box full prints two lines: run with stdout to /dev/null.
//
//   kv_bench_file_throughput --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//       --benchmark_out=results.txt --benchmark_out_format=console > /dev/null
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kerval/file/store_requests.h"
#include "kerval/file/store_service.h"
#include "kerval/kerval.h"
#include "task_bench_support.h"

namespace {

namespace fs = std::filesystem;

constexpr long kWrapBytes = 16L << 20;  // files are rewritten from the start past 16 MiB
constexpr long kReadFileBytes = 64L << 20;

struct Folder {
    fs::path path = fs::temp_directory_path() / ("kv_bench_file_" + std::to_string(getpid()));
    Folder() { fs::create_directories(path); }
    ~Folder() { fs::remove_all(path); }
    std::string File(const char* name) const { return (path / name).string(); }
};

Folder& Temp()
{
    static Folder folder;
    return folder;
}

void Start()
{
    kvbench::StartLibrary();
    static const bool store = kerval::file::StartService() == 0;
    if (!store)
        std::abort();
}

void AppendKerval(benchmark::State& state)
{
    Start();
    const auto size = static_cast<uint32_t>(state.range(0));
    const std::vector<char> record(size, 'k');
    int32_t h = -1;
    OpenBinFile("APPEND", Temp().File("append_kerval.bin").c_str(), "wb", &h);
    long written = 0;
    for (auto _ : state) {
        const bool wrap = (written += size) > kWrapBytes;
        WriteBinFile(h, 0, wrap ? 0 : 1, record.data(), size, 0);
        if (wrap)
            written = size;
    }
    CloseBinFile(h, 1);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

void AppendFwrite(benchmark::State& state)
{
    const auto size = static_cast<size_t>(state.range(0));
    const std::vector<char> record(size, 'c');
    std::FILE* f = std::fopen(Temp().File("append_c.bin").c_str(), "wb");
    long written = 0;
    for (auto _ : state) {
        if ((written += static_cast<long>(size)) > kWrapBytes) {
            std::fseek(f, 0, SEEK_SET);
            written = static_cast<long>(size);
        }
        std::fwrite(record.data(), 1, size, f);
    }
    std::fclose(f);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// Offsets of 4 KiB records inside the read file, the same sequence for both readers.
const std::vector<long>& ReadOffsets()
{
    static const std::vector<long> offsets = [] {
        const std::string path = Temp().File("read.bin");
        std::FILE* f = std::fopen(path.c_str(), "wb");
        const std::vector<char> chunk(1 << 20, 'r');
        for (long done = 0; done < kReadFileBytes; done += static_cast<long>(chunk.size()))
            std::fwrite(chunk.data(), 1, chunk.size(), f);
        std::fclose(f);
        std::mt19937 rng(7);
        std::uniform_int_distribution<long> pick(0, kReadFileBytes - 4096);
        std::vector<long> out(1 << 16);
        for (long& o : out)
            o = pick(rng);
        return out;
    }();
    return offsets;
}

void RandomReadKerval(benchmark::State& state)
{
    Start();
    const auto& offsets = ReadOffsets();
    int32_t h = -1;
    OpenBinFile("READ", Temp().File("read.bin").c_str(), "rb", &h);
    char buf[4096];
    size_t i = 0;
    for (auto _ : state) {
        ReadBinFile(h, static_cast<int32_t>(offsets[i++ % offsets.size()]), 0, buf, sizeof buf);
        benchmark::DoNotOptimize(buf);
    }
    CloseBinFile(h, 1);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}

void RandomReadFread(benchmark::State& state)
{
    const auto& offsets = ReadOffsets();
    std::FILE* f = std::fopen(Temp().File("read.bin").c_str(), "rb");
    char buf[4096];
    size_t i = 0;
    for (auto _ : state) {
        std::fseek(f, offsets[i++ % offsets.size()], SEEK_SET);
        std::fread(buf, 1, sizeof buf, f);
        benchmark::DoNotOptimize(buf);
    }
    std::fclose(f);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}

constexpr uint32_t kBlock = 64 * 1024;
constexpr int kBlocksPerRound = 16;  // one iteration: 1 MiB posted, then every byte written

void SlowWriteKerval(benchmark::State& state)
{
    Start();
    const std::vector<char> block(kBlock, 's');
    SlowOpenBinFile("SLOW", Temp().File("slow_kerval.bin").c_str(), "wb");
    for (auto _ : state) {
        for (int k = 0; k < kBlocksPerRound; ++k)
            SlowWriteBinFile("SLOW", 0, k == 0 ? 0 : 1, block.data(), kBlock, 0);
        kerval::file::WaitForStoreRequests();
    }
    SlowCloseBinFile("SLOW");
    kerval::file::WaitForStoreRequests();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlock * kBlocksPerRound);
}

// The baseline: a writer thread taking the same requests from a queue of depth 10.
class RequestQueue {
public:
    void Push(const kerval::file::StoreWriteRequest& rq)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return queue_.size() < 10; });
        queue_.push_back(rq);
        changed_.notify_all();
    }
    // Takes the next request; the previous one is done.
    bool Pop(kerval::file::StoreWriteRequest& rq)
    {
        std::unique_lock lock(mutex_);
        busy_ = false;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !queue_.empty() || closed_; });
        if (queue_.empty())
            return false;
        rq = queue_.front();
        queue_.pop_front();
        busy_ = true;
        changed_.notify_all();
        return true;
    }
    void Drain()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return queue_.empty() && !busy_; });
    }
    void Close()
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<kerval::file::StoreWriteRequest> queue_;
    bool busy_ = false;
    bool closed_ = false;
};

void SlowWriteQueue(benchmark::State& state)
{
    RequestQueue queue;
    std::FILE* f = std::fopen(Temp().File("slow_c.bin").c_str(), "wb");
    std::thread writer([&] {
        // The store task's own priority (THREAD_PRIORITY_LOWEST, nice 10 on Linux) or normal.
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), static_cast<int>(state.range(0)));
        kerval::file::StoreWriteRequest rq;
        while (queue.Pop(rq)) {
            if (rq.lOrigin != SEEK_CUR || rq.lOffset != 0)
                std::fseek(f, rq.lOffset, rq.lOrigin);
            std::fwrite(rq.data, 1, rq.lCount, f);
        }
    });
    const std::vector<char> block(kBlock, 'q');
    kerval::file::StoreWriteRequest rq{};
    for (auto _ : state) {
        for (uint32_t done = 0; done < kBlock * kBlocksPerRound; done += rq.lCount) {
            rq.lCount = kerval::file::kStoreChunk;
            rq.lOffset = 0;
            rq.lOrigin = done == 0 ? SEEK_SET : SEEK_CUR;
            std::memcpy(rq.data, block.data() + done % kBlock, rq.lCount);
            queue.Push(rq);
        }
        queue.Drain();
    }
    queue.Close();
    writer.join();
    std::fclose(f);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlock * kBlocksPerRound);
}

BENCHMARK(AppendFwrite)->Arg(64)->Arg(4096);
BENCHMARK(AppendKerval)->Arg(64)->Arg(4096);
BENCHMARK(RandomReadFread);
BENCHMARK(RandomReadKerval);
BENCHMARK(SlowWriteQueue)->Arg(0)->Arg(10)->UseRealTime();
BENCHMARK(SlowWriteKerval)->UseRealTime();

}  // namespace
