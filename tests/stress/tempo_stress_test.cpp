// Seeded random run of the tempo operations against a tick driven from another thread: tempos
// are created, deleted, inactivated, reactivated and changed while they fire; one of the two
// boxes is small (wake-ups wait for room) and purged; the reading task is suspended now and
// then. Every message must be whole, none may follow the deletion or inactivation of its tempo,
// and nothing may wedge. Replay a run with KERVAL_STRESS_SEED=<seed>.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kerval/core/core.h"
#include "kerval/tempo/tempo_internal.h"
#include "tests/tempo/tempo_helpers.h"

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
#define KV_TEMPO_STRESS_SMALL 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define KV_TEMPO_STRESS_SMALL 1
#endif
#endif

namespace kvtest {
namespace {

#if defined(KV_TEMPO_STRESS_SMALL)
constexpr int kSteps = 3000;
#else
constexpr int kSteps = 30000;
#endif
constexpr int32_t kDeletedMark = 5, kInactiveMark = 6, kReopenMark = 7;

std::atomic<bool> g_stop{false}, g_reader_done{false};
std::atomic<int> g_failures{0}, g_messages{0};
int32_t g_boxes[2] = {-1, -1};  // large, small

struct Tracked {
    int32_t handle;
    uint32_t event;
    int box;
};

void Fail(const std::string& why)
{
    if (g_failures++ < 5)
        ADD_FAILURE() << why;
}

// The content a tempo of serial n carries: keyword "k<n>", n % 200 bytes counting up from n.
void Expected(uint32_t n, std::string* keyword, std::vector<uint8_t>* param)
{
    char text[16];
    std::snprintf(text, sizeof text, "k%u", n);
    *keyword = text;
    param->resize(n % 200);
    for (size_t i = 0; i < param->size(); ++i)
        (*param)[i] = static_cast<uint8_t>(n + i);
}

void CheckWakeUp(const TempoMsg& m, uint32_t size, const std::map<uint32_t, bool>& closed)
{
    ++g_messages;
    std::string keyword;
    std::vector<uint8_t> param;
    Expected(static_cast<uint32_t>(std::strtoul(m.szKeyword + 1, nullptr, 10)), &keyword, &param);
    if (size != sizeof m || keyword != m.szKeyword ||
        m.lParam != static_cast<int32_t>(param.size()) ||
        !std::equal(param.begin(), param.end(), m.aParam))
        Fail(std::string("damaged wake-up ") + m.szKeyword);
    const auto it = closed.find(m.lEvent);
    if (it != closed.end() && it->second)
        Fail("wake-up of event " + std::to_string(m.lEvent) + " after its tempo stopped");
}

// Reads both boxes; markers written by the worker after an operation returned close an event.
uint32_t Reader(void*)
{
    std::map<uint32_t, bool> closed;
    while (!g_stop) {
        bool any = false;
        for (int32_t box : g_boxes) {
            TempoMsg m{};
            int32_t type = 0;
            uint32_t size = 0;
            if (ReadMailBox(box, &type, &m, &size, sizeof m, 0, nullptr, nullptr) != eOK)
                continue;
            any = true;
            uint32_t event = 0;
            std::memcpy(&event, &m, sizeof event);
            if (type == MSG_TYPE_TEMPO)
                CheckWakeUp(m, size, closed);
            else if (type == kReopenMark)
                closed[event] = false;
            else
                closed[event] = true;
        }
        if (!any)
            kp::sleep_ms(1);
    }
    g_reader_done = true;
    return 0;
}

class Worker {
public:
    Worker(uint32_t seed, int32_t reader) : rng_(seed), reader_(reader) {}

    void Step()
    {
        using Op = void (Worker::*)();
        static constexpr Op kOps[] = {&Worker::Create,        &Worker::Create, &Worker::Create,
                                      &Worker::Delete,        &Worker::Delete, &Worker::Inactivate,
                                      &Worker::Reactivate,    &Worker::Change, &Worker::Purge,
                                      &Worker::SuspendBriefly};
        (this->*kOps[Pick(std::size(kOps))])();
    }
    void DeleteAll()
    {
        for (const Tracked& t : live_)
            DeleteTempo(t.handle);
        live_.clear();
    }
    int created = 0;

private:
    uint32_t Pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }
    Tracked Any() { return live_.empty() ? Tracked{-1, 0, 0} : live_[Pick(live_.size())]; }

    void Create()
    {
        const uint32_t n = static_cast<uint32_t>(created++);
        std::string keyword;
        std::vector<uint8_t> param;
        Expected(n, &keyword, &param);
        const int box = static_cast<int>(Pick(2));
        const uint8_t props = static_cast<uint8_t>(Pick(4) == 0 ? Pick(4) : 0);
        const uint32_t type = Pick(8) == 0 ? TEMPO_SECOND : TEMPO_DELAY;
        int32_t h = -1;
        char name[16];
        std::snprintf(name, sizeof name, "T%u", n);
        if (CreateActiveTempoWithParam(name, type, nullptr, Pick(300), props, g_boxes[box],
                                       keyword.c_str(), param.data(),
                                       static_cast<int32_t>(param.size()), &h) != eOK)
            return;  // the table is full
        uint32_t event = 0;
        GetInfoTempo(h, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &event, nullptr,
                     nullptr);
        std::erase_if(live_, [h](const Tracked& t) { return t.handle == h; });  // auto-deleted
        live_.push_back(Tracked{h, event, box});
    }
    // Whether the tracked tempo is still the one at its handle (auto-delete frees it).
    static bool Current(const Tracked& t)
    {
        uint32_t event = 0;
        return GetInfoTempo(t.handle, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            &event, nullptr, nullptr) == eOK &&
               event == t.event;
    }
    // Marks go to the large box only, which never fills: a writer waiting on the small box
    // would race with its purges.
    void Mark(const Tracked& t, int32_t type)
    {
        if (t.box == 0)
            WriteMailBox(-1, g_boxes[0], type, &t.event, sizeof t.event, 0);
    }
    void Delete()
    {
        if (live_.empty())
            return;
        const size_t i = Pick(live_.size());
        const Tracked t = live_[i];
        live_.erase(live_.begin() + static_cast<std::ptrdiff_t>(i));
        if (!Current(t))
            return;
        DeleteTempo(t.handle);
        Mark(t, kDeletedMark);
    }
    void Inactivate() { SwitchAny(false); }
    void Reactivate() { SwitchAny(true); }
    // A reopening is marked before the call, a stop after it.
    void SwitchAny(bool on)
    {
        const Tracked t = Any();
        if (t.handle < 0 || !Current(t))
            return;
        if (on)
            Mark(t, kReopenMark);
        (on ? ReactivateTempo : InactivateTempo)(t.handle);
        if (!on)
            Mark(t, kInactiveMark);
    }
    void Change() { ChangeTempoDelay(Any().handle, Pick(300)); }
    void Purge() { PurgeMailBox(g_boxes[1]); }
    void SuspendBriefly()
    {
        SuspendTask(reader_);
        kp::sleep_ms(1);
        ActiveTask(reader_, 1);
    }

    std::mt19937 rng_;
    int32_t reader_;
    std::vector<Tracked> live_;
};

uint32_t SeedOfRun()
{
    const char* text = std::getenv("KERVAL_STRESS_SEED");
    return text != nullptr ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 20261206u;
}

TEST(TempoStress, TemposChangedWhileFiringDeliverWholeMessagesAndNoneAfterTheyStop)
{
    StartTempoService();
    const uint32_t seed = SeedOfRun();
    std::printf("seed %u\n", seed);
    ASSERT_EQ(CreateMailBox("LARGE", 60000, &g_boxes[0]), eOK);
    ASSERT_EQ(CreateMailBox("SMALL", 3, &g_boxes[1]), eOK);
    int32_t reader = -1;
    ASSERT_EQ(CreateTask("READER", 0, Reader, nullptr, 0, 0, &reader), eOK);
    std::atomic<bool> ticking{true};
    std::thread ticker([&] {
        for (int t = 1; ticking; ++t) {
            Tick();
            if (t % 20 == 0)
                SetClock(2024, 3, 10, 10, 20 + t / 1200, (t / 20) % 60);
            kp::sleep_ms(1);
        }
    });
    Worker worker(seed, reader);
    const std::string noise = CaptureStdoutOf([&] {
        for (int i = 0; i < kSteps; ++i)
            worker.Step();
        worker.DeleteAll();
        ticking = false;
        ticker.join();
        Tick(3);
    });
    kp::sleep_ms(50);
    g_stop = true;
    while (!g_reader_done)
        kp::sleep_ms(1);
    DeleteTask(reader);
    std::printf("%d tempos, %d wake-ups\n", worker.created, g_messages.load());
    EXPECT_EQ(g_failures.load(), 0) << "seed " << seed;
    EXPECT_GT(g_messages.load(), 0);
    auto& table = kerval::tempo::Table();
    std::lock_guard guard(table.lock);
    EXPECT_TRUE(table.pending.empty());
    for (int32_t i = 0; i < _pxSysDescript->nNbTempo; ++i)
        EXPECT_EQ(_pxSysDescript->pxTempoTab[i].bUsed, 0) << i;
}

}  // namespace
}  // namespace kvtest
