// Seeded stress of semaphores, mutexes and nested sections under time-outs, suspensions and
// deletions of queued tasks: every unit and increment accounted for, queues whole, nothing
// wedged. KV_STRESS_SEED replays a run.
#include "tests/support/tasks.h"

namespace {

constexpr int kOpsPerWorker = kSlowBuild ? 400 : 30000;
// ThreadSanitizer holds a suspension's signal back while its target waits for a lock, and the
// suspension holds the target's thread record meanwhile: a suspended worker must not enter a
// section, whose first entry reads its priority from that record.
constexpr bool kSuspendedWorkersSkipSections = kThreadSanitizer;
constexpr int kWorkers = 6, kSuspendable = 3, kVictims = 4;  // workers 0..2 are suspended
constexpr uint16_t kUnits = 5;

struct Shared {
    uint32_t seed = 0;
    int32_t sem = -1, gate = -1, mute = -1, section = -1;
    std::atomic<int32_t> workers[kWorkers];
    std::atomic<int> workers_done{0}, consumed{0};  // consumed: gate units taken
    int64_t guarded[2] = {};                        // changed only under the mutex, the section
    std::atomic<int64_t> increments[2] = {};
};
Shared* g = nullptr;

void Worker(int index) {
    static constexpr int32_t kTimeOuts[] = {0, 1, 2, 5, -1, WAIT_FOREVER};
    std::mt19937 rng(g->seed + static_cast<uint32_t>(index));
    const bool sections = !(kSuspendedWorkersSkipSections && index < kSuspendable);
    for (int op = 0; op < kOpsPerWorker; ++op) {
        const uint32_t choice = rng() % 4;
        if (choice == 0 || (choice == 1 && !sections)) {
            EXPECT_TRUE(TakeMute(g->mute, WAIT_FOREVER) == eOK);
            ++g->guarded[0], ++g->increments[0];
            EXPECT_TRUE(FreeMute(g->mute) == eOK);
        } else if (choice == 1) {
            EXPECT_TRUE(EnterCriticalSec(g->section) == eOK && EnterCriticalSec(g->section) == eOK);
            ++g->guarded[1], ++g->increments[1];
            EXPECT_TRUE(LeaveCriticalSec(g->section) == eOK && LeaveCriticalSec(g->section) == eOK);
        } else {
            const auto count = static_cast<uint16_t>(1 + rng() % 4);
            const int32_t code = TakeSem(g->sem, count, kTimeOuts[rng() % 6]);
            EXPECT_TRUE(code == eOK || code == eTIME_OVER);
            kerval::platform::sleep_ms(0);
            // A unit counted twice would overflow the maximum.
            EXPECT_TRUE(code != eOK || FreeSem(g->sem, count) == eOK);
        }
    }
    ++g->workers_done;
}

int32_t StartVictim(int n) {
    return StartTask(('V' + std::to_string(n)).c_str(), [] {
        while (TakeSem(g->gate, 1, WAIT_FOREVER) == eOK) ++g->consumed;
    });
}

bool QueueIsWhole(const std::vector<int32_t>& queue) {
    return std::none_of(queue.begin(), queue.end(), [](int32_t h) { return h < 0; });
}

using SyncStress = TaskTest;

TEST_F(SyncStress, UnitsAndIncrementsAreConservedUnderTimeOutsSuspensionsAndDeletions) {
    Shared shared;
    g = &shared;
    shared.seed = StressSeed();
    SCOPED_TRACE("KV_STRESS_SEED=" + std::to_string(shared.seed));
    kerval::task::SetWaitSliceMs(3);                 // a time-out of -1 ends soon
    kerval::platform::seams::set_manual_tick(true);  // the life-sign ticker runs in this loop
    CaptureStdoutOf([&] {
        ASSERT_EQ(CreateSem("S", kUnits, kUnits, &shared.sem), eOK);
        ASSERT_EQ(CreateSem("GATE", 1000, 0, &shared.gate), eOK);
    });
    shared.mute = Made(CreateMute, "M", 1), shared.section = Made(CreateCriticalSec, "C");
    for (int i = 0; i < kWorkers; ++i)
        shared.workers[i] = StartTask(('W' + std::to_string(i)).c_str(), [i] { Worker(i); });

    // Only this thread releases the gate, so a victim found queued stays there until served or
    // deleted; meanwhile one of the first workers is stopped wherever it is.
    std::mt19937 rng(shared.seed ^ 0x9a7e);
    int32_t victims[kVictims];
    int started = 0, freed = 0;
    for (int32_t& v : victims) v = StartVictim(started++);
    // A lost unit would wedge the workers' unlimited waits: give up after a generous while.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (shared.workers_done < kWorkers && std::chrono::steady_clock::now() < limit) {
        const int32_t suspended = shared.workers[rng() % kSuspendable];
        ActiveTask(suspended, 0);
        const std::vector<int32_t> queued = QueueOf(shared.gate);
        EXPECT_TRUE(QueueIsWhole(queued) && QueueIsWhole(QueueOf(shared.sem)));
        int32_t& v = victims[rng() % kVictims];
        if (queued.empty()) {
            kerval::platform::sleep_ms(1);
        } else if (rng() % 3 != 0) {
            const auto n = static_cast<uint16_t>(1 + rng() % queued.size());
            EXPECT_TRUE(FreeSem(shared.gate, n) == eOK);
            freed += n;
        } else if (std::find(queued.begin(), queued.end(), v) != queued.end()) {
            CaptureStdoutOf([&] { DeleteTask(v); });
            v = StartVictim(started++);
        }
        kerval::platform::sleep_ms(rng() % 4);
        kerval::platform::seams::manual_tick();
        ActiveTask(suspended, 1);
        kerval::platform::sleep_ms(rng() % 2);
    }
    ASSERT_EQ(shared.workers_done, kWorkers) << "wedged";
    ASSERT_TRUE(WaitFor([&] { return QueueOf(shared.gate).size() == kVictims; }));
    EXPECT_EQ(CountOf(shared.sem), kUnits);
    EXPECT_TRUE(QueueOf(shared.sem).empty());
    EXPECT_EQ(shared.consumed + CountOf(shared.gate), freed);
    EXPECT_EQ(shared.guarded[0], shared.increments[0]);
    EXPECT_EQ(shared.guarded[1], shared.increments[1]);
    EXPECT_EQ(DeleteSem(shared.gate), eOK);  // the victims wake with 1 and end
    kerval::task::SetWaitSliceMs(0);
    kerval::platform::seams::set_manual_tick(false);
}

}  // namespace
