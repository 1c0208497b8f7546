// Helpers of the tempo tests: a settable clock, the tick driven by hand, the tempo service
// started the way the start-up starts it, and reading wake-up messages without waiting.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "kerval/kerval.h"
#include "kerval/platform/platform.h"
#include "kerval/tempo/tempo_service.h"
#include "tests/support/fixtures.h"

namespace kvtest {

namespace kp = kerval::platform;

struct TestClock {
    static std::mutex& Lock()
    {
        static std::mutex lock;
        return lock;
    }
    static kp::LocalTime& Now()
    {
        static kp::LocalTime now{2024, 3, 10, 10, 20, 30, 0, 0};
        return now;
    }
    static void Read(kp::LocalTime* t)
    {
        std::lock_guard guard(Lock());
        *t = Now();
    }
    static void Set(int y, int mo, int d, int h, int mi, int s)
    {
        std::lock_guard guard(Lock());
        Now() = kp::LocalTime{y, mo, d, h, mi, s, 0, 0};
    }
};

inline void Tick(int n = 1)
{
    for (int i = 0; i < n; ++i)
        kp::seams::manual_tick();
}

// Starts the library and the tempo service on the test clock and the manual tick.
inline void StartTempoService()
{
    kp::seams::set_clock(TestClock::Read, nullptr);
    kp::seams::set_manual_tick(true);
    ASSERT_EQ(StartKerval(), eOK);
    int32_t code = 1;
    CaptureStdoutOf([&] { code = kerval::tempo::StartService(); });
    ASSERT_EQ(code, 0);
}

struct WakeUp {
    int32_t type = 0, extra = 0, sender = 0;
    uint32_t size = 0;
    TempoMsg msg{};
};

// The messages waiting in the box, oldest first.
inline std::vector<WakeUp> Drain(int32_t hBox)
{
    std::vector<WakeUp> out;
    for (;;) {
        WakeUp w;
        if (ReadMailBox(hBox, &w.type, &w.msg, &w.size, sizeof w.msg, 0, &w.extra, &w.sender) !=
            eOK)
            return out;
        out.push_back(w);
    }
}

class TempoTest : public TempDirTest {
protected:
    void SetUp() override
    {
        StartTempoService();
        ASSERT_EQ(CreateMailBox("BOX", 1000, &box_), eOK);
    }
    int32_t Delay(const char* name, uint32_t ms, uint8_t props = 0, int32_t box = -1)
    {
        int32_t h = -1;
        EXPECT_EQ(
            CreateActiveTempo(name, TEMPO_DELAY, nullptr, ms, props, box < 0 ? box_ : box, &h),
            eOK);
        return h;
    }
    // Ticks n times; answers the ticks (1-based) at which a message of hTempo arrived.
    std::vector<int> FiringTicks(int32_t hTempo, int n)
    {
        std::vector<int> ticks;
        for (int t = 1; t <= n; ++t) {
            Tick();
            for (const WakeUp& w : Drain(box_))
                if (w.msg.hTempo == hTempo)
                    ticks.push_back(t);
        }
        return ticks;
    }
    int32_t box_ = -1;
};

}  // namespace kvtest
