// Tasks: parameter block, names, suspension, priorities, deletion, main boxes and the life sign.
#include "tests/support/tasks.h"

namespace {

using Tasks = TaskTest;

std::atomic<bool> g_arg_was_null{false}, g_done{false}, g_stop_spinning{false};
std::atomic<int32_t> g_self{-1}, g_self_deleted{-1};
std::atomic<uint64_t> g_spins{0};

uint32_t RecordArgument(void* arg) {
    g_arg_was_null = arg == nullptr;
    g_self = _InternalCurrentTaskHandle(__FILE__, __LINE__);
    g_done = true;
    return 0;
}

std::string Recover(int32_t hTask, uint32_t size) {
    std::string out(5, 'x');
    RecoverTaskParam(hTask, out.data(), size);
    return out;
}

TEST_F(Tasks, ParameterBlockIsAPrivateCopyRecoveredAsGivenOrEmpty) {
    char block[] = {'a', 'b', 'c', 'd'};
    const int32_t task = Made(CreateTask, "PARAM", 0, RecordArgument, block, 4u, 0u);
    block[0] = 'z';
    ASSERT_TRUE(WaitFor([] { return g_done.load(); }));
    EXPECT_TRUE(g_arg_was_null.load());  // the function gets null, not the block
    EXPECT_EQ(g_self.load(), task);
    EXPECT_EQ(TaskRecordOf(task).lStackSize, 50000u);
    EXPECT_EQ(Recover(task, 4), "abcdx");                   // no terminator added
    EXPECT_EQ(Recover(task, 3), std::string("\0xxxx", 5));  // one byte short: empty string
    EXPECT_EQ(Recover(-1, 5), "xxxxx");
    RecoverTaskParam(task, nullptr, 10);  // ignored
    const int32_t zero_size =
        Made(CreateTask, "NOPARAM1", 0, RecordArgument, "ignored", 0u, 70000u);
    const int32_t null_block = Made(CreateTask, "NOPARAM2", 0, RecordArgument, nullptr, 8u, 0u);
    EXPECT_EQ(TaskRecordOf(zero_size).lStackSize, 70000u);
    for (int32_t without : {zero_size, null_block})
        EXPECT_EQ(Recover(without, 5), std::string("\0xxxx", 5));
}

TEST_F(Tasks, NameStaysTakenAfterTheFunctionReturnsUntilDeleted) {
    int32_t again = 7;
    const int32_t task = Made(CreateTask, "SHORT", 0, RecordArgument, nullptr, 0u, 0u);
    ASSERT_TRUE(WaitFor([] { return g_done.load(); }));
    kp::sleep_ms(20);
    CaptureStdoutOf([&] {
        EXPECT_EQ(CreateTask("SHORT", 0, RecordArgument, nullptr, 0, 0, &again), eOBJECT_EXIST);
        EXPECT_EQ(DeleteTask(task), eOK);
    });
    EXPECT_EQ(std::make_pair(again, ObjectExist(task)), std::make_pair(-1, 0));
    EXPECT_EQ(Made(CreateTask, "SHORT", 0, RecordArgument, nullptr, 0u, 0u), task);
    // An invalid handle is shown, not refused.
    EXPECT_THAT(CaptureStdoutOf([] { EXPECT_EQ(DeleteTask(-1), eOK); }),
                HasSubstr("KERVAL-DeleteTask() : Handle -1 invalid !\n"));
}

TEST_F(Tasks, SuspensionIsAFlagThatOneResumptionUndoesAndStopsTheTaskEveryTime) {
    const auto spin = [] {
        while (!g_stop_spinning.load(std::memory_order_relaxed)) g_spins.fetch_add(1);
    };
    const int32_t task = StartTask("SPIN", spin, THREAD_PRIORITY_BELOW_NORMAL);
    EXPECT_EQ(GetPriority(task), THREAD_PRIORITY_BELOW_NORMAL);
    EXPECT_EQ(GetPriority(-1), GetPriority(0));  // not a task: the caller's own
    EXPECT_EQ(GetJobPriority(), static_cast<int32_t>(_pxSysDescript->lJobPriority));
    ASSERT_TRUE(Advances(g_spins));
    const std::string out = CaptureStdoutOf([&] {
        EXPECT_EQ(SuspendTask(task), 0);
        SuspendTask(task);
    });
    EXPECT_EQ(out, "task SPIN suspended\n");
    ActiveTask(task, 7);  // neither 0 nor 1: nothing
    EXPECT_EQ(TaskRecordOf(task).bSuspended, 1);
    ActiveTask(task, 1);
    ActiveTask(task, 1);  // running already: nothing
    EXPECT_EQ(TaskRecordOf(task).bSuspended, 0);
    BeginCaptureStdout();
    int moved_while_suspended = 0;
    for (int i = 0; i < 2000; ++i) {
        SuspendTask(task);
        const uint64_t before = g_spins.load();
        if (i % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        moved_while_suspended += g_spins.load() != before;
        ActiveTask(task, 1);
    }
    EndCaptureStdout();
    EXPECT_EQ(moved_while_suspended, 0);
    EXPECT_TRUE(Advances(g_spins));
    g_stop_spinning = true;
}

uint32_t DeleteMyself(void*) {
    g_self_deleted = _InternalCurrentTaskHandle(__FILE__, __LINE__);
    DeleteTask(g_self_deleted);
    g_self_deleted = -2;  // never reached: the thread ends inside DeleteTask
    return 0;
}

// Once given a main box, sends every message of it back to INITJOB, doubled, up to one of type 0.
uint32_t Echo(void*) {
    const int32_t me = _InternalCurrentTaskHandle(__FILE__, __LINE__);
    WaitFor([&] { return GetTaskMainMailBox(me) != -1; });
    int32_t value = 0, type = 0;
    uint32_t size = 0;
    while (ReadFromTask(me, &type, &value, &size, sizeof value, WAIT_FOREVER, nullptr, nullptr) ==
               eOK &&
           type != 0)
        WriteToTask(me, 0, type, &(value *= 2), sizeof value, 0);
    return 0;
}

// Only a task with a main box can be written or read; deleting a task blocked on its main box
// deletes the box too, and a deleted main box is forgotten in every task naming it.
TEST_F(Tasks, TasksExchangeThroughTheirMainBoxesOnly) {
    const int32_t self = Made(CreateTask, "SELFDEL", 0, DeleteMyself, nullptr, 0u, 0u);
    ASSERT_TRUE(WaitFor([&] { return ObjectExist(self) == 0; }));
    const int32_t echo_box = Made(CreateMailBox, "ECHO_BOX", 4);  // the library is free again
    const int32_t my_box = Made(CreateMailBox, "MY_BOX", 4);
    ASSERT_EQ(SetTaskMainMailBox(0, my_box), eOK);
    EXPECT_EQ(CurrentTaskBox(), my_box);
    const int32_t echo = Made(CreateTask, "ECHO", 0, Echo, nullptr, 0u, 0u);
    EXPECT_EQ(GetTaskMainMailBox(echo), -1);
    EXPECT_THAT(CaptureStdoutOf([&] { EXPECT_EQ(WriteToTask(0, echo, 1, "x", 2, 0), eNOK); }),
                HasSubstr("INITJOB : Destination Box dosn't exist !\n"));
    EXPECT_EQ(ReadFromTask(echo, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr),
              eINVALID_HANDLE);
    EXPECT_EQ(WriteToTask(0, echo_box, 1, "x", 2, 0), eNOK);  // a box is not a task
    EXPECT_EQ(ReadFromTask(echo_box, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr), eNOK);
    EXPECT_EQ(SetTaskMainMailBox(echo, echo), eNOK);  // a task is not a box
    EXPECT_EQ(SetTaskMainMailBox(echo_box, echo_box), eNOK);
    ASSERT_EQ(SetTaskMainMailBox(echo, echo_box), eOK);
    for (int32_t i = 1; i <= 100; ++i) {
        ASSERT_EQ(WriteToTask(0, echo, 5, &i, sizeof i, 0), eOK);
        int32_t value = 0, sender = -1;
        uint32_t size = 0;
        ASSERT_EQ(ReadFromTask(0, nullptr, &value, &size, sizeof value, 5000, nullptr, &sender),
                  eOK);
        EXPECT_EQ(std::tie(value, sender), std::make_tuple(2 * i, echo));
    }
    ASSERT_TRUE(WaitFor([&] { return CountIn(echo_box, &BoxCore::readers_waiting) == 1; }));
    EXPECT_THAT(CaptureStdoutOf([&] { EXPECT_EQ(DeleteTask(echo), eOK); }),
                HasSubstr("task ECHO suspended\n"));
    EXPECT_EQ(ObjectExist(echo) + ObjectExist(echo_box), 0);
    EXPECT_EQ(g_self_deleted.load(), self);  // the deleted threads never went on
    const int32_t other = Made(CreateTask, "OTHER", 0, Echo, nullptr, 0u, 0u);
    ASSERT_EQ(SetTaskMainMailBox(other, my_box), eOK);
    ASSERT_EQ(DeleteMailBox(my_box), eOK);
    EXPECT_EQ(GetTaskMainMailBox(0) + GetTaskMainMailBox(other), -2);
}

TEST_F(Tasks, LifeSignIsRefreshedByItsOwnTaskOnly) {
    EnsureAppDate();
    LifeSignYear(0).store(0);
    std::thread([] { UpdateLifeSign(); }).join();
    EXPECT_EQ(LifeSignYear(0).load(), 0);  // not a task of the library: nothing
    EXPECT_EQ(WaitTime(0), 0);
    EXPECT_NE(LifeSignYear(0).load(), 0);
}

}  // namespace
