// Tasks: creation with a parameter block, suspension and priorities, deletion.
#include <gmock/gmock.h>

#include "tests/mailbox/box_helpers.h"

using ::testing::HasSubstr;
using kerval::mailbox::BoxCore;
using kvtest::WaitFor;

namespace {

TaskDescript& RecordOf(int32_t hTask)
{
    return _pxSysDescript->pxTaskTab[_pxSysDescript->pxObjectTab[hTask].nIndex];
}

using Tasks = kvtest::TaskTest;

std::atomic<bool> g_arg_was_null{false}, g_done{false};
std::atomic<int32_t> g_self{-1};

uint32_t RecordArgument(void* arg)
{
    g_arg_was_null = arg == nullptr;
    g_self = _InternalCurrentTaskHandle(__FILE__, __LINE__);
    g_done = true;
    return 0;
}

TEST_F(Tasks, ParameterBlockIsAPrivateCopyRecoveredAsGivenOrEmpty)
{
    char block[] = {'a', 'b', 'c', 'd'};
    int32_t task = -1, with_zero_size = -1, with_null = -1;
    ASSERT_EQ(CreateTask("PARAM", 0, RecordArgument, block, sizeof block, 0, &task), eOK);
    block[0] = 'z';
    ASSERT_TRUE(WaitFor([] { return g_done.load(); }));
    EXPECT_TRUE(g_arg_was_null.load());  // the function gets null, not the block
    EXPECT_EQ(g_self.load(), task);
    EXPECT_EQ(RecordOf(task).lStackSize, 50000u);
    EXPECT_EQ(RecordOf(task).lParamSize, 4u);
    const auto recover = [](int32_t hTask, uint32_t size) {
        std::string out(5, 'x');
        RecoverTaskParam(hTask, out.data(), size);
        return out;
    };
    EXPECT_EQ(recover(task, 4), "abcdx");                     // no terminator added
    EXPECT_EQ(recover(task, 3), std::string("\0xxxx", 5));  // one byte short: empty string
    EXPECT_EQ(recover(-1, 5), "xxxxx");
    RecoverTaskParam(task, nullptr, 10);  // ignored

    ASSERT_EQ(CreateTask("NOPARAM1", 0, RecordArgument, "ignored", 0, 70000, &with_zero_size), eOK);
    ASSERT_EQ(CreateTask("NOPARAM2", 0, RecordArgument, nullptr, 8, 0, &with_null), eOK);
    EXPECT_EQ(RecordOf(with_zero_size).lStackSize, 70000u);
    for (int32_t without : {with_zero_size, with_null}) {
        EXPECT_EQ(recover(without, 5), std::string("\0xxxx", 5));
        EXPECT_EQ(RecordOf(without).pParam, nullptr);
    }
}

TEST_F(Tasks, NameStaysTakenAfterTheFunctionReturnsUntilDeleted)
{
    int32_t task = -1, again = 7, code = eNOK;
    ASSERT_EQ(CreateTask("SHORT", 0, RecordArgument, nullptr, 0, 0, &task), eOK);
    ASSERT_TRUE(WaitFor([] { return g_done.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ObjectExist(task), TASK_OBJECT);
    kvtest::CaptureStdoutOf([&] {
        EXPECT_EQ(CreateTask("SHORT", 0, RecordArgument, nullptr, 0, 0, &again), eOBJECT_EXIST);
    });
    EXPECT_EQ(again, -1);
    kvtest::CaptureStdoutOf([&] { EXPECT_EQ(DeleteTask(task), eOK); });
    EXPECT_EQ(ObjectExist(task), 0);
    ASSERT_EQ(CreateTask("SHORT", 0, RecordArgument, nullptr, 0, 0, &again), eOK);
    EXPECT_EQ(again, task);
    const std::string out = kvtest::CaptureStdoutOf([&] { code = DeleteTask(-1); });
    EXPECT_EQ(code, eOK);  // an invalid handle is shown, not refused
    EXPECT_THAT(out, HasSubstr("KERVAL-DeleteTask() : Handle -1 invalid !\n"));
}

std::atomic<uint64_t> g_spins{0};
std::atomic<bool> g_stop_spinning{false};

uint32_t Spin(void*)
{
    while (!g_stop_spinning.load(std::memory_order_relaxed))
        g_spins.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

bool Progresses()
{
    const uint64_t before = g_spins.load();
    return WaitFor([&] { return g_spins.load() != before; });
}

TEST_F(Tasks, SuspensionIsAFlagThatOneResumptionUndoesAndStopsTheTaskEveryTime)
{
    int32_t task = -1;
    ASSERT_EQ(CreateTask("SPIN", THREAD_PRIORITY_BELOW_NORMAL, Spin, nullptr, 0, 0, &task), eOK);
    EXPECT_EQ(GetPriority(task), THREAD_PRIORITY_BELOW_NORMAL);
    EXPECT_EQ(GetPriority(-1), GetPriority(0));  // not a task: the caller's own
    EXPECT_EQ(GetJobPriority(), static_cast<int32_t>(_pxSysDescript->lJobPriority));
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

    kvtest::BeginCaptureStdout();
    int moved_while_suspended = 0;
    for (int i = 0; i < 2000; ++i) {
        SuspendTask(task);
        const uint64_t before = g_spins.load();
        if (i % 100 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        moved_while_suspended += g_spins.load() != before;
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

// Waits for its main box, then reads it.
uint32_t ReadOwnBox(void*)
{
    const int32_t me = _InternalCurrentTaskHandle(__FILE__, __LINE__);
    WaitFor([&] { return GetTaskMainMailBox(me) != -1; });
    ReadFromTask(me, nullptr, nullptr, nullptr, 0, WAIT_FOREVER, nullptr, nullptr);
    return 0;
}

TEST_F(Tasks, ATaskDeletesItselfAndDeletingATaskBlockedOnItsMainBoxDeletesTheBoxToo)
{
    int32_t self = -1, task = -1, box = -1, code = eNOK;
    ASSERT_EQ(CreateTask("SELFDEL", 0, DeleteMyself, nullptr, 0, 0, &self), eOK);
    ASSERT_TRUE(WaitFor([&] { return ObjectExist(self) == 0; }));
    EXPECT_EQ(g_self_deleted.load(), self);
    // The library is free again: creations go on.
    ASSERT_EQ(CreateMailBox("MAINBOX", 4, &box), eOK);
    ASSERT_EQ(CreateTask("BLOCKED", 0, ReadOwnBox, nullptr, 0, 0, &task), eOK);
    ASSERT_EQ(SetTaskMainMailBox(task, box), eOK);
    ASSERT_TRUE(WaitFor([&] { return kvtest::CountIn(box, &BoxCore::readers_waiting) == 1; }));
    const std::string out = kvtest::CaptureStdoutOf([&] { code = DeleteTask(task); });
    EXPECT_EQ(code, eOK);
    EXPECT_THAT(out, HasSubstr("task BLOCKED suspended\n"));
    EXPECT_EQ(ObjectExist(task), 0);
    EXPECT_EQ(ObjectExist(box), 0);
    EXPECT_EQ(g_self_deleted.load(), self);  // the deleted thread never went on
}

TEST(TasksBeforeStart, JobPriorityIsZero)
{
    EXPECT_EQ(GetJobPriority(), 0);
}

}  // namespace
