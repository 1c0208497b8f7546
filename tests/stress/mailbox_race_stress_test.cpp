// Seeded races on small boxes: purges against writers and readers, and tasks suspended, resumed
// and deleted at random while they exchange messages and print debug lines. Every message
// written with eOK must be read exactly once or freed by a purge, in each writer's order, and no
// task may stay blocked on a box that has room or messages. Replay a run with KV_STRESS_SEED.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "tests/mailbox/box_helpers.h"

#if defined(__SANITIZE_THREAD__)
#define KV_SLOW_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KV_SLOW_BUILD 1
#endif
#endif

namespace {

#if defined(KV_SLOW_BUILD) || defined(_WIN32)
constexpr int kPerWriter = 300;
#else
constexpr int kPerWriter = 20000;
#endif
constexpr int kWriters = 3;
constexpr int kReaders = 2;

uint32_t Seed()
{
    const char* text = std::getenv("KV_STRESS_SEED");
    return text != nullptr ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 20261206u;
}

struct Payload {
    int32_t writer;
    int32_t seq;
};

// State shared by the tasks of one run. A message's state: 0 not written, 1 written, 2 read.
struct RaceRun {
    uint32_t seed = 0;
    int32_t box = -1;
    std::unique_ptr<std::atomic<uint8_t>[]> state {
        new std::atomic<uint8_t>[ kWriters * kPerWriter ]
    };
    std::atomic<int> next_writer{0}, next_reader{0}, written{0}, read{0}, failures{0};
    std::atomic<int> writers_done{0}, readers_done{0}, purgers_done{0};
    std::atomic<bool> stop{false};
    int32_t readers[kReaders] = {-1, -1};
};
RaceRun* g_run = nullptr;

void Fail()
{
    ++g_run->failures;
}

uint32_t Writer(void*)
{
    const int w = g_run->next_writer++;
    std::minstd_rand rng(g_run->seed + static_cast<uint32_t>(w));
    for (int seq = 0; seq < kPerWriter; ++seq) {
        const Payload p{w, seq};
        g_run->state[w * kPerWriter + seq] = 1;
        if (WriteMailBox(w, g_run->box, 1, &p, sizeof p, seq) != eOK) {
            g_run->state[w * kPerWriter + seq] = 0;
            Fail();
            continue;
        }
        ++g_run->written;
        if (rng() % 64 == 0)
            WaitTime(0);
    }
    ++g_run->writers_done;
    return 0;
}

// Checks one message: known, not seen before, after the previous one of its writer.
void Account(const Payload& p, uint32_t size, std::vector<int>& last)
{
    if (size != sizeof p || p.writer < 0 || p.writer >= kWriters || p.seq < 0 ||
        p.seq >= kPerWriter || p.seq <= last[p.writer]) {
        Fail();
        return;
    }
    last[p.writer] = p.seq;
    uint8_t expected = 1;
    if (!g_run->state[p.writer * kPerWriter + p.seq].compare_exchange_strong(expected, 2))
        Fail();
    ++g_run->read;
}

uint32_t Reader(void*)
{
    std::minstd_rand rng(g_run->seed * 3u + static_cast<uint32_t>(g_run->next_reader++));
    std::vector<int> last(kWriters, -1);
    while (true) {
        Payload p{};
        uint32_t size = 0;
        const int32_t code =
            ReadMailBox(g_run->box, nullptr, &p, &size, sizeof p, 5, nullptr, nullptr);
        if (code == eOK) {
            Account(p, size, last);
            if (rng() % 4 == 0)
                WaitTime(0);
        } else if (code != eTIME_OVER) {
            Fail();
        } else if (g_run->stop) {
            break;
        }
    }
    ++g_run->readers_done;
    return 0;
}

uint32_t Purger(void*)
{
    std::minstd_rand rng(g_run->seed * 7u + 1u);
    while (!g_run->stop) {
        // A reader stopped between taking a message's unit and the message widens every race.
        const int32_t reader = g_run->readers[rng() % kReaders];
        const bool stop_reader = rng() % 4 == 0;
        if (stop_reader)
            SuspendTask(reader);
        PurgeMailBox(g_run->box);
        if (stop_reader)
            ActiveTask(reader, 1);
        WaitTime(static_cast<int32_t>(rng() % 2));
    }
    ++g_run->purgers_done;
    return 0;
}

// Sum of the counts of the "msg. deleted from box" lines.
int PurgedIn(const std::string& out)
{
    static const std::regex line(" : (\\d+) msg\\. deleted from box ");
    int sum = 0;
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it)
        sum += std::stoi((*it)[1]);
    return sum;
}

int32_t StartTask(const std::string& name, PFN_TASK fn)
{
    int32_t h = -1;
    EXPECT_EQ(CreateTask(name.c_str(), 0, fn, nullptr, 0, 0, &h), eOK);
    return h;
}

class MailBoxRace : public kvtest::TaskTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(MailBoxRace, PurgesRacingWritersAndReadersLoseNoCountAndWedgeNobody)
{
    RaceRun run;
    run.seed = Seed() + GetParam();
    SCOPED_TRACE("KV_STRESS_SEED=" + std::to_string(Seed()));
    g_run = &run;
    ASSERT_EQ(CreateMailBox("RACE_BOX", GetParam(), &run.box), eOK);
    kvtest::BeginCaptureStdout();
    for (int r = 0; r < kReaders; ++r)
        run.readers[r] = StartTask("READER" + std::to_string(r), Reader);
    StartTask("PURGER", Purger);
    for (int w = 0; w < kWriters; ++w)
        StartTask("WRITER" + std::to_string(w), Writer);
    const bool written =
        kvtest::WaitFor([&] { return run.writers_done == kWriters; }, std::chrono::seconds(120));
    run.stop = true;
    const bool drained =
        kvtest::WaitFor([&] { return run.readers_done == kReaders && run.purgers_done == 1; },
                        std::chrono::seconds(60));
    const int purged = PurgedIn(kvtest::EndCaptureStdout());
    kvtest::DeleteTestTasks();
    ASSERT_TRUE(written) << "a writer stayed blocked";
    ASSERT_TRUE(drained) << "a reader stayed blocked";
    EXPECT_EQ(run.failures.load(), 0);
    EXPECT_EQ(run.read + purged, run.written.load());
    // The box still works: a message written now is read at once.
    ASSERT_EQ(kvtest::WriteText(run.box, "after"), eOK);
    char buf[8] = {};
    uint32_t size = 0;
    EXPECT_EQ(ReadMailBox(run.box, nullptr, buf, &size, sizeof buf, 400, nullptr, nullptr), eOK);
    EXPECT_STREQ(buf, "after");
    g_run = nullptr;
}

INSTANTIATE_TEST_SUITE_P(SmallBoxes, MailBoxRace, ::testing::Values(1, 2));

// Writers (two boxes of capacity 2) and readers print debug lines while one controller task
// suspends and resumes any of them and deletes writers, replacing each by a new one.
#if defined(KV_SLOW_BUILD) || defined(_WIN32)
constexpr int kControlPerWriter = 300;
constexpr int kControlOps = 60;
#else
constexpr int kControlPerWriter = 1500;
constexpr int kControlOps = 250;
#endif
constexpr int kMaxWriters = 64;

struct ControlRun {
    uint32_t seed = 0;
    int32_t boxes[2] = {-1, -1};
    std::atomic<uint8_t> confirmed[kMaxWriters][kControlPerWriter] = {};
    std::atomic<uint8_t> reads[kMaxWriters][kControlPerWriter] = {};
    std::atomic<bool> done[kMaxWriters] = {};
    std::atomic<bool> deleted[kMaxWriters] = {};
    std::atomic<bool> started[kMaxWriters] = {};
    std::atomic<int> failures{0}, readers_done{0}, next_reader{0};
    std::atomic<bool> control_done{false}, stop{false};
};
ControlRun* g_ctl = nullptr;

uint32_t ControlledWriter(void*)
{
    int32_t id = 0;
    RecoverTaskParam(_InternalCurrentTaskHandle(__FILE__, __LINE__), &id, sizeof id);
    for (int seq = 0; seq < kControlPerWriter; ++seq) {
        const Payload p{id, seq};
        if (WriteMailBox(id, g_ctl->boxes[id % 2], 1, &p, sizeof p, seq) != eOK)
            ++g_ctl->failures;
        g_ctl->confirmed[id][seq] = 1;
        if (seq % 64 == 0)
            DisplayDebug("writer line\n", 1);
    }
    g_ctl->done[id] = true;
    return 0;
}

uint32_t ControlledReader(void*)
{
    const int r = g_ctl->next_reader++;
    std::vector<int> last(kMaxWriters, -1);
    for (int n = 0, idle = 0; !(g_ctl->stop && idle >= 2);) {
        Payload p{};
        uint32_t size = 0;
        const int32_t code = ReadMailBox(g_ctl->boxes[(n + r) % 2], nullptr, &p, &size, sizeof p, 5,
                                         nullptr, nullptr);
        ++n;
        idle = code == eTIME_OVER ? idle + 1 : 0;  // both boxes empty: drained
        if (code == eTIME_OVER)
            continue;
        if (code != eOK || size != sizeof p || p.writer < 0 || p.writer >= kMaxWriters ||
            p.seq < 0 || p.seq >= kControlPerWriter || p.seq <= last[p.writer]) {
            ++g_ctl->failures;
            continue;
        }
        last[p.writer] = p.seq;
        ++g_ctl->reads[p.writer][p.seq];
        if (p.seq % 128 == 0)
            DisplayDebug("reader line\n", 1);
    }
    ++g_ctl->readers_done;
    return 0;
}

int32_t StartWriter(int32_t id)
{
    int32_t h = -1;
    g_ctl->started[id] = true;
    const std::string name = "CW" + std::to_string(id);
    if (CreateTask(name.c_str(), 0, ControlledWriter, &id, sizeof id, 0, &h) != eOK)
        ++g_ctl->failures;
    return h;
}

uint32_t Controller(void*)
{
    std::minstd_rand rng(g_ctl->seed);
    std::vector<int32_t> writers, ids, readers;
    for (int32_t id = 0; id < 3; ++id) {
        writers.push_back(StartWriter(id));
        ids.push_back(id);
    }
    for (int r = 0; r < 2; ++r)
        readers.push_back(StartTask("CR" + std::to_string(r), ControlledReader));
    int32_t next_id = 3;
    for (int op = 0; op < kControlOps; ++op) {
        const size_t w = rng() % writers.size();
        if (rng() % 8 == 0 && next_id < kMaxWriters) {
            g_ctl->deleted[ids[w]] = true;
            DeleteTask(writers[w]);
            ids[w] = next_id;
            writers[w] = StartWriter(next_id++);
            continue;
        }
        const int32_t h = rng() % 2 == 0 ? writers[w] : readers[rng() % readers.size()];
        SuspendTask(h);
        WaitTime(static_cast<uint32_t>(rng() % 3));
        ActiveTask(h, 1);
        WaitTime(static_cast<uint32_t>(rng() % 2));
    }
    g_ctl->control_done = true;
    return 0;
}

bool AllWritersDone(const ControlRun& run)
{
    for (int id = 0; id < kMaxWriters; ++id) {
        if (!run.deleted[id] && !run.done[id] && run.started[id])
            return false;
    }
    return true;
}

using MailBoxControl = kvtest::TaskTest;

TEST_F(MailBoxControl, SuspendResumeAndDeleteWhileExchangingLoseNothingAndBlockNobody)
{
    auto run = std::make_unique<ControlRun>();
    run->seed = Seed();
    SCOPED_TRACE("KV_STRESS_SEED=" + std::to_string(run->seed));
    g_ctl = run.get();
    ASSERT_EQ(CreateMailBox("CTL_A", 2, &run->boxes[0]), eOK);
    ASSERT_EQ(CreateMailBox("CTL_B", 2, &run->boxes[1]), eOK);
    kvtest::BeginCaptureStdout();
    StartTask("CONTROL", Controller);
    const auto limit = std::chrono::seconds(120);
    const bool controlled = kvtest::WaitFor([&] { return run->control_done.load(); }, limit);
    const bool written = controlled && kvtest::WaitFor([&] { return AllWritersDone(*run); }, limit);
    run->stop = true;
    const bool drained = kvtest::WaitFor([&] { return run->readers_done == 2; }, limit);
    kvtest::EndCaptureStdout();
    ASSERT_TRUE(controlled && written && drained) << "a task stayed blocked";
    EXPECT_EQ(run->failures.load(), 0);
    int lost = 0, twice = 0;
    for (int id = 0; id < kMaxWriters; ++id) {
        for (int seq = 0; seq < kControlPerWriter; ++seq) {
            lost += run->confirmed[id][seq] && run->reads[id][seq] == 0 ? 1 : 0;
            twice += run->reads[id][seq] > 1 ? 1 : 0;
        }
    }
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(twice, 0);
    kvtest::DeleteTestTasks();
    g_ctl = nullptr;
}

}  // namespace
