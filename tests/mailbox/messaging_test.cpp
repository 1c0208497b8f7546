// Mailbox messaging: order, envelopes, sizes, time-outs, flow control and purge.
#include "tests/support/tasks.h"

namespace {

class MailBoxMessaging : public TaskTest {
protected:
    void SetUp() override {
        TaskTest::SetUp();
        ASSERT_EQ(CreateMailBox("BOX", 10, &box_), eOK);
    }
    int32_t box_ = -1;
};

// Messages come in writing order with their envelope. A zero-size message, a buffer one byte
// short, no buffer: the read gives the envelope, copies nothing (the buffer is filled with 0xEE)
// and consumes the message all the same.
TEST_F(MailBoxMessaging, ReadsGiveTheEnvelopeInWritingOrderAndConsumeEvenWhenTheyCopyNothing) {
    // sender, type, data, length, extra; capacity, buffer given, code and size of the read
    using Row = std::tuple<int32_t, int32_t, const char*, uint32_t, int32_t, uint32_t, bool,
                           int32_t, uint32_t>;
    const Row rows[] = {{7, 11, "one", 4, 101, 16, true, eOK, 4},
                        {9, 13, "three", 6, -1, 16, true, eOK, 6},
                        {4, 21, nullptr, 0, 55, 8, true, eOK, 0},
                        {5, 22, "hello", 6, 56, 5, true, eBAD_LEN, 0},
                        {6, 23, "data", 5, 57, 100, false, eOK, 0}};
    for (const auto& [from, type, data, length, extra, capacity, buffer, code, size] : rows)
        ASSERT_EQ(WriteMailBox(from, box_, type, data, length, extra), eOK);
    uint32_t left = std::size(rows);
    for (const auto& [from, type, data, length, extra, capacity, buffer, code, size] : rows) {
        unsigned char buf[16] = {};
        int32_t got_from = 0, got_type = 0, got_extra = 0;
        uint32_t got_size = 99;
        EXPECT_EQ(ReadMailBox(box_, &got_type, buffer ? buf : nullptr, &got_size, capacity, 0,
                              &got_extra, &got_from),
                  code);
        EXPECT_EQ(std::tie(got_from, got_type, got_extra, got_size),
                  std::tie(from, type, extra, size));
        if (size != 0) { EXPECT_STREQ(reinterpret_cast<char*>(buf), data); }
        for (uint32_t i = 0; size == 0 && buffer && i < capacity; ++i) EXPECT_EQ(buf[i], 0xEE);
        EXPECT_EQ(CountIn(box_, &BoxCore::queued), --left);
    }
    EXPECT_EQ(WriteMailBox(0, box_, -1, "x", 2, 0), eINVALID_PARAM);  // negative type
    EXPECT_EQ(ReadMailBox(box_, nullptr, nullptr, nullptr, -1, 0, nullptr, nullptr), eNOK);
}

// Sizes either side of the small-block size (216 data bytes), read one at a time and in a
// batch: each read gives exactly the bytes written, whether its block is new or recycled.
TEST_F(MailBoxMessaging, EverySizeArrivesWholeWhetherItsBlockIsNewOrRecycled) {
    const uint32_t sizes[] = {216, 1, 217, 0, 216, 5000, 3};
    const auto bytes = [&](size_t i) { return std::string(sizes[i], static_cast<char>('a' + i)); };
    const auto read = [&](size_t i) {
        std::string got(6000, '\0');
        uint32_t size = 0;
        ASSERT_EQ(ReadMailBox(box_, nullptr, got.data(), &size, 6000, 0, nullptr, nullptr), eOK);
        EXPECT_EQ(got.substr(0, size), bytes(i)) << i;
    };
    for (bool batch : {false, true}) {
        for (size_t i = 0; i < std::size(sizes); ++i) {
            ASSERT_EQ(WriteMailBox(0, box_, 1, bytes(i).data(), sizes[i], 0), eOK);
            if (!batch) read(i);
        }
        for (size_t i = 0; batch && i < std::size(sizes); ++i) read(i);
    }
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
    const int32_t one = Made(CreateMailBox, "ONE", 1);
    ASSERT_EQ(WriteText(one, "first"), eOK);
    const int32_t writer = StartTask("WRITER", [one] { WriteText(one, "second"); });
    EXPECT_TRUE(WaitFor([&] { return CountIn(one, &BoxCore::writers_waiting) == 1; }));
    CaptureStdoutOf([&] { DeleteTask(writer); });
    EXPECT_EQ(ReadText(one), "first");
    EXPECT_EQ(ReadText(one), "second");
    ASSERT_EQ(WriteText(one, "third"), eOK);
    EXPECT_EQ(ReadText(one), "third");
}

// WRITER puts six messages through a box of two and waits at each write once it is full, its
// message chained already: three reads let three through in order, the purge takes the last
// three. The writer starts once the output is captured.
TEST_F(MailBoxMessaging, FullBoxWriterWaitsInOrderAndThePurgeOfThreeMessagesReleasesIt) {
    const int32_t small = Made(CreateMailBox, "SMALL", 2);
    g_written = 0;
    g_go = false;
    StartTask("WRITER", [small] {
        WaitFor([] { return g_go.load(); });
        for (char i = '0'; i < '6'; ++i)
            g_written += WriteText(small, (std::string("m") + i).c_str()) == eOK ? 1 : 0;
    });
    std::string read;
    const std::string out = CaptureStdoutOf([&] {
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
