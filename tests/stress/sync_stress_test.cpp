// Seeded stress of the synchronisation objects: tasks taking and giving units with racing
// time-outs, mutex and nested critical-section increments, random suspensions, and tasks deleted
// while queued. Invariants: every unit accounted for, every increment counted, queues whole,
// nothing wedged. KV_STRESS_SEED replays one sequence of operations.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>

#include "kerval/task/task.h"
#include "tests/sync/sync_helpers.h"

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define KV_SYNC_SLOW_BUILD 1
#endif
#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer holds a suspension's signal back while its target waits for a lock, and the
// suspension holds the target's thread record meanwhile: a suspended worker must not enter a
// section, whose first entry reads its priority from that record.
constexpr bool kSuspendedWorkersSkipSections = true;
#else
constexpr bool kSuspendedWorkersSkipSections = false;
#endif

namespace {

#if defined(KV_SYNC_SLOW_BUILD) || defined(_WIN32)
constexpr int kOpsPerWorker = 400;
#else
constexpr int kOpsPerWorker = 30000;
#endif
constexpr int kWorkers = 6;
constexpr int kSuspendable = 3;  // workers 0..2 are suspended at random
constexpr int kVictims = 4;
constexpr uint16_t kUnits = 5;

struct Shared {
    uint32_t seed = 0;
    int32_t sem = -1, gate = -1, mute = -1, section = -1;
    std::atomic<int> failures{0}, workers_done{0};
    std::atomic<bool> stop_suspender{false};
    std::atomic<int32_t> worker_handles[kWorkers];
    std::atomic<int> consumed{0};  // gate units taken by victims
    std::atomic<int> time_overs{0};
    int64_t guarded_mute = 0, guarded_section = 0;  // changed only under their lock
    std::atomic<int64_t> mute_ops{0}, section_ops{0};
};
Shared* g = nullptr;

void Check(bool ok)
{
    if (!ok)
        ++g->failures;
}

void TakeAndGive(std::mt19937& rng)
{
    static constexpr int32_t kTimeOuts[] = {0, 1, 2, 5, -1, WAIT_FOREVER};
    const auto count = static_cast<uint16_t>(1 + rng() % 4);
    const int32_t code = TakeSem(g->sem, count, kTimeOuts[rng() % 6]);
    Check(code == eOK || code == eTIME_OVER);
    g->time_overs += code == eTIME_OVER;
    if (code == eOK) {
        kerval::platform::sleep_ms(0);
        Check(FreeSem(g->sem, count) == eOK);  // a unit counted twice would overflow the max
    }
}

void Worker(int index)
{
    std::mt19937 rng(g->seed + static_cast<uint32_t>(index));
    const bool sections = !(kSuspendedWorkersSkipSections && index < kSuspendable);
    for (int op = 0; op < kOpsPerWorker; ++op) {
        const uint32_t choice = rng() % 4;
        switch (choice == 1 && !sections ? 0 : choice) {
            case 0:
                Check(TakeMute(g->mute, WAIT_FOREVER) == eOK);
                ++g->guarded_mute;
                ++g->mute_ops;
                Check(FreeMute(g->mute) == eOK);
                break;
            case 1:
                Check(EnterCriticalSec(g->section) == eOK && EnterCriticalSec(g->section) == eOK);
                ++g->guarded_section;
                ++g->section_ops;
                Check(LeaveCriticalSec(g->section) == eOK && LeaveCriticalSec(g->section) == eOK);
                break;
            default:
                TakeAndGive(rng);
        }
    }
    ++g->workers_done;
}

// One worker at a time is stopped for a moment, wherever it is.
void Suspender()
{
    std::mt19937 rng(g->seed ^ 0x5eed);
    while (!g->stop_suspender) {
        const int32_t h = g->worker_handles[rng() % kSuspendable];
        ActiveTask(h, 0);
        kerval::platform::sleep_ms(1 + rng() % 4);  // often past a waiter's time-out
        ActiveTask(h, 1);
        kerval::platform::sleep_ms(rng() % 2);
    }
    g->stop_suspender = false;
}

void Victim()
{
    while (TakeSem(g->gate, 1, WAIT_FOREVER) == eOK)
        ++g->consumed;
}

std::string Numbered(char prefix, int n)
{
    char name[16];
    std::snprintf(name, sizeof name, "%c%d", prefix, n);
    return name;
}

int32_t StartVictim(int n)
{
    return kvtest::StartTask(Numbered('V', n).c_str(), Victim);
}

bool QueueIsWhole(int32_t hSem)
{
    for (int32_t h : kvtest::QueueOf(hSem)) {
        if (h < 0)
            return false;
    }
    return true;
}

class SyncStress : public kvtest::TaskTest {};

TEST_F(SyncStress, UnitsAndIncrementsAreConservedUnderTimeOutsSuspensionsAndDeletions)
{
    Shared shared;
    g = &shared;
    const char* env = std::getenv("KV_STRESS_SEED");
    shared.seed =
        env != nullptr ? static_cast<uint32_t>(std::strtoul(env, nullptr, 10)) : 20261206u;
    std::printf("KV_STRESS_SEED=%u\n", shared.seed);
    kerval::task::SetWaitSliceMs(3);  // unlimited waits pass slice after slice
    kvtest::CaptureStdoutOf([&] {
        ASSERT_EQ(CreateSem("S", kUnits, kUnits, &shared.sem), eOK);
        ASSERT_EQ(CreateSem("GATE", 1000, 0, &shared.gate), eOK);
    });
    ASSERT_EQ(CreateMute("M", 1, &shared.mute), eOK);
    ASSERT_EQ(CreateCriticalSec("C", &shared.section), eOK);
    for (int i = 0; i < kWorkers; ++i)
        shared.worker_handles[i] = kvtest::StartTask(Numbered('W', i).c_str(), [i] { Worker(i); });
    kvtest::StartTask("SUSPENDER", Suspender);

    // The gate is released only from here, one unit per victim at most, so a victim found in
    // the queue stays there until this thread serves it or deletes it.
    std::mt19937 rng(shared.seed ^ 0x9a7e);
    int32_t victims[kVictims];
    int started = 0, freed = 0;
    for (int32_t& v : victims)
        v = StartVictim(started++);
    // A lost unit would wedge the workers' unlimited waits: give up after a generous while.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (shared.workers_done < kWorkers && std::chrono::steady_clock::now() < limit) {
        const std::vector<int32_t> queued = kvtest::QueueOf(shared.gate);
        Check(QueueIsWhole(shared.gate) && QueueIsWhole(shared.sem));
        if (queued.empty()) {
            kerval::platform::sleep_ms(1);
            continue;
        }
        if (rng() % 3 == 0) {
            int32_t& v = victims[rng() % kVictims];
            if (std::find(queued.begin(), queued.end(), v) != queued.end()) {
                kvtest::CaptureStdoutOf([&] { DeleteTask(v); });
                v = StartVictim(started++);
            }
        } else {
            const auto n = static_cast<uint16_t>(1 + rng() % queued.size());
            Check(FreeSem(shared.gate, n) == eOK);
            freed += n;
        }
        kerval::platform::sleep_ms(rng() % 2);
    }
    ASSERT_EQ(shared.workers_done, kWorkers) << "wedged";
    shared.stop_suspender = true;
    ASSERT_TRUE(kvtest::WaitFor([&] { return !shared.stop_suspender; }));
    ASSERT_TRUE(kvtest::WaitFor([&] { return kvtest::QueueOf(shared.gate).size() == kVictims; }));

    std::printf("time-outs %d, gate units %d, victims %d\n", shared.time_overs.load(), freed,
                started);
    EXPECT_EQ(shared.failures, 0);
    EXPECT_EQ(kvtest::CountOf(shared.sem), kUnits);
    EXPECT_TRUE(kvtest::QueueOf(shared.sem).empty());
    EXPECT_EQ(shared.consumed + kvtest::CountOf(shared.gate), freed);
    EXPECT_EQ(shared.guarded_mute, shared.mute_ops);
    EXPECT_EQ(shared.guarded_section, shared.section_ops);
    EXPECT_EQ(DeleteSem(shared.gate), eOK);  // the victims wake with 1 and end
    kerval::task::SetWaitSliceMs(0);
}

}  // namespace
