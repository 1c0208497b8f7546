// Seeded random mix of direct and Slow file operations by several tasks, with objects deleted
// and reopened, kept closed, and the store task suspended at random moments.
// Each file must end with exactly the bytes its model predicts. Replay with KV_STRESS_SEED.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "kerval/kerval.h"
#include "kerval/platform/platform.h"
#include "tests/file/file_support.h"
#include "tests/mailbox/box_helpers.h"
#include "tests/support/report_fixtures.h"

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
#define KV_FILE_STRESS_SMALL 1
#endif

namespace {

#if defined(KV_FILE_STRESS_SMALL)
constexpr int kRounds = 60;
#else
constexpr int kRounds = 2000;
#endif
constexpr int kWorkers = 3;

unsigned g_seed = 0;
std::atomic<int> g_next_worker{0};
std::atomic<int> g_done{0};
std::atomic<int> g_failures{0};
std::string g_models[kWorkers];

struct Worker {
    std::string name, path, model;
    int64_t position = 0;
    int32_t h = -1;
    std::mt19937 rng;

    uint32_t Pick(uint32_t low, uint32_t high)
    {
        return std::uniform_int_distribution<uint32_t>(low, high)(rng);
    }
    void Check(bool ok)
    {
        if (!ok)
            ++g_failures;
    }
    void Apply(int64_t offset, int32_t origin, const std::string& bytes)
    {
        const int64_t base = origin == 0 ? 0 : origin == 1 ? position : int64_t(model.size());
        const auto at = static_cast<size_t>(base + offset);
        if (model.size() < at + bytes.size())
            model.resize(at + bytes.size(), '\0');
        model.replace(at, bytes.size(), bytes);
        position = static_cast<int64_t>(at + bytes.size());
    }
    void WriteDirect()
    {
        const auto offset = static_cast<int32_t>(Pick(0, static_cast<uint32_t>(model.size())));
        const std::string bytes = kvtest::Bytes(Pick(1, 5000), rng());
        Check(WriteBinFile(h, offset, 0, bytes.data(), static_cast<uint32_t>(bytes.size()),
                           static_cast<uint8_t>(Pick(0, 1))) == eOK);
        Apply(offset, 0, bytes);
    }
    // Slow writes, then a direct close that keeps the object and waits for them.
    void WriteSlow()
    {
        for (uint32_t n = Pick(1, 3); n > 0; --n) {
            const auto origin = static_cast<int32_t>(Pick(0, 2));
            const auto offset = static_cast<int32_t>(
                origin == 0 ? Pick(0, static_cast<uint32_t>(model.size())) : Pick(0, 9));
            const std::string bytes = kvtest::Bytes(Pick(1, 9000), rng());
            Check(SlowWriteBinFile(name.c_str(), offset, origin, bytes.data(),
                                   static_cast<uint32_t>(bytes.size()), 0) == eOK);
            Apply(offset, origin, bytes);
        }
        Check(CloseBinFile(h, 0) == eOK);
        position = 0;
    }
    void ReadBack()
    {
        if (model.empty())
            return;
        const uint32_t at = Pick(0, static_cast<uint32_t>(model.size() - 1));
        std::string got(Pick(1, static_cast<uint32_t>(model.size()) - at), '\0');
        Check(ReadBinFile(h, static_cast<int32_t>(at), 0, got.data(),
                          static_cast<uint32_t>(got.size())) == eOK &&
              got == model.substr(at, got.size()));
        position = at + got.size();
    }
    void Reopen()
    {
        Check(CloseBinFile(h, 1) == eOK);
        if (Pick(0, 1) == 0) {
            Check(OpenBinFile(name.c_str(), path.c_str(), "r+b", &h) == eOK);
        } else {
            Check(SlowOpenBinFile(name.c_str(), path.c_str(), "r+b") == eOK);
            Check(kerval::file::WaitForStoreRequests() == eOK);
            h = HandleFromFile(path.c_str());
        }
        position = 0;
    }
};

uint32_t WorkerTask(void*)
{
    const int w = g_next_worker++;
    Worker worker;
    worker.name = "FS" + std::to_string(w);
    worker.path = "fs" + std::to_string(w) + ".bin";
    worker.rng.seed(g_seed + static_cast<unsigned>(w));
    worker.Check(OpenBinFile(worker.name.c_str(), worker.path.c_str(), "w+b", &worker.h) == eOK);
    for (int round = 0; round < kRounds; ++round) {
        switch (worker.Pick(0, 9)) {
            case 0:
            case 1:
            case 2:
                worker.WriteDirect();
                break;
            case 3:
            case 4:
            case 5:
                worker.WriteSlow();
                break;
            case 6:
            case 7:
                worker.ReadBack();
                break;
            case 8:
                worker.Reopen();
                break;
            default:
                worker.Check(CloseBinFile(worker.h, 0) == eOK);
                worker.position = 0;
        }
    }
    worker.Check(CloseBinFile(worker.h, 1) == eOK);
    g_models[w] = worker.model;
    ++g_done;
    return 0;
}

// Suspends the store task for a moment, again and again, until the workers are done. The
// thread is suspended directly: SuspendTask's own message would wait for standard output, which
// a suspended store task may hold while it traces a failure, and the test would hang instead of
// failing.
void Disturb(std::mt19937& rng)
{
    const int32_t store = FindObjectMirror("_STORE_TASK");
    const TaskDescript& rec = _pxSysDescript->pxTaskTab[_pxSysDescript->pxObjectTab[store].nIndex];
    auto* thread = static_cast<kerval::platform::Thread*>(rec.hThread);
    while (g_done.load() < kWorkers) {
        kerval::platform::thread_suspend(thread);
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(50, 1000)(rng)));
        kerval::platform::thread_resume(thread);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

using FileStress = kvtest::StoreTest;

TEST_F(FileStress, RandomDirectAndSlowOperationsKeepEveryByte)
{
    const char* seed_text = std::getenv("KV_STRESS_SEED");
    g_seed = seed_text != nullptr ? static_cast<unsigned>(std::strtoul(seed_text, nullptr, 10))
                                  : 20261206u;
    RecordProperty("seed", static_cast<int>(g_seed));
    std::mt19937 rng(g_seed);
    kvtest::BeginCaptureStdout();  // suspension and full-box lines
    for (int w = 0; w < kWorkers; ++w) {
        int32_t h = -1;
        ASSERT_EQ(eOK, CreateTask(("FILEWORKER" + std::to_string(w)).c_str(), 0, WorkerTask,
                                  nullptr, 0, 0, &h));
    }
    Disturb(rng);
    const std::string output = kvtest::EndCaptureStdout();
    EXPECT_EQ(0, g_failures.load()) << "seed " << g_seed;
    EXPECT_THAT(output, ::testing::Not(::testing::HasSubstr("Error")));
    for (int w = 0; w < kWorkers; ++w) {
        const std::string disk = kvtest::ReadBinaryFile("fs" + std::to_string(w) + ".bin");
        const auto differ =
            std::mismatch(disk.begin(), disk.end(), g_models[w].begin(), g_models[w].end());
        EXPECT_TRUE(disk == g_models[w])
            << "file " << w << ": " << disk.size() << " bytes, " << g_models[w].size()
            << " expected, first difference at " << (differ.first - disk.begin());
    }
    kvtest::DeleteTestTasks();
}

}  // namespace
