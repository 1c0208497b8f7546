// Messaging between tasks through their main mailboxes, and the life sign.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "kerval/kerval.h"
#include "kerval/task/task.h"
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

std::atomic_ref<int16_t> LifeSignYear(int32_t hTask)
{
    TaskDescript& rec = _pxSysDescript->pxTaskTab[_pxSysDescript->pxObjectTab[hTask].nIndex];
    return std::atomic_ref<int16_t>(rec.xLifeSign.nYear);
}

class TaskMessaging : public kvtest::TaskTest {
protected:
    void SetUp() override
    {
        TaskTest::SetUp();
        std::atomic_ref<int16_t> year(_pxSysDescript->xAppDate.nYear);
        if (year.load() == 0)
            year.store(2026);
    }
};

std::atomic<int32_t> g_peer{-1};
std::atomic<int> g_echoed{0};

// Sends every message of its own main box back to the main box of g_peer, doubled.
uint32_t Echo(void*)
{
    const int32_t me = _InternalCurrentTaskHandle(__FILE__, __LINE__);
    for (;;) {
        int32_t value = 0;
        uint32_t size = 0;
        int32_t type = 0;
        int32_t sender = -1;
        if (ReadFromTask(me, &type, &value, &size, sizeof value, WAIT_FOREVER, nullptr, &sender) !=
            eOK) {
            return 1;
        }
        if (type == 0)
            return 0;
        value *= 2;
        WriteToTask(me, g_peer, type, &value, sizeof value, 0);
        ++g_echoed;
    }
}

TEST_F(TaskMessaging, TasksExchangeThroughTheirMainBoxes)
{
    int32_t echo = -1, echo_box = -1, my_box = -1;
    ASSERT_EQ(CreateMailBox("ECHO_BOX", 4, &echo_box), eOK);
    ASSERT_EQ(CreateMailBox("MY_BOX", 4, &my_box), eOK);
    ASSERT_EQ(SetTaskMainMailBox(0, my_box), eOK);
    EXPECT_EQ(CurrentTaskBox(), my_box);
    g_peer = 0;
    ASSERT_EQ(CreateTask("ECHO", 0, Echo, nullptr, 0, 0, &echo), eOK);
    ASSERT_EQ(SetTaskMainMailBox(echo, echo_box), eOK);
    EXPECT_EQ(GetTaskMainMailBox(echo), echo_box);
    for (int32_t i = 1; i <= 100; ++i) {
        ASSERT_EQ(WriteToTask(0, echo, 5, &i, sizeof i, 0), eOK);
        int32_t value = 0, sender = -1;
        uint32_t size = 0;
        ASSERT_EQ(ReadFromTask(0, nullptr, &value, &size, sizeof value, 5000, nullptr, &sender),
                  eOK);
        EXPECT_EQ(value, 2 * i);
        EXPECT_EQ(sender, echo);
    }
    ASSERT_EQ(WriteToTask(0, echo, 0, nullptr, 0, 0), eOK);
}

TEST_F(TaskMessaging, TaskWithoutMainBoxCannotBeWrittenOrRead)
{
    int32_t task = -1;
    ASSERT_EQ(CreateTask("NOBOX", 0, Echo, nullptr, 0, 0, &task), eOK);
    EXPECT_EQ(GetTaskMainMailBox(task), -1);
    int32_t code = eOK;
    const std::string out =
        kvtest::CaptureStdoutOf([&] { code = WriteToTask(0, task, 1, "x", 2, 0); });
    EXPECT_EQ(code, eNOK);
    EXPECT_THAT(out, HasSubstr("INITJOB : Destination Box dosn't exist !\n"));
    EXPECT_EQ(ReadFromTask(task, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr),
              eINVALID_HANDLE);
    int32_t box = -1;
    ASSERT_EQ(CreateMailBox("SOMEBOX", 2, &box), eOK);
    EXPECT_EQ(WriteToTask(0, box, 1, "x", 2, 0), eNOK);  // a box is not a task
    EXPECT_EQ(ReadFromTask(box, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr), eNOK);
    EXPECT_EQ(SetTaskMainMailBox(task, task), eNOK);  // a task is not a box
    EXPECT_EQ(GetTaskMainMailBox(task), -1);
    EXPECT_EQ(SetTaskMainMailBox(box, box), eNOK);
    EXPECT_EQ(GetTaskMainMailBox(box), -1);
}

TEST_F(TaskMessaging, DeletingAMainBoxForgetsItInEveryTaskNamingIt)
{
    int32_t box = -1;
    ASSERT_EQ(CreateMailBox("SHARED", 2, &box), eOK);
    int32_t a = -1, b = -1;
    ASSERT_EQ(CreateTask("TA", 0, Echo, nullptr, 0, 0, &a), eOK);
    ASSERT_EQ(CreateTask("TB", 0, Echo, nullptr, 0, 0, &b), eOK);
    ASSERT_EQ(SetTaskMainMailBox(a, box), eOK);
    ASSERT_EQ(SetTaskMainMailBox(b, box), eOK);
    ASSERT_EQ(DeleteMailBox(box), eOK);
    EXPECT_EQ(GetTaskMainMailBox(a), -1);
    EXPECT_EQ(GetTaskMainMailBox(b), -1);
}

TEST_F(TaskMessaging, UpdateLifeSignFromAForeignThreadChangesNothing)
{
    UpdateLifeSign();
    EXPECT_NE(LifeSignYear(0).load(), 0);
    LifeSignYear(0).store(0);
    std::thread foreign([] { UpdateLifeSign(); });
    foreign.join();
    EXPECT_EQ(LifeSignYear(0).load(), 0);
    EXPECT_EQ(WaitTime(0), 0);
    EXPECT_NE(LifeSignYear(0).load(), 0);
}

uint32_t WaitForEver(void*)
{
    WaitAlways();
}

TEST_F(TaskMessaging, WaitAlwaysRefreshesTheLifeSignEverySlice)
{
    kerval::task::SetWaitSliceMs(10);
    int32_t task = -1;
    ASSERT_EQ(CreateTask("ALWAYS", 0, WaitForEver, nullptr, 0, 0, &task), eOK);
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(WaitFor([&] { return LifeSignYear(task).load() != 0; }));
        LifeSignYear(task).store(0);
    }
    kvtest::CaptureStdoutOf([&] { EXPECT_EQ(DeleteTask(task), eOK); });
}

}  // namespace
