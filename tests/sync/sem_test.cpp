// Counting semaphores: creation, immediate answers, arrival order, time-outs, over-release,
// deletion and the deletion of waiting tasks.
#include <gmock/gmock.h>

#include <thread>

#include "kerval/task/task.h"
#include "tests/sync/sync_helpers.h"

using kvtest::CountOf;
using kvtest::QueueBecomes;
using kvtest::StartTask;
using ::testing::HasSubstr;

namespace {

class Semaphore : public kvtest::TaskTest {};

TEST_F(Semaphore, CreationChecksItsCountsAndNames)
{
    struct Case {
        uint16_t max, initial;
        int32_t code;
    };
    for (const Case& c : {Case{0, 0, eNOK}, {3, 4, eNOK}, {3, 3, eOK}}) {
        int32_t h = 7;
        std::string out = kvtest::CaptureStdoutOf(
            [&] { EXPECT_EQ(CreateSem("S", c.max, c.initial, &h), c.code); });
        EXPECT_EQ(h == -1, c.code != eOK);
        if (c.code == eOK) {
            EXPECT_EQ(out, "\nLe semaphore S est cree!...\n");
            EXPECT_EQ(CountOf(h), 3);
        }
    }
    // One namespace for every type: each creation with a taken name gives 16 and out -1.
    int32_t box = -1;
    ASSERT_EQ(CreateMailBox("B", 1, &box), eOK);
    for (const char* name : {"S", "B"}) {
        int32_t h = 7;
        EXPECT_EQ(CreateSem(name, 1, 0, &h), eOBJECT_EXIST);
        EXPECT_EQ(CreateMute(name, 1, &h), eOBJECT_EXIST);
        EXPECT_EQ(CreateCriticalSec(name, &h), eOBJECT_EXIST);
        EXPECT_EQ(h, -1);
    }
}

TEST_F(Semaphore, TableFillsUpAndFreedRecordsAreReused)
{
    std::vector<int32_t> handles;
    int32_t h = -1;
    size_t free_records = 0;  // the library's own mutex "_STDOUT_MUX" holds one
    for (int i = 0; i < _pxSysDescript->nNbSem; ++i)
        free_records += _pxSysDescript->pxSemTab[i].bUsed == 0 ? 1 : 0;
    kvtest::CaptureStdoutOf([&] {
        char name[16] = "S";
        for (int i = 0; CreateSem(name, 1, 1, &h) == eOK; ++i) {
            handles.push_back(h);
            std::snprintf(name, sizeof name, "S%d", i);
        }
    });
    EXPECT_EQ(handles.size(), free_records);
    EXPECT_EQ(h, -1);
    EXPECT_EQ(DeleteSem(handles[2]), eOK);
    kvtest::CaptureStdoutOf([&] { EXPECT_EQ(CreateSem("again", 1, 1, &h), eOK); });
    EXPECT_EQ(h, handles[2]);
}

TEST_F(Semaphore, ImmediateAnswersLeaveTheSemaphoreAsItWas)
{
    int32_t sem = -1, mute = -1;
    kvtest::CaptureStdoutOf([&] { CreateSem("S", 5, 2, &sem); });
    ASSERT_EQ(CreateMute("M", 1, &mute), eOK);
    EXPECT_EQ(TakeSem(sem, 0, 0), eOK);
    EXPECT_EQ(TakeSem(sem, 6, WAIT_FOREVER), eNOK);  // above the maximum
    EXPECT_EQ(TakeSem(sem, 3, 0), eTIME_OVER);
    EXPECT_TRUE(QueueBecomes(sem, {}));
    EXPECT_EQ(FreeSem(sem, 4), eNOK);  // 2 + 4 > 5
    EXPECT_EQ(CountOf(sem), 2);
    EXPECT_EQ(TakeSem(mute, 0, 0), eNOK);
    EXPECT_EQ(FreeSem(mute, 1), eNOK);
    int32_t from_thread = -1;
    std::thread([&] { from_thread = TakeSem(sem, 1, 0); }).join();
    EXPECT_EQ(from_thread, eNOK);  // no task record to queue
    EXPECT_EQ(CountOf(sem), 2);
    uint16_t n = 0;
    EXPECT_EQ(InfoSem(sem, nullptr), eINVALID_HANDLE);
    EXPECT_EQ(InfoSem(mute, &n), eOK);
    EXPECT_EQ(n, 1);
    std::string out = kvtest::CaptureStdoutOf([&] {
        EXPECT_EQ(TakeSem(999, 1, 0), eNOK);
        EXPECT_EQ(FreeSem(999, 1), eNOK);
        EXPECT_EQ(InfoSem(999, &n), eNOK);
        EXPECT_EQ(DeleteSem(999), eNOK);
    });
    EXPECT_EQ(n, 0xFFFF);
    EXPECT_THAT(out, ::testing::StartsWith("Object 999 is not a semaphore !"));
    EXPECT_THAT(out, HasSubstr("KERVAL-FreeSem()"));
    EXPECT_THAT(out, HasSubstr("KERVAL-DeleteSem"));
}

TEST_F(Semaphore, OverReleaseIsComputedWiderThanSixteenBits)
{
    int32_t sem = -1;
    kvtest::CaptureStdoutOf([&] { CreateSem("S", 65535, 5, &sem); });
    EXPECT_EQ(FreeSem(sem, 65531), eNOK);
    EXPECT_EQ(CountOf(sem), 5);
    EXPECT_EQ(FreeSem(sem, 65530), eOK);
    EXPECT_EQ(CountOf(sem), 65535);
}

std::atomic<int32_t> g_results[4];

// Tasks queue in arrival order whatever their priority; the head's large request holds back
// the smaller ones behind it, and a newcomer that finds enough units takes them at once.
TEST_F(Semaphore, ServesInArrivalOrderAndTheHeadHoldsBackTheRest)
{
    int32_t sem = -1;
    kvtest::CaptureStdoutOf([&] { CreateSem("S", 5, 0, &sem); });
    for (auto& r : g_results)
        r = -1;
    const int32_t a = StartTask(
        "A", [sem] { g_results[0] = TakeSem(sem, 3, WAIT_FOREVER); }, -2);
    ASSERT_TRUE(QueueBecomes(sem, {a}));
    const int32_t b = StartTask(
        "B", [sem] { g_results[1] = TakeSem(sem, 1, 60000); }, 15);
    ASSERT_TRUE(QueueBecomes(sem, {a, b}));
    EXPECT_EQ(FreeSem(sem, 2), eOK);
    EXPECT_EQ(CountOf(sem), 2);
    EXPECT_TRUE(QueueBecomes(sem, {a, b}));
    EXPECT_EQ(TakeSem(sem, 2, 0), eOK);  // ahead of the queue
    EXPECT_EQ(FreeSem(sem, 3), eOK);
    EXPECT_TRUE(QueueBecomes(sem, {b}));
    EXPECT_TRUE(kvtest::WaitFor([] { return g_results[0] == eOK; }));
    EXPECT_EQ(g_results[1], -1);
    EXPECT_EQ(CountOf(sem), 0);
    EXPECT_EQ(FreeSem(sem, 1), eOK);
    EXPECT_TRUE(kvtest::WaitFor([] { return g_results[1] == eOK; }));
}

// Waiters leaving by time-out from the middle (its time-out passes while it is suspended) and
// from the end keep the queue whole: the rest are served in order, the tail names the last.
TEST_F(Semaphore, TimeOutsFromTheMiddleAndTheEndKeepTheQueueConsistent)
{
    int32_t sem = -1;
    kvtest::CaptureStdoutOf([&] { CreateSem("S", 5, 0, &sem); });
    for (auto& r : g_results)
        r = -1;
    const int32_t a = StartTask("A", [sem] { g_results[0] = TakeSem(sem, 1, WAIT_FOREVER); });
    ASSERT_TRUE(QueueBecomes(sem, {a}));
    const int32_t b = StartTask("B", [sem] { g_results[1] = TakeSem(sem, 1, 100); });
    ASSERT_TRUE(QueueBecomes(sem, {a, b}));
    kvtest::CaptureStdoutOf([&] { ActiveTask(b, 0); });
    const int32_t c = StartTask("C", [sem] { g_results[2] = TakeSem(sem, 2, WAIT_FOREVER); });
    ASSERT_TRUE(QueueBecomes(sem, {a, b, c}));
    kerval::platform::sleep_ms(150);
    ActiveTask(b, 1);
    ASSERT_TRUE(kvtest::WaitFor([] { return g_results[1] == eTIME_OVER; }));
    EXPECT_TRUE(QueueBecomes(sem, {a, c}));
    StartTask("D", [sem] { g_results[3] = TakeSem(sem, 1, 30); });
    ASSERT_TRUE(kvtest::WaitFor([] { return g_results[3] == eTIME_OVER; }));
    EXPECT_TRUE(QueueBecomes(sem, {a, c}));
    EXPECT_EQ(FreeSem(sem, 3), eOK);
    EXPECT_TRUE(kvtest::WaitFor([] { return g_results[0] == eOK && g_results[2] == eOK; }));
    EXPECT_TRUE(QueueBecomes(sem, {}));
    EXPECT_EQ(CountOf(sem), 0);
}

// Kept behaviour: -1 is one slice, then eTIME_OVER; WAIT_FOREVER keeps its place slice after
// slice, and units handed to it are never taken a second time from the count.
TEST_F(Semaphore, UnlimitedWaitsSpanSlicesAndNeverTakeTwice)
{
    kerval::task::SetWaitSliceMs(10);
    int32_t sem = -1;
    kvtest::CaptureStdoutOf([&] { CreateSem("S", 5, 0, &sem); });
    for (auto& r : g_results)
        r = -1;
    EXPECT_EQ(TakeSem(sem, 1, -1), eTIME_OVER);
    const int32_t a = StartTask("A", [sem] { g_results[0] = TakeSem(sem, 2, WAIT_FOREVER); });
    ASSERT_TRUE(QueueBecomes(sem, {a}));
    kerval::platform::sleep_ms(50);  // several slices
    EXPECT_TRUE(QueueBecomes(sem, {a}));
    kvtest::CaptureStdoutOf([&] { ActiveTask(a, 0); });
    EXPECT_EQ(FreeSem(sem, 2), eOK);  // handed to A while it cannot run
    EXPECT_EQ(FreeSem(sem, 2), eOK);  // free in the count when A wakes
    ActiveTask(a, 1);
    EXPECT_TRUE(kvtest::WaitFor([] { return g_results[0] == eOK; }));
    EXPECT_EQ(CountOf(sem), 2);
    kerval::task::SetWaitSliceMs(0);
}

// A deletion wakes the waiters with 1, and later calls on the handle answer 1.
TEST_F(Semaphore, DeletionReleasesItsWaiters)
{
    int32_t sem = -1;
    kvtest::CaptureStdoutOf([&] { CreateSem("S", 5, 0, &sem); });
    for (auto& r : g_results)
        r = -1;
    const int32_t a = StartTask("A", [sem] { g_results[0] = TakeSem(sem, 1, WAIT_FOREVER); });
    const int32_t b = StartTask("B", [sem] { g_results[1] = TakeSem(sem, 1, 60000); });
    ASSERT_TRUE(kvtest::WaitFor([&] { return kvtest::QueueOf(sem).size() == 2; }));
    (void)a, (void)b;
    EXPECT_EQ(DeleteSem(sem), eOK);
    EXPECT_TRUE(kvtest::WaitFor([] { return g_results[0] == eNOK && g_results[1] == eNOK; }));
    kvtest::CaptureStdoutOf([&] {
        EXPECT_EQ(FreeSem(sem, 1), eNOK);
        EXPECT_EQ(TakeSem(sem, 0, 0), eNOK);
    });
}

// A deleted task leaves the queue, and units handed to it but never taken go on to the next.
TEST_F(Semaphore, DeletedTaskLeavesTheQueueAndGivesBackItsGrant)
{
    int32_t sem = -1;
    kvtest::CaptureStdoutOf([&] { CreateSem("S", 5, 0, &sem); });
    for (auto& r : g_results)
        r = -1;
    const int32_t a = StartTask("A", [sem] { g_results[0] = TakeSem(sem, 1, WAIT_FOREVER); });
    ASSERT_TRUE(QueueBecomes(sem, {a}));
    const int32_t b = StartTask("B", [sem] { g_results[1] = TakeSem(sem, 2, WAIT_FOREVER); });
    ASSERT_TRUE(QueueBecomes(sem, {a, b}));
    const int32_t c = StartTask("C", [sem] { g_results[2] = TakeSem(sem, 1, WAIT_FOREVER); });
    ASSERT_TRUE(QueueBecomes(sem, {a, b, c}));
    kvtest::CaptureStdoutOf([&] {
        DeleteTask(b);  // queued
        ActiveTask(a, 0);
    });
    EXPECT_TRUE(QueueBecomes(sem, {a, c}));
    EXPECT_EQ(FreeSem(sem, 1), eOK);  // handed to A, which cannot take it
    EXPECT_TRUE(QueueBecomes(sem, {c}));
    kvtest::CaptureStdoutOf([&] { DeleteTask(a); });
    EXPECT_TRUE(kvtest::WaitFor([] { return g_results[2] == eOK; }));
    EXPECT_EQ(g_results[0], -1);
    EXPECT_EQ(CountOf(sem), 0);
}

}  // namespace
