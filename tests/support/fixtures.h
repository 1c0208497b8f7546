// Shared by every test: the usual headers, a private working directory, standard output
// capture, polling, a fixed clock, whole-file reads and writes, and the library's start.
#pragma once

#include <gmock/gmock.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "kerval/core/internal.h"  // with kerval.h and the platform layer

namespace kp = kerval::platform;

namespace kvtest {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

// Sanitizer builds and Windows under Wine run the stress tests with smaller counts.
#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSlowBuild = true;
#else
inline constexpr bool kSlowBuild = kThreadSanitizer || kWindows;
#endif

// The seed of a stress run: KV_STRESS_SEED when set, to replay a run, else `fallback`.
inline uint32_t StressSeed(uint32_t fallback = 20261206u) {
    const char* env = std::getenv("KV_STRESS_SEED");
    return env != nullptr ? static_cast<uint32_t>(std::strtoul(env, nullptr, 10)) : fallback;
}

template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A fresh current directory under the temp folder, removed afterwards; a death-test child run
// anew (as on Windows) works in its parent's.
struct TempDir {
    TempDir() {
        if (::testing::internal::InDeathTestChild()) return;
        path_ = fs::temp_directory_path() / ("kvtest-" + std::to_string(std::random_device()()) +
                                             "-" + std::to_string(++made_));
        fs::create_directories(path_);
        fs::current_path(path_);
    }
    ~TempDir() {
        if (path_.empty()) return;
        std::error_code ignored;
        fs::current_path(previous_, ignored);
        fs::remove_all(path_, ignored);
    }
    static inline std::atomic<unsigned> made_{0};
    fs::path previous_ = fs::current_path(), path_;
};

struct TempDirTest : ::testing::Test {
    TempDir temp_dir_;
};

// Standard output captured at descriptor level, one capture at a time, "\r\n" read as "\n".
inline void BeginCaptureStdout() { std::fflush(stdout), ::testing::internal::CaptureStdout(); }

inline std::string EndCaptureStdout() {
    std::fflush(stdout);
    std::string text = ::testing::internal::GetCapturedStdout();
    for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
    return text;
}

template <class Fn> std::string CaptureStdoutOf(Fn&& fn) {
    BeginCaptureStdout();
    fn();
    return EndCaptureStdout();
}

// The clock of the seams while a FakeClock lives: reads answer `now`; a set through the library
// is recorded in `last_set` and becomes `now`.
struct FakeClock {
    explicit FakeClock(kp::LocalTime t) { Set(t), kp::seams::set_clock(Read, Write); }
    ~FakeClock() { kp::seams::set_clock(nullptr, nullptr); }
    static void Set(kp::LocalTime t) {
        std::lock_guard guard(lock);
        now = t;
    }
    static void Read(kp::LocalTime* t) {
        std::lock_guard guard(lock);
        *t = now;
    }
    static bool Write(const kp::LocalTime& t) {
        std::lock_guard guard(lock);
        last_set = now = t;
        return t.year != 0;
    }
    static inline std::mutex lock;
    static inline kp::LocalTime now{}, last_set{};
};

// The whole file ("" when absent); in text mode "\r\n" written on Windows reads "\n".
inline std::string ReadTextFile(const std::string& path, std::ios::openmode mode = std::ios::in) {
    std::ifstream in(path, mode);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string ReadBinaryFile(const std::string& path) {
    return ReadTextFile(path, std::ios::in | std::ios::binary);
}

inline void WriteBinaryFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Standard input read from a scratch file while this lives (then the null device again).
struct StdinFrom {
    StdinFrom(const std::string& path, const std::string& bytes) {
        WriteBinaryFile(path, bytes);
        EXPECT_NE(std::freopen(path.c_str(), "r", stdin), nullptr) << path;
    }
    ~StdinFrom() { std::freopen(kWindows ? "NUL" : "/dev/null", "r", stdin); }
};

// The smallest accepted counts, no trace console.
inline InitOptions MinimalOptions() {
    InitOptions options{};
    options.NbMaxTask = options.NbMaxMailBox = 20;
    options.NbMaxSem = 10;
    options.NbMaxTempo = 60;
    options.NbMaxSock = options.NbMaxSection = options.NbMaxFile = options.NbMaxShare = 5;
    return options;
}

// Starts the library (or only the kernel) once per process; its output shown only on failure.
inline int32_t StartKerval(int32_t (*start)(InitOptions*) = InitKerval) {
    static InitOptions kept;  // the library keeps its address for the rest of the process
    kept = MinimalOptions();
    int32_t code = eNOK;
    const std::string output = CaptureStdoutOf([&] { code = start(&kept); });
    if (code != eOK) std::fputs(output.c_str(), stdout);
    return code;
}

// Starts the library from a parked helper thread (INITJOB), out of a fatal report's suspension.
inline int32_t StartKervalAside() {
    std::promise<int32_t> started;
    std::future<int32_t> code = started.get_future();
    std::thread([promise = std::move(started)]() mutable {
        promise.set_value(StartKerval());
        std::mutex parked;  // the thread waits here until the process ends
        std::unique_lock<std::mutex> lock(parked);
        std::condition_variable().wait(lock, [] { return false; });
    }).detach();
    return code.get();
}

// The handle a creating call answering eOK gives, e.g. Made(CreateMailBox, "BOX", 4).
template <class... Params, class... Args> int32_t Made(int32_t (*create)(Params...), Args... args) {
    int32_t h = -1;
    EXPECT_EQ(create(args..., &h), eOK);
    return h;
}

template <class T> bool Advances(const std::atomic<T>& counter) {
    const T before = counter.load();
    return WaitFor([&] { return counter.load() != before; });
}

// The library started aside; every fatal report's question answered No (its thread stays frozen).
struct FatalTest : TempDirTest {
    static inline std::atomic<int> questions_{0};
    void SetUp() override {
        ASSERT_EQ(StartKervalAside(), eOK);
        kp::seams::set_message_box([](const char*, const char*) { return ++questions_ < 0; });
    }
    // Waits for the count-th question, then lets its reporter print its last line.
    static void WaitForQuestions(int count) {
        while (questions_.load() < count) kp::sleep_ms(5);
        kp::sleep_ms(50);
    }
};

struct KervalTest : TempDirTest {
    void SetUp() override { ASSERT_EQ(StartKerval(), eOK); }
};

struct KernelTest : TempDirTest {
    void SetUp() override { ASSERT_EQ(StartKerval(kerval::core::StartKernel), eOK); }
};

}  // namespace kvtest

using namespace kvtest;  // the helpers of every test
