// Tasks: creation with a parameter block, suspension, deletion and the priority queries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "kerval/kerval.h"
#include "tests/mailbox/box_helpers.h"
#include "tests/support/fixtures.h"

using ::testing::HasSubstr;

namespace {

template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TaskDescript& RecordOf(int32_t hTask)
{
    return _pxSysDescript->pxTaskTab[_pxSysDescript->pxObjectTab[hTask].nIndex];
}

using Tasks = kvtest::TaskTest;

std::atomic<bool> g_arg_was_null{false};
std::atomic<bool> g_done{false};
std::atomic<int32_t> g_self{-1};

uint32_t RecordArgument(void* arg)
{
    g_arg_was_null = arg == nullptr;
    g_self = _InternalCurrentTaskHandle(__FILE__, __LINE__);
    g_done = true;
    return 0;
}

TEST_F(Tasks, ParameterBlockIsAPrivateCopyAndTheFunctionGetsNull)
{
    char block[] = {'a', 'b', 'c', 'd'};
    int32_t task = -1;
    ASSERT_EQ(CreateTask("PARAM", 0, RecordArgument, block, sizeof block, 0, &task), eOK);
    block[0] = 'z';
    ASSERT_TRUE(WaitFor([] { return g_done.load(); }));
    EXPECT_TRUE(g_arg_was_null.load());
    EXPECT_EQ(g_self.load(), task);
    EXPECT_EQ(RecordOf(task).lStackSize, 50000u);
    EXPECT_EQ(RecordOf(task).lParamSize, 4u);

    char exact[5] = {'x', 'x', 'x', 'x', 'x'};
    RecoverTaskParam(task, exact, 4);
    EXPECT_EQ(std::string(exact, 5), "abcdx");  // no terminator added
    char shorter[4] = {'x', 'x', 'x', 'x'};
    RecoverTaskParam(task, shorter, 3);
    EXPECT_EQ(shorter[0], '\0');
    EXPECT_EQ(shorter[1], 'x');
    RecoverTaskParam(task, nullptr, 10);  // ignored
}

TEST_F(Tasks, TaskWithoutParameterRecoversAnEmptyString)
{
    const char text[] = "ignored";
    int32_t with_zero_size = -1;
    int32_t with_null = -1;
    ASSERT_EQ(CreateTask("NOPARAM1", 0, RecordArgument, text, 0, 70000, &with_zero_size), eOK);
    ASSERT_EQ(CreateTask("NOPARAM2", 0, RecordArgument, nullptr, 8, 0, &with_null), eOK);
    EXPECT_EQ(RecordOf(with_zero_size).lStackSize, 70000u);
    for (int32_t task : {with_zero_size, with_null}) {
        char out[4] = {'x', 'x', 'x', 'x'};
        RecoverTaskParam(task, out, sizeof out);
        EXPECT_EQ(out[0], '\0');
        EXPECT_EQ(RecordOf(task).pParam, nullptr);
    }
    char out[2] = {'x', 'x'};
    RecoverTaskParam(-1, out, sizeof out);
    EXPECT_EQ(out[0], 'x');
}

TEST_F(Tasks, NameStaysTakenAfterTheFunctionReturnsUntilDeleted)
{
    int32_t task = -1;
    ASSERT_EQ(CreateTask("SHORT", 0, RecordArgument, nullptr, 0, 0, &task), eOK);
    ASSERT_TRUE(WaitFor([] { return g_done.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ObjectExist(task), TASK_OBJECT);
    int32_t again = 7;
    kvtest::CaptureStdoutOf([&] {
        EXPECT_EQ(CreateTask("SHORT", 0, RecordArgument, nullptr, 0, 0, &again), eOBJECT_EXIST);
    });
    EXPECT_EQ(again, -1);
    kvtest::CaptureStdoutOf([&] { EXPECT_EQ(DeleteTask(task), eOK); });
    EXPECT_EQ(ObjectExist(task), 0);
    ASSERT_EQ(CreateTask("SHORT", 0, RecordArgument, nullptr, 0, 0, &again), eOK);
    EXPECT_EQ(again, task);
}

TEST_F(Tasks, DeleteOfAnInvalidHandleShowsItAndSucceeds)
{
    int32_t code = eNOK;
    const std::string out = kvtest::CaptureStdoutOf([&] { code = DeleteTask(-1); });
    EXPECT_EQ(code, eOK);
    EXPECT_THAT(out, HasSubstr("KERVAL-DeleteTask() : Handle -1 invalid !\n"));
}

std::atomic<uint64_t> g_spins{0};
std::atomic<bool> g_stop_spinning{false};

uint32_t Spin(void*)
{
    while (!g_stop_spinning.load(std::memory_order_relaxed)) {
        g_spins.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;
}

bool Progresses()
{
    const uint64_t before = g_spins.load();
    return WaitFor([&] { return g_spins.load() != before; });
}

TEST_F(Tasks, SuspensionIsAFlagThatOneResumptionUndoes)
{
    int32_t task = -1;
    ASSERT_EQ(CreateTask("SPIN", 0, Spin, nullptr, 0, 0, &task), eOK);
    ASSERT_TRUE(Progresses());
    std::string out = kvtest::CaptureStdoutOf([&] {
        EXPECT_EQ(SuspendTask(task), 0);
        SuspendTask(task);
    });
    EXPECT_EQ(RecordOf(task).bSuspended, 1);
    EXPECT_EQ(out, "task SPIN suspended\n");
    const uint64_t frozen = g_spins.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(g_spins.load(), frozen);
    ActiveTask(task, 7);  // neither 0 nor 1: nothing
    EXPECT_EQ(RecordOf(task).bSuspended, 1);
    ActiveTask(task, 1);
    EXPECT_EQ(RecordOf(task).bSuspended, 0);
    EXPECT_TRUE(Progresses());
    ActiveTask(task, 1);  // running already: nothing
    EXPECT_TRUE(Progresses());
    g_stop_spinning = true;
}

TEST_F(Tasks, ManySuspendResumePairsNeverLetTheTaskRunWhileSuspended)
{
    int32_t task = -1;
    ASSERT_EQ(CreateTask("SPIN", 0, Spin, nullptr, 0, 0, &task), eOK);
    kvtest::BeginCaptureStdout();
    int moved_while_suspended = 0;
    for (int i = 0; i < 2000; ++i) {
        SuspendTask(task);
        const uint64_t frozen = g_spins.load();
        if (i % 100 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (g_spins.load() != frozen)
            ++moved_while_suspended;
        ActiveTask(task, 1);
    }
    kvtest::EndCaptureStdout();
    EXPECT_EQ(moved_while_suspended, 0);
    EXPECT_TRUE(Progresses());
    g_stop_spinning = true;
}

std::atomic<int32_t> g_self_deleted{-1};

uint32_t DeleteMyself(void*)
{
    const int32_t me = _InternalCurrentTaskHandle(__FILE__, __LINE__);
    g_self_deleted = me;
    DeleteTask(me);
    g_self_deleted = -2;  // never reached: the thread ends inside DeleteTask
    return 0;
}

TEST_F(Tasks, ATaskDeletingItselfEndsWithoutHoldingTheLibrary)
{
    int32_t task = -1;
    ASSERT_EQ(CreateTask("SELFDEL", 0, DeleteMyself, nullptr, 0, 0, &task), eOK);
    ASSERT_TRUE(WaitFor([&] { return ObjectExist(task) == 0; }));
    EXPECT_EQ(g_self_deleted.load(), task);
    int32_t box = -1;
    EXPECT_EQ(CreateMailBox("AFTER", 1, &box), eOK);  // the system lock is free again
    int32_t again = -1;
    EXPECT_EQ(CreateTask("SELFDEL2", 0, RecordArgument, nullptr, 0, 0, &again), eOK);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(g_self_deleted.load(), task);
}

uint32_t ReadOwnBox(void*)
{
    ReadFromTask(_InternalCurrentTaskHandle(__FILE__, __LINE__), nullptr, nullptr, nullptr, 0,
                 WAIT_FOREVER, nullptr, nullptr);
    return 0;
}

TEST_F(Tasks, DeletingATaskBlockedOnItsMainBoxDeletesTheBoxToo)
{
    int32_t task = -1;
    int32_t box = -1;
    ASSERT_EQ(CreateMailBox("MAINBOX", 4, &box), eOK);
    ASSERT_EQ(CreateTask("BLOCKED", 0, ReadOwnBox, nullptr, 0, 0, &task), eOK);
    ASSERT_EQ(SetTaskMainMailBox(task, box), eOK);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    int32_t code = eNOK;
    const std::string out = kvtest::CaptureStdoutOf([&] { code = DeleteTask(task); });
    EXPECT_EQ(code, eOK);
    EXPECT_THAT(out, HasSubstr("task BLOCKED suspended\n"));
    EXPECT_EQ(ObjectExist(task), 0);
    EXPECT_EQ(ObjectExist(box), 0);
}

TEST_F(Tasks, PriorityQueries)
{
    EXPECT_EQ(GetJobPriority(), static_cast<int32_t>(_pxSysDescript->lJobPriority));
    int32_t task = -1;
    ASSERT_EQ(CreateTask("PRIO", THREAD_PRIORITY_BELOW_NORMAL, Spin, nullptr, 0, 0, &task), eOK);
    EXPECT_EQ(GetPriority(task), THREAD_PRIORITY_BELOW_NORMAL);
    EXPECT_EQ(GetPriority(-1), GetPriority(0));  // not a task: the caller's own
    g_stop_spinning = true;
}

TEST(TasksBeforeStart, JobPriorityIsZero)
{
    EXPECT_EQ(GetJobPriority(), 0);
}

}  // namespace
