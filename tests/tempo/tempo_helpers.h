// Tempo tests: a settable clock, a hand-driven tick, the tempo service, wake-ups read at once.
#pragma once

#include "kerval/tempo/tempo_service.h"
#include "tests/support/fixtures.h"

namespace kvtest {

inline void SetClock(int y, int mo, int d, int h, int mi, int s) {
    FakeClock::Set({y, mo, d, h, mi, s, 0, 0});
}

inline void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) kp::seams::manual_tick();
}

// The clock is at 2024-03-10 10:20:30 when the service starts.
inline void StartTempoService() {
    static FakeClock clock({2024, 3, 10, 10, 20, 30, 0, 0});
    kp::seams::set_manual_tick(true);
    ASSERT_EQ(StartKerval(), eOK);
    CaptureStdoutOf([] { ASSERT_EQ(kerval::tempo::StartService(), 0); });
}

struct WakeUp {
    int32_t type = 0, extra = 0, sender = 0;
    uint32_t size = 0;
    TempoMsg msg{};
};

inline std::vector<WakeUp> Drain(int32_t hBox) {
    std::vector<WakeUp> out;
    WakeUp w;
    while (ReadMailBox(hBox, &w.type, &w.msg, &w.size, sizeof w.msg, 0, &w.extra, &w.sender) == eOK)
        out.push_back(w);
    return out;
}

struct TempoTest : TempDirTest {
    void SetUp() override {
        StartTempoService();
        ASSERT_EQ(CreateMailBox("BOX", 1000, &box_) + CreateMailBox("SMALL", 1, &small_), eOK);
    }
    int32_t Delay(const char* name, uint32_t ms, uint8_t props = 0, int32_t b = -1) {
        return Made(CreateActiveTempo, name, TEMPO_DELAY, nullptr, ms, props, b < 0 ? box_ : b);
    }
    // The ticks (1-based, out of n) at which a message arrived in the fixture's box.
    std::vector<int> FiringTicks(int n) {
        std::vector<int> ticks;
        for (int t = 1; t <= n; ++t)
            if (Tick(), !Drain(box_).empty()) ticks.push_back(t);
        return ticks;
    }
    static bool Reports(int32_t hTempo, const std::string& text) {
        return CaptureStdoutOf([&] {
                   GetInfoTempo(hTempo, 2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr);
               }).find(text) != std::string::npos;
    }
    int32_t box_ = -1, small_ = -1;  // a box of one message
};

}  // namespace kvtest
