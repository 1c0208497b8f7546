// Mutexes and critical sections: ownership, abandonment, deletion, nesting, priority.
#include "tests/support/tasks.h"

namespace {

using MutexAndSection = TaskTest;

std::atomic<int32_t> g_takes[2] = {-1, -1};  // each case runs in a process of its own

// Free after as many frees as takes; deletion wakes the waiter with 1, a later free answers 1.
TEST_F(MutexAndSection, MutexIsRecursiveContendedAndDeletable) {
    const int32_t mute = Made(CreateMute, "M", 1);
    ASSERT_EQ(TakeMute(mute, 0), eOK);
    ASSERT_EQ(TakeMute(mute, 0), eOK);
    StartTask("W0", [mute] {
        g_takes[0] = TakeMute(mute, 0);
        FreeMute(mute);
    });
    EXPECT_EQ(FreeMute(mute), eOK);
    kp::sleep_ms(30);
    EXPECT_EQ(g_takes[0], -1);
    EXPECT_EQ(FreeMute(mute), eOK);
    EXPECT_TRUE(WaitFor([] { return g_takes[0] == eOK; }));
    EXPECT_EQ(TakeMute(mute, 0), eOK);
    StartTask("W1", [mute] { g_takes[1] = TakeMute(mute, 0); });
    kp::sleep_ms(20);
    EXPECT_EQ(DeleteMute(mute), eOK);
    EXPECT_TRUE(WaitFor([] { return g_takes[1] == eNOK; }));
    CaptureStdoutOf([&] { EXPECT_EQ(FreeMute(mute), eNOK); });
}

// The owner's end (task deleted, then function returned) passes the mutex on with a warning.
TEST_F(MutexAndSection, AbandonedMutexGoesToTheNextTaker) {
    const int32_t mute = Made(CreateMute, "M", 1);
    const int32_t holder = StartTask("H", [mute] {
        g_takes[0] = TakeMute(mute, 0);
        WaitAlways();
    });
    ASSERT_TRUE(WaitFor([] { return g_takes[0] == eOK; }));
    StartTask("W", [mute] {
        g_takes[1] = TakeMute(mute, 0);
        kp::sleep_ms(50);  // returns once the test's thread waits for the mutex
    });
    kp::sleep_ms(20);
    EXPECT_EQ(g_takes[1], -1);
    const std::string out = CaptureStdoutOf([&] {
        DeleteTask(holder);
        EXPECT_TRUE(WaitFor([] { return g_takes[1] == eOK; }));
        EXPECT_EQ(TakeMute(mute, 0), eOK);  // W returned holding it
    });
    EXPECT_NE(out.find("abandoned", out.find("abandoned") + 1), std::string::npos);  // twice
    EXPECT_EQ(FreeMute(mute), eOK);
}

// The ownership check finds a FreeMute by a thread that does not own the mutex; the report is
// fatal (the operator is asked once the report is recorded).
using MuteOwnership = FatalTest;

TEST_F(MuteOwnership, FreeMuteByAThreadThatDoesNotOwnItIsAFatalReport) {
    const int32_t mute = Made(CreateMute, "M", 1);
    ASSERT_EQ(TakeMute(mute, 0), eOK);
    CaptureStdoutOf([mute] {
        std::thread([mute] { FreeMute(mute); }).detach();
        WaitForQuestions(1);
    });
    EXPECT_EQ(std::string(_pxSysDescript->xFirstFatal.szProc), "KERVAL-FreeMute()");
    EXPECT_EQ(_pxSysDescript->xFirstFatal.lError, 288u);
}

const auto Priority = [] { return kp::thread_get_priority(kp::thread_current()); };

// Nested, the holder runs at 15 until its last leave; a non-holder's leave changes nothing;
// deleted while held, it restores its holder and wakes its waiter with 1.
TEST_F(MutexAndSection, SectionNestsRaisesToFifteenAndIsExclusive) {
    const int32_t section = Made(CreateCriticalSec, "C");
    const SectionDescript& rec =
        _pxSysDescript->pxSectionTab[_pxSysDescript->pxObjectTab[section].nIndex];
    const int before = Priority();
    ASSERT_NE(before, 15);
    for (int depth = 1; depth <= 3; ++depth) {
        ASSERT_EQ(EnterCriticalSec(section), eOK);
        EXPECT_EQ(std::make_pair(Priority(), int{rec.nEnterCount}), std::make_pair(15, depth));
    }
    std::thread([&] { EXPECT_EQ(LeaveCriticalSec(section), eOK); }).join();
    for (int depth = 2; depth >= 0; --depth) {
        ASSERT_EQ(LeaveCriticalSec(section), eOK);
        EXPECT_EQ(std::make_pair(Priority(), int{rec.nEnterCount}),
                  std::make_pair(depth > 0 ? 15 : before, depth));
    }
    EXPECT_EQ(rec.dwOwnerThreadId, 0xFFFFFFFFu);
    ASSERT_EQ(EnterCriticalSec(section), eOK);
    StartTask("W", [section] { g_takes[0] = EnterCriticalSec(section); });
    kp::sleep_ms(20);
    EXPECT_EQ(g_takes[0], -1);
    EXPECT_EQ(DeleteCriticalSec(section), eOK);
    EXPECT_EQ(Priority(), before);
    EXPECT_TRUE(WaitFor([] { return g_takes[0] == eNOK; }));
    EXPECT_EQ(LeaveCriticalSec(section), eNOK);
}

}  // namespace
