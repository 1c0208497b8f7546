// Mailbox objects: creation, deletion, and deletion while tasks are blocked on the box.
#include "tests/support/tasks.h"

namespace {

using MailBoxObjects = TaskTest;

TEST_F(MailBoxObjects, CreateRefusesCapacityZeroAndATakenNameDeleteFreesMessagesAndHandle) {
    int32_t box = 5, again = 0;
    EXPECT_EQ(CreateMailBox("FULLDEL", 0, &box), eNOK);
    EXPECT_EQ(std::make_pair(box, FindObjectMirror("FULLDEL")), std::make_pair(-1, -1));
    ASSERT_EQ(CreateMailBox("FULLDEL", 5, &box), eOK);
    CaptureStdoutOf([&] { EXPECT_EQ(CreateMailBox("FULLDEL", 3, &again), eOBJECT_EXIST); });
    EXPECT_EQ(again, -1);
    ASSERT_TRUE(WriteText(box, "a") == eOK && WriteText(box, "b") == eOK);
    const std::string out = CaptureStdoutOf([&] {
        EXPECT_EQ(DeleteMailBox(box), eOK);
        EXPECT_EQ(DeleteMailBox(box), eNOK);
        EXPECT_EQ(WriteText(box, "late"), eNOK);
    });
    for (const char* line : {"Task INITJOB : 2 msg. deleted from box FULLDEL\n",
                             "KERVAL-DeleteMailBox() : Can't delete mailbox !\n",
                             "INITJOB : Destination Box dosn't exist !\n"})
        EXPECT_THAT(out, HasSubstr(line));
    EXPECT_EQ(ReadMailBox(box, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr), eINVALID_HANDLE);
    EXPECT_EQ(Made(CreateMailBox, "NEW", 1), box);  // the handle is reused
}

std::atomic<int32_t> g_read_result{-1}, g_write_result{-1};

TEST_F(MailBoxObjects, DeletionWakesBlockedReaderWithInvalidHandleAndWriterWithNok) {
    const int32_t rbox = Made(CreateMailBox, "RDEL", 1), wbox = Made(CreateMailBox, "WDEL", 1);
    ASSERT_EQ(WriteText(wbox, "fills"), eOK);
    StartTask("RTASK", [rbox] {
        g_read_result =
            ReadMailBox(rbox, nullptr, nullptr, nullptr, 0, WAIT_FOREVER, nullptr, nullptr);
    });
    StartTask("WTASK", [wbox] { g_write_result = WriteText(wbox, "waits"); });
    const std::string out = CaptureStdoutOf([&] {
        ASSERT_TRUE(WaitFor([&] {
            return CountIn(rbox, &BoxCore::readers_waiting) == 1 &&
                   CountIn(wbox, &BoxCore::writers_waiting) == 1;
        }));
        EXPECT_EQ(DeleteMailBox(rbox), eOK);
        EXPECT_EQ(DeleteMailBox(wbox), eOK);
        EXPECT_TRUE(WaitFor([] { return g_read_result != -1 && g_write_result != -1; }));
    });
    EXPECT_EQ(g_read_result, eINVALID_HANDLE);
    EXPECT_EQ(g_write_result, eNOK);
    EXPECT_THAT(out, HasSubstr("2 msg. deleted from box WDEL\n"));
}

}  // namespace
