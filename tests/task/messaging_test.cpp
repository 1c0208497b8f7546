// Messaging between tasks through their main mailboxes, and the life sign.
#include <gmock/gmock.h>

#include <tuple>

#include "kerval/task/task.h"
#include "tests/mailbox/box_helpers.h"

using ::testing::HasSubstr;
using kvtest::LifeSignYear;

namespace {

using TaskMessaging = kvtest::TaskTest;

// Once given a main box, sends every message of it back to INITJOB, doubled, up to one of type 0.
uint32_t Echo(void*)
{
    const int32_t me = _InternalCurrentTaskHandle(__FILE__, __LINE__);
    kvtest::WaitFor([&] { return GetTaskMainMailBox(me) != -1; });
    int32_t value = 0, type = 0;
    uint32_t size = 0;
    while (ReadFromTask(me, &type, &value, &size, sizeof value, WAIT_FOREVER, nullptr, nullptr) ==
               eOK && type != 0) {
        value *= 2;
        WriteToTask(me, 0, type, &value, sizeof value, 0);
    }
    return 0;
}

TEST_F(TaskMessaging, TasksExchangeThroughTheirMainBoxes)
{
    int32_t echo = -1, echo_box = -1, my_box = -1;
    ASSERT_EQ(CreateMailBox("ECHO_BOX", 4, &echo_box), eOK);
    ASSERT_EQ(CreateMailBox("MY_BOX", 4, &my_box), eOK);
    ASSERT_EQ(SetTaskMainMailBox(0, my_box), eOK);
    EXPECT_EQ(CurrentTaskBox(), my_box);
    ASSERT_EQ(CreateTask("ECHO", 0, Echo, nullptr, 0, 0, &echo), eOK);
    ASSERT_EQ(SetTaskMainMailBox(echo, echo_box), eOK);
    EXPECT_EQ(GetTaskMainMailBox(echo), echo_box);
    for (int32_t i = 1; i <= 100; ++i) {
        ASSERT_EQ(WriteToTask(0, echo, 5, &i, sizeof i, 0), eOK);
        int32_t value = 0, sender = -1;
        uint32_t size = 0;
        ASSERT_EQ(ReadFromTask(0, nullptr, &value, &size, sizeof value, 5000, nullptr, &sender),
                  eOK);
        EXPECT_EQ(std::tie(value, sender), std::make_tuple(2 * i, echo));
    }
    ASSERT_EQ(WriteToTask(0, echo, 0, nullptr, 0, 0), eOK);
}

TEST_F(TaskMessaging, OnlyATaskWithAMainBoxCanBeWrittenOrRead)
{
    int32_t task = -1, other = -1, box = -1, code = eOK;
    ASSERT_EQ(CreateTask("NOBOX", 0, Echo, nullptr, 0, 0, &task), eOK);
    ASSERT_EQ(CreateTask("OTHER", 0, Echo, nullptr, 0, 0, &other), eOK);
    EXPECT_EQ(GetTaskMainMailBox(task), -1);
    const std::string out =
        kvtest::CaptureStdoutOf([&] { code = WriteToTask(0, task, 1, "x", 2, 0); });
    EXPECT_EQ(code, eNOK);
    EXPECT_THAT(out, HasSubstr("INITJOB : Destination Box dosn't exist !\n"));
    EXPECT_EQ(ReadFromTask(task, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr),
              eINVALID_HANDLE);
    ASSERT_EQ(CreateMailBox("SOMEBOX", 2, &box), eOK);
    EXPECT_EQ(WriteToTask(0, box, 1, "x", 2, 0), eNOK);  // a box is not a task
    EXPECT_EQ(ReadFromTask(box, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr), eNOK);
    EXPECT_EQ(SetTaskMainMailBox(task, task), eNOK);  // a task is not a box
    EXPECT_EQ(SetTaskMainMailBox(box, box), eNOK);
    // Deleting a main box forgets it in every task naming it.
    ASSERT_EQ(SetTaskMainMailBox(task, box), eOK);
    ASSERT_EQ(SetTaskMainMailBox(other, box), eOK);
    ASSERT_EQ(DeleteMailBox(box), eOK);
    EXPECT_EQ(GetTaskMainMailBox(task), -1);
    EXPECT_EQ(GetTaskMainMailBox(other), -1);
}

uint32_t WaitForEver(void*)
{
    WaitAlways();
}

TEST_F(TaskMessaging, LifeSignIsRefreshedByItsOwnTaskOnlyAndEverySliceOfWaitAlways)
{
    kvtest::EnsureAppDate();
    UpdateLifeSign();
    EXPECT_NE(LifeSignYear(0).load(), 0);
    LifeSignYear(0).store(0);
    std::thread([] { UpdateLifeSign(); }).join();
    EXPECT_EQ(LifeSignYear(0).load(), 0);  // not a task of the library: nothing
    EXPECT_EQ(WaitTime(0), 0);
    EXPECT_NE(LifeSignYear(0).load(), 0);

    kerval::task::SetWaitSliceMs(10);
    int32_t task = -1;
    ASSERT_EQ(CreateTask("ALWAYS", 0, WaitForEver, nullptr, 0, 0, &task), eOK);
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(kvtest::WaitFor([&] { return LifeSignYear(task).load() != 0; }));
        LifeSignYear(task).store(0);
    }
}

}  // namespace
