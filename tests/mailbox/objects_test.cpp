// Mailbox objects: creation, deletion, and deletion while tasks are blocked on the box.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "kerval/kerval.h"
#include "tests/mailbox/box_helpers.h"
#include "tests/support/fixtures.h"

using ::testing::HasSubstr;

namespace {

using MailBoxObjects = kvtest::TaskTest;

TEST_F(MailBoxObjects, CapacityZeroIsRefusedAndLeavesTheNameFree)
{
    int32_t box = 5;
    EXPECT_EQ(CreateMailBox("ZERO", 0, &box), eNOK);
    EXPECT_EQ(box, -1);
    EXPECT_EQ(FindObjectMirror("ZERO"), -1);
    ASSERT_EQ(CreateMailBox("ZERO", 1, &box), eOK);
    EXPECT_EQ(ObjectExist(box), MAILBOX_OBJECT);
    const BoxDescript& rec = _pxSysDescript->pxMailBoxTab[_pxSysDescript->pxObjectTab[box].nIndex];
    EXPECT_EQ(rec.nMaxMsg, 1);
    EXPECT_EQ(rec.nNbMsg, 0);
    EXPECT_EQ(rec.lReserved1, 0);
    EXPECT_EQ(rec.pFirstMsg, nullptr);
}

TEST_F(MailBoxObjects, DuplicateNameIsRefused)
{
    int32_t box = -1;
    ASSERT_EQ(CreateMailBox("DUP", 3, &box), eOK);
    int32_t again = 0;
    kvtest::CaptureStdoutOf([&] { EXPECT_EQ(CreateMailBox("DUP", 3, &again), eOBJECT_EXIST); });
    EXPECT_EQ(again, -1);
}

TEST_F(MailBoxObjects, DeleteFreesQueuedMessagesAndSecondDeleteFails)
{
    int32_t box = -1;
    ASSERT_EQ(CreateMailBox("FULLDEL", 5, &box), eOK);
    ASSERT_EQ(kvtest::WriteText(box, "a"), eOK);
    ASSERT_EQ(kvtest::WriteText(box, "b"), eOK);
    int32_t code = eNOK;
    std::string out = kvtest::CaptureStdoutOf([&] { code = DeleteMailBox(box); });
    EXPECT_EQ(code, eOK);
    EXPECT_THAT(out, HasSubstr("Task INITJOB : 2 msg. deleted from box FULLDEL\n"));
    EXPECT_EQ(ObjectExist(box), 0);
    out = kvtest::CaptureStdoutOf([&] { code = DeleteMailBox(box); });
    EXPECT_EQ(code, eNOK);
    EXPECT_THAT(out, HasSubstr("KERVAL-DeleteMailBox() : Can't delete mailbox !\n"));
    out = kvtest::CaptureStdoutOf([&] { code = kvtest::WriteText(box, "late"); });
    EXPECT_EQ(code, eNOK);
    EXPECT_EQ(ReadMailBox(box, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr), eINVALID_HANDLE);
}

TEST_F(MailBoxObjects, HandleReusedByNewBoxStartsEmpty)
{
    int32_t box = -1;
    ASSERT_EQ(CreateMailBox("OLD", 5, &box), eOK);
    ASSERT_EQ(kvtest::WriteText(box, "stale"), eOK);
    kvtest::CaptureStdoutOf([&] { ASSERT_EQ(DeleteMailBox(box), eOK); });
    int32_t reused = -1;
    ASSERT_EQ(CreateMailBox("NEW", 1, &reused), eOK);
    EXPECT_EQ(reused, box);
    EXPECT_EQ(ReadMailBox(reused, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr), eTIME_OVER);
    ASSERT_EQ(kvtest::WriteText(reused, "fresh"), eOK);
    char buf[8];
    uint32_t size = 0;
    ASSERT_EQ(ReadMailBox(reused, nullptr, buf, &size, sizeof buf, 0, nullptr, nullptr), eOK);
    EXPECT_STREQ(buf, "fresh");
}

std::atomic<int32_t> g_box{-1};
std::atomic<int32_t> g_read_result{-1};
std::atomic<int32_t> g_write_result{-1};

uint32_t BlockedReader(void*)
{
    g_read_result =
        ReadMailBox(g_box, nullptr, nullptr, nullptr, 0, WAIT_FOREVER, nullptr, nullptr);
    return 0;
}

uint32_t BlockedWriter(void*)
{
    kvtest::WriteText(g_box, "fills");
    g_write_result = kvtest::WriteText(g_box, "waits");
    return 0;
}

TEST_F(MailBoxObjects, DeletionWakesBlockedReaderWithInvalidHandle)
{
    int32_t box = -1;
    ASSERT_EQ(CreateMailBox("RDEL", 1, &box), eOK);
    g_box = box;
    int32_t reader = -1;
    ASSERT_EQ(CreateTask("RTASK", 0, BlockedReader, nullptr, 0, 0, &reader), eOK);
    ASSERT_TRUE(kvtest::WaitFor([&] { return kvtest::ReadersWaitingIn(box) == 1; }));
    ASSERT_EQ(DeleteMailBox(box), eOK);
    ASSERT_TRUE(kvtest::WaitFor([] { return g_read_result.load() != -1; }));
    EXPECT_EQ(g_read_result.load(), eINVALID_HANDLE);
    EXPECT_EQ(DeleteTask(reader), eOK);
}

TEST_F(MailBoxObjects, DeletionWakesBlockedWriterWithNok)
{
    int32_t box = -1;
    ASSERT_EQ(CreateMailBox("WDEL", 1, &box), eOK);
    g_box = box;
    int32_t writer = -1;
    kvtest::BeginCaptureStdout();
    ASSERT_EQ(CreateTask("WTASK", 0, BlockedWriter, nullptr, 0, 0, &writer), eOK);
    const bool blocked = kvtest::WaitFor([&] { return kvtest::WritersWaitingIn(box) == 1; });
    const int32_t deleted = DeleteMailBox(box);
    const bool woke = kvtest::WaitFor([] { return g_write_result.load() != -1; });
    const std::string out = kvtest::EndCaptureStdout();
    ASSERT_TRUE(blocked);
    EXPECT_EQ(deleted, eOK);
    ASSERT_TRUE(woke);
    EXPECT_EQ(g_write_result.load(), eNOK);
    EXPECT_THAT(out, HasSubstr("2 msg. deleted from box WDEL\n"));
    EXPECT_EQ(DeleteTask(writer), eOK);
}

}  // namespace
