// Mailbox messaging: order, envelopes, sizes, time-outs, flow control and purge.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>

#include "kerval/kerval.h"
#include "kerval/mailbox/mailbox.h"
#include "kerval/task/task.h"
#include "tests/mailbox/box_helpers.h"
#include "tests/support/fixtures.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class MailBoxMessaging : public kvtest::TaskTest {
protected:
    void SetUp() override
    {
        TaskTest::SetUp();
        ASSERT_EQ(CreateMailBox("BOX", 10, &box_), eOK);
    }
    int32_t box_ = -1;
};

TEST_F(MailBoxMessaging, DeliversInWritingOrderWithEnvelope)
{
    ASSERT_EQ(WriteMailBox(7, box_, 11, "one", 4, 101), eOK);
    ASSERT_EQ(WriteMailBox(8, box_, 12, "two", 4, 102), eOK);
    ASSERT_EQ(WriteMailBox(9, box_, 13, "three", 6, -1), eOK);
    const char* texts[] = {"one", "two", "three"};
    for (int i = 0; i < 3; ++i) {
        int32_t type = -5, extra = -5, sender = -5;
        uint32_t size = 99;
        char buf[16];
        ASSERT_EQ(ReadMailBox(box_, &type, buf, &size, sizeof buf, 0, &extra, &sender), eOK);
        EXPECT_EQ(type, 11 + i);
        EXPECT_EQ(sender, 7 + i);
        EXPECT_EQ(extra, i == 2 ? -1 : 101 + i);
        EXPECT_EQ(size, std::strlen(texts[i]) + 1);
        EXPECT_STREQ(buf, texts[i]);
    }
    EXPECT_EQ(ReadMailBox(box_, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr), eTIME_OVER);
}

TEST_F(MailBoxMessaging, ZeroSizeMessageIsCountedAndCopiesNothing)
{
    ASSERT_EQ(WriteMailBox(0, box_, 3, nullptr, 0, 0), eOK);
    EXPECT_EQ(kvtest::QueuedIn(box_), 1u);
    std::array<unsigned char, 8> buf{};
    uint32_t size = 77;
    int32_t type = 0;
    ASSERT_EQ(ReadMailBox(box_, &type, buf.data(), &size, buf.size(), 0, nullptr, nullptr), eOK);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(type, 3);
    for (unsigned char byte : buf)
        EXPECT_EQ(byte, 0xEE);
    EXPECT_EQ(kvtest::QueuedIn(box_), 0u);
}

TEST_F(MailBoxMessaging, BufferOneByteShortGivesBadLenAndConsumesTheMessage)
{
    ASSERT_EQ(WriteMailBox(4, box_, 21, "hello", 6, 55), eOK);
    ASSERT_EQ(kvtest::WriteText(box_, "next"), eOK);
    char buf[5];
    uint32_t size = 9;
    int32_t type = 0, extra = 0, sender = 0;
    EXPECT_EQ(ReadMailBox(box_, &type, buf, &size, 5, 0, &extra, &sender), eBAD_LEN);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(type, 21);
    EXPECT_EQ(extra, 55);
    EXPECT_EQ(sender, 4);
    for (char c : buf)
        EXPECT_EQ(static_cast<unsigned char>(c), 0xEE);
    char next[8];
    ASSERT_EQ(ReadMailBox(box_, nullptr, next, &size, sizeof next, 0, nullptr, nullptr), eOK);
    EXPECT_STREQ(next, "next");
}

TEST_F(MailBoxMessaging, NullBufferConsumesTheMessageAndGivesTheEnvelope)
{
    ASSERT_EQ(WriteMailBox(6, box_, 31, "data", 5, 66), eOK);
    int32_t type = 0, extra = 0, sender = 0;
    uint32_t size = 9;
    EXPECT_EQ(ReadMailBox(box_, &type, nullptr, &size, 100, 0, &extra, &sender), eOK);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(type, 31);
    EXPECT_EQ(extra, 66);
    EXPECT_EQ(sender, 6);
    EXPECT_EQ(kvtest::QueuedIn(box_), 0u);
}

TEST_F(MailBoxMessaging, RefusesBadArguments)
{
    EXPECT_EQ(WriteMailBox(0, box_, -1, "x", 2, 0), eINVALID_PARAM);
    EXPECT_EQ(kvtest::QueuedIn(box_), 0u);
    int32_t code = eOK;
    std::string out = kvtest::CaptureStdoutOf([&] { code = kvtest::WriteText(-1, "x"); });
    EXPECT_EQ(code, eNOK);
    EXPECT_THAT(out, HasSubstr("INITJOB : Destination Box dosn't exist !\n"));
    out = kvtest::CaptureStdoutOf(
        [&] { code = ReadMailBox(-1, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr); });
    EXPECT_EQ(code, eINVALID_HANDLE);
    EXPECT_EQ(out, "");
    EXPECT_EQ(ReadMailBox(box_, nullptr, nullptr, nullptr, -1, 0, nullptr, nullptr), eNOK);
}

TEST_F(MailBoxMessaging, TimeOutZeroAndMinusOneReturnTimeOverOnEmptyBox)
{
    kerval::task::SetWaitSliceMs(30);
    int32_t type = 9;
    uint32_t size = 9;
    EXPECT_EQ(ReadMailBox(box_, &type, nullptr, &size, 0, 0, nullptr, nullptr), eTIME_OVER);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(ReadMailBox(box_, nullptr, nullptr, nullptr, 0, -1, nullptr, nullptr), eTIME_OVER);
    EXPECT_EQ(ReadMailBox(box_, nullptr, nullptr, nullptr, 0, 20, nullptr, nullptr), eTIME_OVER);
}

std::atomic<int32_t> g_reader_result{-1};
std::atomic<int32_t> g_reader_box{-1};

uint32_t ReadForever(void*)
{
    char buf[16];
    uint32_t size = 0;
    g_reader_result =
        ReadMailBox(g_reader_box, nullptr, buf, &size, sizeof buf, WAIT_FOREVER, nullptr, nullptr);
    return 0;
}

int16_t LifeSignYear(int32_t hTask)
{
    TaskDescript& rec = _pxSysDescript->pxTaskTab[_pxSysDescript->pxObjectTab[hTask].nIndex];
    return std::atomic_ref<int16_t>(rec.xLifeSign.nYear).load();
}

void ClearLifeSignYear(int32_t hTask)
{
    TaskDescript& rec = _pxSysDescript->pxTaskTab[_pxSysDescript->pxObjectTab[hTask].nIndex];
    std::atomic_ref<int16_t>(rec.xLifeSign.nYear).store(0);
}

TEST_F(MailBoxMessaging, WaitForeverRefreshesLifeSignAndNeverTimesOut)
{
    kerval::task::SetWaitSliceMs(10);
    if (std::atomic_ref<int16_t>(_pxSysDescript->xAppDate.nYear).load() == 0) {
        std::atomic_ref<int16_t>(_pxSysDescript->xAppDate.nYear).store(2026);
    }
    g_reader_box = box_;
    int32_t reader = -1;
    ASSERT_EQ(CreateTask("READER", 0, ReadForever, nullptr, 0, 0, &reader), eOK);
    ASSERT_TRUE(kvtest::WaitFor([&] { return LifeSignYear(reader) != 0; }));
    for (int round = 0; round < 3; ++round) {
        ClearLifeSignYear(reader);
        ASSERT_TRUE(kvtest::WaitFor([&] { return LifeSignYear(reader) != 0; }));
    }
    EXPECT_EQ(g_reader_result.load(), -1);
    ASSERT_EQ(kvtest::WriteText(box_, "wake"), eOK);
    ASSERT_TRUE(kvtest::WaitFor([] { return g_reader_result.load() != -1; }));
    EXPECT_EQ(g_reader_result.load(), eOK);
}

std::atomic<int> g_written{0};
std::atomic<int32_t> g_writer_box{-1};

uint32_t WriteThree(void*)
{
    for (int i = 0; i < 3; ++i) {
        char text[8];
        std::snprintf(text, sizeof text, "m%d", i);
        if (kvtest::WriteText(g_writer_box, text) == eOK)
            ++g_written;
    }
    return 0;
}

TEST_F(MailBoxMessaging, FullBoxWriterPrintsItsLinesAndResumesWhenReaderFrees)
{
    int32_t small = -1;
    ASSERT_EQ(CreateMailBox("SMALL", 2, &small), eOK);
    g_writer_box = small;
    kvtest::BeginCaptureStdout();
    int32_t writer = -1;
    ASSERT_EQ(CreateTask("WRITER", 0, WriteThree, nullptr, 0, 0, &writer), eOK);
    const bool blocked = kvtest::WaitFor([&] { return kvtest::WritersWaitingIn(small) == 1; });
    const int written_while_full = g_written.load();
    char buf[8];
    uint32_t size = 0;
    const int32_t first = ReadMailBox(small, nullptr, buf, &size, sizeof buf, 0, nullptr, nullptr);
    const bool finished = kvtest::WaitFor([] { return g_written.load() == 3; });
    const std::string out = kvtest::EndCaptureStdout();
    ASSERT_TRUE(blocked);
    EXPECT_EQ(written_while_full, 2);
    EXPECT_EQ(first, eOK);
    EXPECT_STREQ(buf, "m0");
    ASSERT_TRUE(finished);
    EXPECT_THAT(out, HasSubstr("WRITER writing fails (298). SMALL is full. waiting "
                               "(PREV=2, NB=3, Max=2)...\nSMALL is un-full. sending !\n"));
    for (const char* want : {"m1", "m2"}) {
        ASSERT_EQ(ReadMailBox(small, nullptr, buf, &size, sizeof buf, 0, nullptr, nullptr), eOK);
        EXPECT_STREQ(buf, want);
    }
}

TEST_F(MailBoxMessaging, PurgeOfThreeMessagesShowsCountAndLeavesNoUnitBehind)
{
    for (const char* text : {"a", "b", "c"})
        ASSERT_EQ(kvtest::WriteText(box_, text), eOK);
    int32_t code = eNOK;
    const std::string out = kvtest::CaptureStdoutOf([&] { code = PurgeMailBox(box_); });
    EXPECT_EQ(code, eOK);
    EXPECT_THAT(out, HasSubstr("Task INITJOB : 3 msg. deleted from box BOX\n"));
    EXPECT_EQ(kvtest::QueuedIn(box_), 0u);
    EXPECT_EQ(ReadMailBox(box_, nullptr, nullptr, nullptr, 0, 20, nullptr, nullptr), eTIME_OVER);
    ASSERT_EQ(kvtest::WriteText(box_, "d"), eOK);
    char buf[4];
    uint32_t size = 0;
    ASSERT_EQ(ReadMailBox(box_, nullptr, buf, &size, sizeof buf, 0, nullptr, nullptr), eOK);
    EXPECT_STREQ(buf, "d");
    EXPECT_EQ(PurgeMailBox(-1), eNOK);
    EXPECT_EQ(kerval::mailbox::_PurgeMailBox(nullptr), eINVALID_HANDLE);
}

TEST_F(MailBoxMessaging, PurgeReleasesWriterWaitingOnFullBox)
{
    int32_t small = -1;
    ASSERT_EQ(CreateMailBox("SMALL", 2, &small), eOK);
    g_writer_box = small;
    int32_t writer = -1;
    kvtest::BeginCaptureStdout();
    ASSERT_EQ(CreateTask("WRITER", 0, WriteThree, nullptr, 0, 0, &writer), eOK);
    const bool blocked = kvtest::WaitFor([&] { return kvtest::WritersWaitingIn(small) == 1; });
    const int32_t purged = PurgeMailBox(small);
    const bool finished = kvtest::WaitFor([] { return g_written.load() == 3; });
    kvtest::EndCaptureStdout();
    ASSERT_TRUE(blocked);
    EXPECT_EQ(purged, eOK);
    ASSERT_TRUE(finished);
    EXPECT_EQ(ReadMailBox(small, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr), eTIME_OVER);
}

}  // namespace
