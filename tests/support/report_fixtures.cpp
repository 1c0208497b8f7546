#include "tests/support/report_fixtures.h"

#include <condition_variable>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <thread>

#include "tests/support/fixtures.h"

namespace kvtest {
namespace {

void ReadFixedTime(kerval::platform::LocalTime* t) {
    *t = kerval::platform::LocalTime{2024, 3, 5, 7, 8, 9, 0, 2};
}

std::string ReadFile(const std::string& path, std::ios::openmode mode) {
    std::ifstream in(path, mode);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

FixedClock::FixedClock() { kerval::platform::seams::set_clock(ReadFixedTime, nullptr); }
FixedClock::~FixedClock() { kerval::platform::seams::set_clock(nullptr, nullptr); }

std::string ReadTextFile(const std::string& path) { return ReadFile(path, std::ios::in); }

std::string ReadBinaryFile(const std::string& path) {
    return ReadFile(path, std::ios::in | std::ios::binary);
}

void WriteBinaryFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::out | std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int32_t StartKervalAside() {
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
