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
        PurgeMailBox(g_run->box);
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
        StartTask("READER" + std::to_string(r), Reader);
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

}  // namespace
