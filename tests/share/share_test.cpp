// Shared memory blocks: whole-block copies, names shared with the block's mutex, deletion while
// copies wait, and no torn reads under concurrent writers.
#include "tests/support/tasks.h"

namespace {

using Share = TaskTest;

TEST_F(Share, CopiesMoveExactlyTheBlockAndNamesAreSharedWithItsMutex) {
    int32_t h = 5, box = 5;
    EXPECT_EQ(CreateShareMem("EMPTY", 0, &h), eNOK);
    ASSERT_EQ(CreateMailBox("$DATA", 1, &box), eOK);
    EXPECT_EQ(CreateShareMem("DATA", 8, &box), eOBJECT_EXIST);
    EXPECT_EQ(h + box, -2);
    EXPECT_EQ(FindObjectMirror("DATA"), -1);
    ASSERT_EQ(DeleteMailBox(FindObjectMirror("$DATA")), eOK);
    ASSERT_EQ(CreateShareMem("DATA", 8, &h), eOK);
    ASSERT_EQ(FindObjectMirror("$DATA"), h + 1);  // the block's mutex
    unsigned char buf[9];
    std::memset(buf, 0xAA, sizeof buf);
    const unsigned char data[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const std::pair<int32_t, int32_t> cases[] = {
        {ReadShareMem(h, buf, 8), eOK},  // a new block reads as zeros
        {WriteShareMem(h, data, 7), eBAD_LEN}, {WriteShareMem(h, data, 9), eBAD_LEN},
        {WriteShareMem(h, nullptr, 8), eNOK},  {ReadShareMem(h, nullptr, 8), eNOK},
        {ReadShareMem(h, buf, 7), eBAD_LEN},   {WriteShareMem(h + 1, data, 8), eNOK},
        {DeleteShareMem(h + 1), eOK},          {CreateShareMem("DATA", 8, &box), eOBJECT_EXIST},
    };
    for (const auto& [code, expected] : cases) EXPECT_EQ(code, expected);
    const auto bytes = [&buf] { return std::vector<int>(buf, buf + 9); };
    EXPECT_EQ(bytes(), std::vector<int>({0, 0, 0, 0, 0, 0, 0, 0, 0xAA}));
    EXPECT_EQ(std::memcmp(PointOnShare(h), buf, 8), 0);  // the refused copies wrote nothing
    ASSERT_EQ(WriteShareMem(h, data, 8), eOK);
    ASSERT_EQ(ReadShareMem(h, buf, 8), eOK);
    EXPECT_EQ(bytes(), std::vector<int>({1, 2, 3, 4, 5, 6, 7, 8, 0xAA}));  // exactly 8 bytes
    EXPECT_EQ(PointOnShare(h + 1), nullptr);
    EXPECT_EQ(DeleteShareMem(h), eOK);
    EXPECT_EQ(PointOnShare(h), nullptr);
    EXPECT_EQ(FindObjectMirror("DATA") + FindObjectMirror("$DATA"), -2);
}

// The deletion takes the block's mutex before the system lock: a holder of the mutex may still
// create objects. A copy waiting on the mutex while the block goes copies nothing and gets 1.
TEST_F(Share, DeletionWaitsForTheHolderAndWaitingCopiesGetOne) {
    const int32_t h = Made(CreateShareMem, "DATA", 4);
    ASSERT_EQ(TakeMute(h + 1, WAIT_FOREVER), eOK);
    static std::atomic<int32_t> copy{-1}, deletion{-1};
    static unsigned char buf[4] = {7, 7, 7, 7};
    StartTask("C", [h] { copy = ReadShareMem(h, buf, 4); });
    StartTask("D", [h] { deletion = DeleteShareMem(h); });
    kp::sleep_ms(20);
    Made(CreateMailBox, "BOX", 1);  // no deadlock with the waiting deletion
    EXPECT_EQ(deletion, -1);
    EXPECT_EQ(FreeMute(h + 1), eOK);
    EXPECT_TRUE(WaitFor([] { return deletion != -1 && copy != -1; }));
    EXPECT_EQ(deletion, eOK);
    // The copy queued before the deletion may have been served first; otherwise it got 1.
    EXPECT_TRUE(copy == eNOK || (copy == eOK && buf[0] == 0)) << copy;
    EXPECT_EQ(ObjectExist(h), NULL_OBJECT);
}

TEST_F(Share, ReadersNeverSeeAHalfWrittenBlock) {
    constexpr uint32_t kSize = 64 * 1024;
    static const int32_t h = Made(CreateShareMem, "BIG", kSize);
    static std::atomic<int> writers_done{0};
    for (const char* name : {"W1", "W2"}) {
        StartTask(name, [] {
            std::vector<unsigned char> block(kSize);
            for (int i = 1; i <= 200; ++i) {
                std::fill(block.begin(), block.end(), static_cast<unsigned char>(i));
                WriteShareMem(h, block.data(), kSize);
            }
            ++writers_done;
        });
    }
    std::vector<unsigned char> seen(kSize);
    while (writers_done < 2) {
        ASSERT_EQ(ReadShareMem(h, seen.data(), kSize), eOK);
        ASSERT_EQ(std::count(seen.begin(), seen.end(), seen[0]), seen.end() - seen.begin());
    }
}

}  // namespace
