// Seeded direct and Slow file operations by three tasks, the store task suspended again and again:
// every file ends with exactly its model's bytes. Replay with KV_STRESS_SEED.
#include "tests/file/file_support.h"

namespace {

constexpr int kRounds = kSlowBuild ? 300 : 2000, kWorkers = 3;
// ThreadSanitizer delays a suspension while its target waits for a lock, which a writer waiting
// for the store task may hold: there the store task runs free.
constexpr bool kSuspendStore = !kThreadSanitizer;

uint32_t g_seed = 0;
std::atomic<int> g_next{0}, g_done{0};
std::string g_models[kWorkers];

uint32_t WorkerTask(void*) {
    const int w = g_next++;
    const std::string name = "FS" + std::to_string(w), path = "fs" + std::to_string(w) + ".bin";
    std::mt19937 rng(g_seed + static_cast<unsigned>(w));
    const auto pick = [&](size_t low, size_t high) {
        return static_cast<uint32_t>(std::uniform_int_distribution<size_t>(low, high)(rng));
    };
    FileModel file;
    int32_t h = -1;
    EXPECT_TRUE(OpenBinFile(name.c_str(), path.c_str(), "w+b", &h) == eOK);
    for (int round = 0; round < kRounds; ++round) {
        const uint32_t op = pick(0, 9);
        if (op < 3) {  // direct write
            const std::string bytes = Bytes(pick(1, 5000), rng());
            const auto at = static_cast<int32_t>(pick(0, file.bytes.size()));
            EXPECT_TRUE(WriteBinFile(h, at, 0, bytes.data(), static_cast<uint32_t>(bytes.size()),
                                     static_cast<uint8_t>(pick(0, 1))) == eOK);
            file.Write(at, 0, bytes);
            continue;
        }
        if (op < 6) {  // Slow writes, then a direct close that waits for them
            for (uint32_t n = pick(1, 3); n > 0; --n) {
                const auto origin = static_cast<int32_t>(pick(0, 2));
                const auto at =
                    static_cast<int32_t>(origin == 0 ? pick(0, file.bytes.size()) : pick(0, 9));
                const std::string bytes = Bytes(pick(1, 9000), rng());
                EXPECT_TRUE(SlowWriteBinFile(name.c_str(), at, origin, bytes.data(),
                                             static_cast<uint32_t>(bytes.size()), 0) == eOK);
                file.Write(at, origin, bytes);
            }
        } else if (op < 8 && !file.bytes.empty()) {  // read back
            const uint32_t at = pick(0, file.bytes.size() - 1);
            std::string got(pick(1, file.bytes.size() - at), '\0');
            EXPECT_TRUE(ReadBinFile(h, static_cast<int32_t>(at), 0, got.data(),
                                    static_cast<uint32_t>(got.size())) == eOK &&
                        got == file.bytes.substr(at, got.size()));
            file.position = at + got.size();
            continue;
        } else if (op == 8) {  // delete, then open again directly or through the store task
            EXPECT_TRUE(CloseBinFile(h, 1) == eOK);
            if (pick(0, 1) == 0) {
                EXPECT_TRUE(OpenBinFile(name.c_str(), path.c_str(), "r+b", &h) == eOK);
            } else {
                EXPECT_TRUE(SlowOpenBinFile(name.c_str(), path.c_str(), "r+b") == eOK);
                EXPECT_TRUE(kerval::file::WaitForStoreRequests() == eOK);
                h = HandleFromFile(path.c_str());
            }
            file.position = 0;
            continue;
        }
        EXPECT_TRUE(CloseBinFile(h, 0) == eOK);
        file.position = 0;
    }
    EXPECT_TRUE(CloseBinFile(h, 1) == eOK);
    g_models[w] = file.bytes;
    ++g_done;
    return 0;
}

using FileStress = StoreTest;

// The store thread is suspended directly: SuspendTask's line could wait for the output it holds.
TEST_F(FileStress, RandomDirectAndSlowOperationsKeepEveryByte) {
    g_seed = StressSeed();
    SCOPED_TRACE("KV_STRESS_SEED=" + std::to_string(g_seed));
    std::mt19937 rng(g_seed);
    BeginCaptureStdout();  // full-box lines
    for (int32_t w = 0, h = -1; w < kWorkers; ++w)
        ASSERT_EQ(eOK, CreateTask(("FW" + std::to_string(w)).c_str(), 0, WorkerTask, 0, 0, 0, &h));
    auto* store = static_cast<kp::Thread*>(TaskRecordOf(FindObjectMirror("_STORE_TASK")).hThread);
    while (g_done < kWorkers) {
        if (kSuspendStore) {
            kp::thread_suspend(store);
            std::this_thread::sleep_for(std::chrono::microseconds(50 + rng() % 950));
            kp::thread_resume(store);
        }
        kp::sleep_ms(1);
    }
    EXPECT_EQ(EndCaptureStdout().find("Error"), std::string::npos);
    for (int w = 0; w < kWorkers; ++w)
        EXPECT_TRUE(ReadBinaryFile("fs" + std::to_string(w) + ".bin") == g_models[w]) << w;
    DeleteTestTasks();
}

}  // namespace
