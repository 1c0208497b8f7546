// Seeded tempo operations while a thread ticks, boxes purged, the reader suspended: every wake-up
// whole, none after its tempo's stop, nothing wedged. Replay with KV_STRESS_SEED=<seed>.
#include "kerval/tempo/tempo_internal.h"
#include "tests/support/tasks.h"
#include "tests/tempo/tempo_helpers.h"

namespace kvtest {
namespace {

constexpr int kSteps = kSlowBuild ? 3000 : 30000;
constexpr int32_t kStopMark = 5, kReopenMark = 7;

std::atomic<bool> g_stop{false}, g_reader_done{false};
std::atomic<int> g_messages{0};
int32_t g_boxes[2] = {-1, -1};  // large, small

// The parameter of the tempo of serial n (whose keyword is "k<n>"): n % 200 bytes counting up.
std::vector<uint8_t> ParamOf(uint32_t n) {
    std::vector<uint8_t> param(n % 200);
    for (size_t i = 0; i < param.size(); ++i) param[i] = static_cast<uint8_t>(n + i);
    return param;
}

// Reads both boxes; marks written by the worker around an operation stop or reopen an event.
void ReadUntilStopped() {
    std::map<uint32_t, bool> stopped;
    for (int i = 0; !g_stop; ++i) {
        TempoMsg m{};
        int32_t type = 0;
        uint32_t size = 0;
        if (ReadMailBox(g_boxes[i % 2], &type, &m, &size, sizeof m, 1, nullptr, nullptr) != eOK)
            continue;
        if (type != MSG_TYPE_TEMPO) {
            stopped[static_cast<uint32_t>(m.hTempo)] = type == kStopMark;  // the mark's event
            continue;
        }
        ++g_messages;
        const auto n = static_cast<uint32_t>(std::strtoul(m.szKeyword + 1, nullptr, 10));
        const std::vector<uint8_t> param = ParamOf(n);
        EXPECT_TRUE(size == sizeof m && 'k' + std::to_string(n) == m.szKeyword &&
                    m.lParam == static_cast<int32_t>(param.size()) &&
                    std::equal(param.begin(), param.end(), m.aParam))
            << "damaged wake-up " << m.szKeyword;
        EXPECT_FALSE(stopped[m.lEvent]) << "wake-up after its tempo stopped: " << m.szKeyword;
    }
}

struct Tracked {
    int32_t handle;
    uint32_t event;
    int box;
};

uint32_t EventOf(int32_t h) {
    uint32_t event = 0;
    GetInfoTempo(h, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &event, nullptr,
                 nullptr);
    return event;
}

// Marks go to the never full large box; a reopening is marked before the call, a stop after.
void Mark(const Tracked& t, int32_t type) {
    if (t.box == 0) WriteMailBox(-1, g_boxes[0], type, &t.event, sizeof t.event, 0);
}

void Step(std::mt19937& rng, std::vector<Tracked>& live, uint32_t& created, int32_t reader) {
    const auto pick = [&](size_t n) { return static_cast<uint32_t>(rng() % n); };
    const size_t i = live.empty() ? 0 : pick(live.size());
    const uint32_t op = pick(10);
    // Auto-deletion may have freed a tracked tempo's handle, or given it to a newer one.
    const bool current = !live.empty() && EventOf(live[i].handle) == live[i].event;
    if (op < 3) {
        const uint32_t n = created++;
        const std::string name = 'T' + std::to_string(n), keyword = 'k' + std::to_string(n);
        const std::vector<uint8_t> param = ParamOf(n);
        const int box = static_cast<int>(pick(2));
        const auto props = static_cast<uint8_t>(pick(4) == 0 ? pick(4) : 0);
        int32_t h = -1;
        if (CreateActiveTempoWithParam(name.c_str(), pick(8) == 0 ? TEMPO_SECOND : TEMPO_DELAY,
                                       nullptr, pick(300), props, g_boxes[box], keyword.c_str(),
                                       param.data(), static_cast<int32_t>(param.size()), &h) != eOK)
            return;  // the table is full
        std::erase_if(live, [h](const Tracked& t) { return t.handle == h; });
        live.push_back(Tracked{h, EventOf(h), box});
    } else if (op < 5 && !live.empty()) {
        const Tracked t = live[i];
        live.erase(live.begin() + static_cast<std::ptrdiff_t>(i));
        if (current && DeleteTempo(t.handle) == eOK) Mark(t, kStopMark);
    } else if (op == 5 && current) {
        InactivateTempo(live[i].handle);
        Mark(live[i], kStopMark);
    } else if (op == 6 && current) {
        Mark(live[i], kReopenMark);
        ReactivateTempo(live[i].handle);
    } else if (op == 7 && !live.empty()) {
        ChangeTempoDelay(live[i].handle, pick(300));
    } else if (op == 8) {
        PurgeMailBox(g_boxes[1]);
    } else if (op == 9) {
        SuspendTask(reader);
        kp::sleep_ms(1);
        ActiveTask(reader, 1);
    }
}

TEST(TempoStress, TemposChangedWhileFiringDeliverWholeMessagesAndNoneAfterTheyStop) {
    TempDir dir;  // the library's trace files go there
    StartTempoService();
    const uint32_t seed = StressSeed();
    SCOPED_TRACE("KV_STRESS_SEED=" + std::to_string(seed));
    ASSERT_EQ(CreateMailBox("LARGE", 60000, &g_boxes[0]), eOK);
    ASSERT_EQ(CreateMailBox("SMALL", 3, &g_boxes[1]), eOK);
    // Done only once its map is gone: the task is deleted as soon as it says so.
    const int32_t reader = StartTask("READER", [] { ReadUntilStopped(), g_reader_done = true; });
    ASSERT_GT(reader, 0);
    std::atomic<bool> ticking{true};
    std::thread ticker([&] {
        for (int t = 1; ticking; ++t) {
            Tick();
            if (t % 20 == 0) SetClock(2024, 3, 10, 10, 20 + t / 1200, (t / 20) % 60);
            kp::sleep_ms(1);
        }
    });
    std::mt19937 rng(seed);
    std::vector<Tracked> live;
    uint32_t created = 0;
    CaptureStdoutOf([&] {
        for (int i = 0; i < kSteps; ++i) Step(rng, live, created, reader);
        for (const Tracked& t : live) DeleteTempo(t.handle);
        ticking = false;
        ticker.join();
        Tick(3);
    });
    kp::sleep_ms(50);
    g_stop = true;
    while (!g_reader_done) kp::sleep_ms(1);
    DeleteTask(reader);
    EXPECT_GT(g_messages.load(), 0);
    auto& table = kerval::tempo::Table();
    std::lock_guard guard(table.lock);
    EXPECT_TRUE(table.pending.empty());
    for (int32_t i = 0; i < _pxSysDescript->nNbTempo; ++i)
        EXPECT_EQ(_pxSysDescript->pxTempoTab[i].bUsed, 0) << i;
}

}  // namespace
}  // namespace kvtest
