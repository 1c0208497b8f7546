// Seeded races on small boxes: writers, readers, and a controller that purges (a reader held
// suspended) or suspends, resumes and deletes tasks. Every message written with eOK is read once
// (or purged), in its writer's order; nobody stays blocked. Replay with KV_STRESS_SEED.
#include "tests/support/tasks.h"

namespace {

constexpr int kPurgePerWriter = kSlowBuild ? 300 : 20000;
constexpr int kControlPerWriter = kSlowBuild ? 300 : 1500;
constexpr int kControlOps = kSlowBuild ? 60 : 250;
constexpr int kMaxWriters = 64;

struct Payload {
    int32_t writer, seq;
};

// A message's sent state: 0 not written, 1 being written, 2 written with eOK.
struct RaceRun {
    uint32_t seed = 0;
    bool purge = false;
    int per_writer = 0;
    int32_t boxes[2] = {-1, -1}, readers[2] = {-1, -1};
    std::unique_ptr<std::atomic<uint8_t>[]> sent, reads;
    std::atomic<bool> writing[kMaxWriters] = {};  // started, neither done nor deleted
    std::atomic<int> failures{0}, readers_done{0}, next_reader{0};
    std::atomic<bool> stop{false}, controller_done{false};
};
RaceRun* g = nullptr;

uint32_t Writer(void*) {
    int32_t id = 0;
    RecoverTaskParam(_InternalCurrentTaskHandle(__FILE__, __LINE__), &id, sizeof id);
    for (int seq = 0; seq < g->per_writer; ++seq) {
        const Payload p{id, seq};
        std::atomic<uint8_t>& sent = g->sent[id * g->per_writer + seq];
        sent = 1;
        const bool ok = WriteMailBox(id, g->boxes[id % 2], 1, &p, sizeof p, seq) == eOK;
        sent = ok ? 2 : 0;
        g->failures += !ok;
        if (seq % 64 == 0) DisplayDebug("writer line\n", 1);
    }
    g->writing[id] = false;
    return 0;
}

uint32_t Reader(void*) {
    const int r = g->next_reader++;
    std::minstd_rand rng(g->seed * 3u + static_cast<uint32_t>(r));
    std::vector<int> last(kMaxWriters, -1);
    for (int n = 0, idle = 0; !(g->stop && idle >= 2); ++n) {
        Payload p{};
        uint32_t size = 0;
        const int32_t code =
            ReadMailBox(g->boxes[(n + r) % 2], nullptr, &p, &size, sizeof p, 5, nullptr, nullptr);
        idle = code == eTIME_OVER ? idle + 1 : 0;  // both boxes empty: drained
        if (code == eTIME_OVER) continue;
        if (code != eOK || size != sizeof p || p.writer < 0 || p.writer >= kMaxWriters ||
            p.seq < 0 || p.seq >= g->per_writer || p.seq <= last[p.writer] ||
            g->sent[p.writer * g->per_writer + p.seq] == 0) {
            ++g->failures;
            continue;
        }
        last[p.writer] = p.seq;
        ++g->reads[p.writer * g->per_writer + p.seq];
        if (p.seq % 128 == 0) DisplayDebug("reader line\n", 1);
        if (rng() % 4 == 0) WaitTime(0);
    }
    ++g->readers_done;
    return 0;
}

int32_t StartTask(const std::string& name, PFN_TASK fn, int32_t id = 0) {
    int32_t h = -1;
    if (CreateTask(name.c_str(), 0, fn, &id, sizeof id, 0, &h) != eOK) ++g->failures;
    return h;
}

int32_t StartWriter(int32_t id) {
    g->writing[id] = true;
    return StartTask("CW" + std::to_string(id), Writer, id);
}

uint32_t Controller(void*) {
    std::minstd_rand rng(g->seed);
    std::vector<int32_t> writers, ids = {0, 1, 2};
    for (int32_t id : ids) writers.push_back(StartWriter(id));
    int32_t next_id = 3;
    const auto writing = [] { return std::count(g->writing, g->writing + kMaxWriters, true); };
    for (int op = 0; writing() > 0; ++op) {
        const size_t w = rng() % writers.size();
        const int32_t reader = g->readers[rng() % 2];
        if (g->purge) {
            // A reader stopped between taking a message's unit and the message widens the races.
            const bool hold = rng() % 4 == 0;
            if (hold) SuspendTask(reader);
            PurgeMailBox(g->boxes[0]);
            if (hold) ActiveTask(reader, 1);
        } else if (op >= kControlOps) {
            WaitTime(1);
        } else if (rng() % 8 == 0 && next_id < kMaxWriters) {
            DeleteTask(writers[w]);
            g->writing[ids[w]] = false;
            ids[w] = next_id;
            writers[w] = StartWriter(next_id++);
        } else {
            const int32_t h = rng() % 2 == 0 ? writers[w] : reader;
            SuspendTask(h);
            WaitTime(static_cast<uint32_t>(rng() % 3));
            ActiveTask(h, 1);
        }
        WaitTime(static_cast<uint32_t>(rng() % 2));
    }
    g->controller_done = true;
    return 0;
}

int PurgedIn(const std::string& out) {
    int sum = 0;
    for (size_t at = 0; (at = out.find(" msg. deleted from box ", at)) != std::string::npos; ++at)
        sum += std::stoi(out.substr(out.rfind(' ', at - 1) + 1));
    return sum;
}

// Parameter: the capacity of the one purged box, or 0 for the suspend/delete runs.
class MailBoxRace : public TaskTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(MailBoxRace, EveryMessageOnceInWriterOrderAndNobodyWedged) {
    const uint32_t seed = StressSeed();
    SCOPED_TRACE("KV_STRESS_SEED=" + std::to_string(seed));
    auto run = std::make_unique<RaceRun>();
    g = run.get();
    run->seed = seed + GetParam();
    run->purge = GetParam() != 0;
    const uint16_t capacity = run->purge ? GetParam() : 2;
    run->per_writer = run->purge ? kPurgePerWriter : kControlPerWriter;
    const size_t total = size_t{kMaxWriters} * static_cast<size_t>(run->per_writer);
    run->sent.reset(new std::atomic<uint8_t>[total]());
    run->reads.reset(new std::atomic<uint8_t>[total]());
    ASSERT_EQ(CreateMailBox("RACE_A", capacity, &run->boxes[0]), eOK);
    run->boxes[1] = run->boxes[0];  // the purge runs share one box
    if (!run->purge) { ASSERT_EQ(CreateMailBox("RACE_B", capacity, &run->boxes[1]), eOK); }
    BeginCaptureStdout();
    for (int r = 0; r < 2; ++r) run->readers[r] = StartTask("CR" + std::to_string(r), Reader);
    StartTask("CONTROL", Controller);
    const bool written =
        WaitFor([&] { return run->controller_done.load(); }, std::chrono::seconds(120));
    run->stop = true;
    const bool drained = WaitFor([&] { return run->readers_done == 2; }, std::chrono::seconds(60));
    const int purged = PurgedIn(EndCaptureStdout());
    DeleteTestTasks();
    ASSERT_TRUE(written && drained) << "a task stayed blocked";
    EXPECT_EQ(run->failures.load(), 0);
    int confirmed = 0, read = 0, lost = 0, twice = 0;
    for (size_t i = 0; i < total; ++i) {
        const bool ok = run->sent[i] == 2;
        confirmed += ok, read += run->reads[i], lost += ok && run->reads[i] == 0;
        twice += run->reads[i] > 1;
    }
    EXPECT_EQ(twice, 0);
    // A deleted writer's last message may or may not have gone in; a purge frees what it takes.
    EXPECT_EQ(run->purge ? confirmed - read - purged : lost, 0);
    ASSERT_EQ(WriteText(run->boxes[0], "after"), eOK);  // the box still works
    EXPECT_EQ(ReadText(run->boxes[0]), "after");
    g = nullptr;
}

INSTANTIATE_TEST_SUITE_P(SmallBoxes, MailBoxRace, ::testing::Values(1, 2, 0));

// Messages too big for the C runtime's per-thread cache take the heap's lock on every write and
// read: writers deleted at random points must neither keep it nor wedge in their own ending.
TEST_F(TaskTest, WritersDeletedWhileAllocatingLeaveTheHeapUsable) {
    int32_t box = -1;
    ASSERT_EQ(CreateMailBox("HEAP", 100, &box), eOK);
    std::atomic<int> read{0};
    kvtest::StartTask("HEAPR", [&] {
        static char buffer[4000];
        for (;;) {
            uint32_t size = 0;
            read +=
                ReadMailBox(box, nullptr, buffer, &size, sizeof buffer, 5, nullptr, nullptr) == eOK;
        }
    });
    std::minstd_rand rng(StressSeed());
    for (int round = 0; round < (kSlowBuild ? 50 : 200); ++round) {
        const int32_t writer = kvtest::StartTask("HEAPW", [box] {
            static const char data[4000] = {};
            for (uint32_t n = 0;; ++n) {
                if (CountIn(box, &BoxCore::queued) < 50)
                    WriteMailBox(0, box, 1, data, 1500 + n % 2000, 0);
            }
        });
        WaitTime(static_cast<uint32_t>(rng() % 3));
        CaptureStdoutOf([writer] { DeleteTask(writer); });
    }
    const int before = read;
    EXPECT_EQ(WriteText(box, "last"), eOK);
    EXPECT_TRUE(WaitFor([&] { return read > before; }, std::chrono::seconds(60)));
    DeleteTestTasks();  // the reader uses `read`
}

}  // namespace
