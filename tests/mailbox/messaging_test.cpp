// Mailbox messaging: order, envelopes, sizes, time-outs, flow control and purge.
#include "kerval/task/task.h"
#include "tests/support/tasks.h"

using kerval::mailbox::BoxCore;
using kvtest::CountIn;
using kvtest::ReadText;
using kvtest::WaitFor;
using kvtest::WriteText;
using ::testing::HasSubstr;

namespace {

class MailBoxMessaging : public kvtest::TaskTest {
protected:
    void SetUp() override {
        TaskTest::SetUp();
        ASSERT_EQ(CreateMailBox("BOX", 10, &box_), eOK);
    }
    int32_t box_ = -1;
};

TEST_F(MailBoxMessaging, DeliversInWritingOrderWithEnvelope) {
    ASSERT_EQ(WriteMailBox(7, box_, 11, "one", 4, 101), eOK);
    ASSERT_EQ(WriteMailBox(8, box_, 12, "two", 4, 102), eOK);
    ASSERT_EQ(WriteMailBox(9, box_, 13, "three", 6, -1), eOK);
    const char* texts[] = {"one", "two", "three"};
    for (int i = 0; i < 3; ++i) {
        int32_t type = -5, extra = -5, sender = -5;
        uint32_t size = 99;
        char buf[16];
        ASSERT_EQ(ReadMailBox(box_, &type, buf, &size, sizeof buf, 0, &extra, &sender), eOK);
        EXPECT_EQ(std::tie(type, sender, extra, size),
                  std::make_tuple(11 + i, 7 + i, i == 2 ? -1 : 101 + i, std::strlen(texts[i]) + 1));
        EXPECT_STREQ(buf, texts[i]);
    }
    EXPECT_EQ(ReadMailBox(box_, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr), eTIME_OVER);
}

// A zero-size message, a buffer one byte short, no buffer: each read gives the envelope, copies
// nothing (the buffer is filled with 0xEE) and consumes the message.
TEST_F(MailBoxMessaging, ReadsThatCopyNoDataStillGiveTheEnvelopeAndConsume) {
    using Case = std::tuple<const char*, uint32_t, uint32_t, bool, int32_t>;
    for (const auto& [data, length, capacity, buffer, code] : {Case{nullptr, 0, 8, true, eOK},
                                                               {"hello", 6, 5, true, eBAD_LEN},
                                                               {"data", 5, 100, false, eOK}}) {
        ASSERT_EQ(WriteMailBox(4, box_, 21, data, length, 55), eOK);
        unsigned char buf[8] = {};
        uint32_t size = 9;
        int32_t type = 0, extra = 0, sender = 0;
        EXPECT_EQ(
            ReadMailBox(box_, &type, buffer ? buf : nullptr, &size, capacity, 0, &extra, &sender),
            code);
        EXPECT_EQ(std::tie(size, type, extra, sender), std::make_tuple(0u, 21, 55, 4));
        for (uint32_t i = 0; buffer && i < capacity; ++i) EXPECT_EQ(buf[i], 0xEE);
        EXPECT_EQ(CountIn(box_, &BoxCore::queued), 0u);
    }
    EXPECT_EQ(WriteMailBox(0, box_, -1, "x", 2, 0), eINVALID_PARAM);  // negative type
    EXPECT_EQ(ReadMailBox(box_, nullptr, nullptr, nullptr, -1, 0, nullptr, nullptr), eNOK);
}

std::atomic<int> g_written{0};
std::atomic<bool> g_go{false};

TEST_F(MailBoxMessaging, TimedReadsEndInTimeOver) {
    kerval::task::SetWaitSliceMs(10);
    for (int32_t ms : {0, -1, 20}) {
        int32_t type = 9;
        uint32_t size = 9;
        EXPECT_EQ(ReadMailBox(box_, &type, nullptr, &size, 0, ms, nullptr, nullptr), eTIME_OVER);
        EXPECT_EQ(std::tie(type, size), std::make_tuple(0, 0u));
    }
}

// A writer deleted while it waits for room: its message is still delivered, in its place, and
// every later message is readable.
TEST_F(MailBoxMessaging, WriterDeletedWhileWaitingForRoomIsDeliveredAndTheBoxStaysWhole) {
    int32_t one = -1;
    ASSERT_EQ(CreateMailBox("ONE", 1, &one), eOK);
    ASSERT_EQ(WriteText(one, "first"), eOK);
    const int32_t writer = kvtest::StartTask("WRITER", [one] { WriteText(one, "second"); });
    EXPECT_TRUE(WaitFor([&] { return CountIn(one, &BoxCore::writers_waiting) == 1; }));
    kvtest::CaptureStdoutOf([&] { DeleteTask(writer); });
    EXPECT_EQ(ReadText(one), "first");
    EXPECT_EQ(ReadText(one), "second");
    for (const char* text : {"third", "fourth"}) {
        ASSERT_EQ(WriteText(one, text), eOK);
        EXPECT_EQ(ReadText(one), text);
    }
}

// WRITER puts six messages through a box of two and waits at each write once it is full, its
// message chained already: three reads let three through in order, the purge takes the last
// three. The writer starts once the output is captured.
TEST_F(MailBoxMessaging, FullBoxWriterWaitsInOrderAndThePurgeOfThreeMessagesReleasesIt) {
    int32_t small = -1;
    ASSERT_EQ(CreateMailBox("SMALL", 2, &small), eOK);
    g_written = 0;
    g_go = false;
    kvtest::StartTask("WRITER", [small] {
        WaitFor([] { return g_go.load(); });
        for (char i = '0'; i < '6'; ++i)
            g_written += WriteText(small, (std::string("m") + i).c_str()) == eOK ? 1 : 0;
    });
    std::string read;
    const std::string out = kvtest::CaptureStdoutOf([&] {
        g_go = true;
        for (int i = 0; i < 4; ++i) {
            ASSERT_TRUE(WaitFor([&] {
                return g_written == i + 2 && CountIn(small, &BoxCore::writers_waiting) == 1;
            }));
            if (i < 3) read += ReadText(small);
        }
        EXPECT_EQ(PurgeMailBox(small), eOK);
        EXPECT_TRUE(WaitFor([] { return g_written == 6; }));
    });
    EXPECT_EQ(read, "m0m1m2");
    EXPECT_THAT(out, HasSubstr("WRITER writing fails (298). SMALL is full. waiting "
                               "(PREV=2, NB=3, Max=2)...\nSMALL is un-full. sending !\n"));
    EXPECT_THAT(out, HasSubstr("Task INITJOB : 3 msg. deleted from box SMALL\n"));
    ASSERT_EQ(WriteText(small, "d"), eOK);
    EXPECT_EQ(ReadText(small), "d");
    EXPECT_EQ(PurgeMailBox(-1), eNOK);
}

}  // namespace
