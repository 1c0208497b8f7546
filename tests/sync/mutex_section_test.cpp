// Mutexes and critical sections: recursion, contention, wrong handles, ownership, abandonment,
// deletion while held or waited for, nesting and the holder's priority.
#include <gmock/gmock.h>

#include <thread>

#include "kerval/platform/platform.h"
#include "tests/support/report_fixtures.h"
#include "tests/sync/sync_helpers.h"

using kvtest::StartTask;
using kvtest::WaitFor;
using ::testing::HasSubstr;
namespace platform = kerval::platform;

namespace {

class MutexAndSection : public kvtest::TaskTest {};

std::atomic<int32_t> g_result{-1};
std::atomic<int> g_step{0};

TEST_F(MutexAndSection, MutexIsRecursiveAndFreeOnlyAfterAsManyFrees)
{
    int32_t mute = -1;
    ASSERT_EQ(CreateMute("M", 1, &mute), eOK);
    ASSERT_EQ(TakeMute(mute, 0), eOK);
    ASSERT_EQ(TakeMute(mute, 0), eOK);
    g_result = -1;
    StartTask("T", [mute] {
        g_result = TakeMute(mute, 0);  // the time-out is not used
        g_step = 1;
        while (g_step != 2)
            platform::sleep_ms(1);
        FreeMute(mute);
    });
    EXPECT_EQ(FreeMute(mute), eOK);
    platform::sleep_ms(30);
    EXPECT_EQ(g_result, -1);
    EXPECT_EQ(FreeMute(mute), eOK);
    EXPECT_TRUE(WaitFor([] { return g_step == 1; }));
    EXPECT_EQ(g_result, eOK);
    uint16_t value = 0;
    EXPECT_EQ(InfoSem(mute, &value), eOK);
    EXPECT_EQ(value, 1);
    g_step = 2;
    EXPECT_EQ(TakeMute(mute, 0), eOK);
    EXPECT_EQ(FreeMute(mute), eOK);
}

TEST_F(MutexAndSection, WrongHandlesAreRefusedWithTheirMessages)
{
    int32_t sem = -1, section = -1;
    kvtest::CaptureStdoutOf([&] { CreateSem("S", 1, 1, &sem); });
    ASSERT_EQ(CreateCriticalSec("C", &section), eOK);
    std::string out = kvtest::CaptureStdoutOf([&] {
        EXPECT_EQ(TakeMute(sem, 0), eNOK);
        EXPECT_EQ(FreeMute(section), eNOK);
    });
    EXPECT_THAT(out, HasSubstr("Object " + std::to_string(sem) + " is not a Mutex (NT) !"));
    EXPECT_THAT(out, HasSubstr("KERVAL-TakeMute()"));
    EXPECT_THAT(out, HasSubstr("Object " + std::to_string(section) + " is not a semaphore !"));
    for (auto op : {EnterCriticalSec, LeaveCriticalSec, DeleteCriticalSec})
        EXPECT_EQ(op(sem), eNOK);
    EXPECT_EQ(kvtest::CountOf(sem), 1);
}

// The ownership check finds a FreeMute by a thread that does not own the mutex; the report is
// fatal. The library runs aside, so the suspension of every task spares the test's thread.
class MuteOwnership : public kvtest::TempDirTest {};

TEST_F(MuteOwnership, FreeMuteByAThreadThatDoesNotOwnItIsAFatalReport)
{
    ASSERT_EQ(kvtest::StartKervalAside(), eOK);
    static std::atomic<int> questions{0};  // the operator is asked once the report is recorded
    platform::seams::set_message_box([](const char*, const char*) { return ++questions < 0; });
    static int32_t mute = -1;
    ASSERT_EQ(CreateMute("M", 1, &mute), eOK);
    g_step = 0;
    StartTask("H", [] {
        TakeMute(mute, 0);
        g_step = 1;
        WaitAlways();
    });
    ASSERT_TRUE(WaitFor([] { return g_step == 1; }));
    kvtest::BeginCaptureStdout();
    std::thread([] { FreeMute(mute); }).detach();
    const FirstFatal& first = _pxSysDescript->xFirstFatal;
    EXPECT_TRUE(WaitFor([] { return questions > 0; }));
    platform::sleep_ms(50);
    const std::string out = kvtest::EndCaptureStdout();
    EXPECT_EQ(std::string(first.szProc), "KERVAL-FreeMute()");
    EXPECT_EQ(first.lError, 288u);
}

// The owner's end (its task deleted, or its function returned) passes the mutex on: the next
// taker owns it and is warned.
TEST_F(MutexAndSection, AbandonedMutexGoesToTheNextTaker)
{
    int32_t mute = -1;
    ASSERT_EQ(CreateMute("M", 1, &mute), eOK);
    g_step = 0;
    const int32_t holder = StartTask("H", [mute] {
        TakeMute(mute, 0);
        g_step = 1;
        WaitAlways();
    });
    ASSERT_TRUE(WaitFor([] { return g_step == 1; }));
    g_result = -1;
    StartTask("W", [mute] { g_result = TakeMute(mute, 0); });
    platform::sleep_ms(20);
    EXPECT_EQ(g_result, -1);
    std::string out = kvtest::CaptureStdoutOf([&] {
        DeleteTask(holder);
        EXPECT_TRUE(WaitFor([] { return g_result != -1; }));
    });
    EXPECT_EQ(g_result, eOK);
    EXPECT_THAT(out, HasSubstr("abandoned"));
    // W returned while owning it: the mutex is abandoned again, and taken by this thread.
    out = kvtest::CaptureStdoutOf([&] { EXPECT_EQ(TakeMute(mute, 0), eOK); });
    EXPECT_THAT(out, HasSubstr("abandoned"));
    EXPECT_EQ(FreeMute(mute), eOK);
}

TEST_F(MutexAndSection, DeletionReleasesWaitersAndLaterCallsFail)
{
    int32_t mute = -1, section = -1;
    ASSERT_EQ(CreateMute("M", 1, &mute), eOK);
    ASSERT_EQ(CreateCriticalSec("C", &section), eOK);
    ASSERT_EQ(TakeMute(mute, 0), eOK);
    ASSERT_EQ(EnterCriticalSec(section), eOK);
    static std::atomic<int32_t> results[2];
    results[0] = results[1] = -1;
    StartTask("A", [mute] { results[0] = TakeMute(mute, 0); });
    StartTask("B", [section] { results[1] = EnterCriticalSec(section); });
    platform::sleep_ms(20);
    EXPECT_EQ(DeleteMute(mute), eOK);
    EXPECT_EQ(DeleteCriticalSec(section), eOK);
    EXPECT_TRUE(WaitFor([] { return results[0] == eNOK && results[1] == eNOK; }));
    kvtest::CaptureStdoutOf([&] { EXPECT_EQ(FreeMute(mute), eNOK); });
    EXPECT_EQ(LeaveCriticalSec(section), eNOK);
}

int Priority()
{
    return platform::thread_get_priority(platform::thread_current());
}

// Nested three times, the holder runs at 15 until its third leave; a thread that does not hold
// the section leaves it with 0 and changes nothing.
TEST_F(MutexAndSection, NestedSectionRaisesTheHolderUntilItsLastLeave)
{
    int32_t section = -1;
    ASSERT_EQ(CreateCriticalSec("C", &section), eOK);
    const int before = Priority();
    ASSERT_NE(before, 15);
    const SectionDescript& rec =
        _pxSysDescript->pxSectionTab[_pxSysDescript->pxObjectTab[section].nIndex];
    for (int depth = 1; depth <= 3; ++depth) {
        ASSERT_EQ(EnterCriticalSec(section), eOK);
        EXPECT_EQ(Priority(), 15);
        EXPECT_EQ(rec.nEnterCount, depth);
    }
    int32_t other = -1;
    std::thread([&] { other = LeaveCriticalSec(section); }).join();
    EXPECT_EQ(other, eOK);
    EXPECT_EQ(rec.nEnterCount, 3);
    for (int depth = 2; depth >= 0; --depth) {
        ASSERT_EQ(LeaveCriticalSec(section), eOK);
        EXPECT_EQ(Priority(), depth > 0 ? 15 : before);
    }
    EXPECT_EQ(rec.dwOwnerThreadId, 0xFFFFFFFFu);
    EXPECT_EQ(rec.nEnterCount, 0);
}

// The next holder enters only once the first has left, and is raised in its turn; a section
// deleted while held gives the holder its priority back.
TEST_F(MutexAndSection, SectionIsExclusiveAndDeletionRestoresTheHolder)
{
    int32_t section = -1;
    ASSERT_EQ(CreateCriticalSec("C", &section), eOK);
    ASSERT_EQ(EnterCriticalSec(section), eOK);
    g_step = 0;
    static std::atomic<int> inside_priority{0};
    StartTask("T", [section] {
        EnterCriticalSec(section);
        inside_priority = Priority();
        g_step = 1;
        while (g_step != 2)
            platform::sleep_ms(1);
        DeleteCriticalSec(section);
        g_step = Priority() == 0 ? 3 : 4;
    });
    platform::sleep_ms(20);
    EXPECT_EQ(g_step, 0);
    ASSERT_EQ(LeaveCriticalSec(section), eOK);
    EXPECT_TRUE(WaitFor([] { return g_step == 1; }));
    EXPECT_EQ(inside_priority, 15);
    g_step = 2;
    EXPECT_TRUE(WaitFor([] { return g_step >= 3; }));
    EXPECT_EQ(g_step, 3);
}

}  // namespace
