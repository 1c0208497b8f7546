#include "tests/support/fixtures.h"

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <random>

#include "kerval/core/internal.h"

namespace kvtest {
namespace fs = std::filesystem;

namespace {

fs::path UniqueTempPath()
{
    static std::atomic<unsigned> counter{0};
    std::random_device seed;
    return fs::temp_directory_path() /
           ("kvtest-" + std::to_string(seed()) + "-" + std::to_string(counter.fetch_add(1)));
}

std::string ReadFile(const std::string& path, std::ios::openmode mode)
{
    std::ifstream in(path, mode);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int32_t StartWith(int32_t (*start)(InitOptions*))
{
    // The library keeps the record's address: it must outlive every test of the process.
    static InitOptions kept;
    kept = MinimalOptions();
    int32_t code = eNOK;
    const std::string output = CaptureStdoutOf([&] { code = start(&kept); });
    if (code != eOK)
        std::fputs(output.c_str(), stdout);  // keep the reason of a failed start
    return code;
}

}  // namespace

TempDir::TempDir() : previous_(fs::current_path()), path_(UniqueTempPath())
{
    fs::create_directories(path_);
    fs::current_path(path_);
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::current_path(previous_, ignored);
    fs::remove_all(path_, ignored);
}

void BeginCaptureStdout()
{
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
}

std::string EndCaptureStdout()
{
    std::fflush(stdout);
    const std::string text = ::testing::internal::GetCapturedStdout();
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\r\n") != 0)
            out.push_back(text[i]);
    }
    return out;
}

FixedClock::FixedClock()
{
    kp::seams::set_clock([](kp::LocalTime* t) { *t = kp::LocalTime{2024, 3, 5, 7, 8, 9, 0, 2}; },
                         nullptr);
}

FixedClock::~FixedClock()
{
    kp::seams::set_clock(nullptr, nullptr);
}

std::string ReadTextFile(const std::string& path)
{
    return ReadFile(path, std::ios::in);
}

std::string ReadBinaryFile(const std::string& path)
{
    return ReadFile(path, std::ios::in | std::ios::binary);
}

void WriteBinaryFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

InitOptions MinimalOptions()
{
    InitOptions options{};
    options.NbMaxTask = options.NbMaxMailBox = 20;
    options.NbMaxSem = 10;
    options.NbMaxTempo = 60;
    options.NbMaxSock = options.NbMaxSection = options.NbMaxFile = options.NbMaxShare = 5;
    return options;
}

int32_t StartKerval()
{
    return StartWith(InitKerval);
}

int32_t StartKernelOnly()
{
    return StartWith(kerval::core::StartKernel);
}

int32_t StartKervalAside()
{
    std::promise<int32_t> started;
    std::future<int32_t> code = started.get_future();
    std::thread([promise = std::move(started)]() mutable {
        promise.set_value(StartKerval());
        // Never destroyed: the thread waits here until the process ends.
        auto* parked = new std::mutex;
        auto* never = new std::condition_variable;
        std::unique_lock<std::mutex> lock(*parked);
        never->wait(lock, [] { return false; });
    }).detach();
    return code.get();
}

}  // namespace kvtest
