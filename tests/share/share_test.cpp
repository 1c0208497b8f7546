// Shared memory blocks: creation, whole-block copies, sizes, names shared with the block's
// mutex, deletion while copies wait, and no torn reads under concurrent writers.
#include <gmock/gmock.h>

#include <vector>

#include "tests/sync/sync_helpers.h"

using kvtest::StartTask;
using kvtest::WaitFor;
namespace platform = kerval::platform;

namespace {

class Share : public kvtest::TaskTest {};

bool HasObjectNamed(const char* name)
{
    for (int32_t h = 0; h < _pxSysDescript->nNbObject; ++h) {
        if (ObjectExist(h) != NULL_OBJECT && std::strcmp(NameFromObject(h), name) == 0)
            return true;
    }
    return false;
}

TEST_F(Share, NewBlockReadsAsZerosAndCopiesMoveExactlyItsSize)
{
    int32_t h = 5;
    EXPECT_EQ(CreateShareMem("EMPTY", 0, &h), eNOK);
    EXPECT_EQ(h, -1);
    ASSERT_EQ(CreateShareMem("DATA", 8, &h), eOK);  // the lock was released
    EXPECT_EQ(ObjectExist(h + 1), SEM_OBJECT);
    EXPECT_STREQ(NameFromObject(h + 1), "$DATA");
    unsigned char buf[9];
    std::memset(buf, 0xAA, sizeof buf);
    ASSERT_EQ(ReadShareMem(h, buf, 8), eOK);
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 9),
              std::vector<unsigned char>({0, 0, 0, 0, 0, 0, 0, 0, 0xAA}));
    const unsigned char data[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    struct Case {
        const void* src;
        uint32_t size;
        int32_t code;
    };
    for (const Case& c : {Case{data, 7, eBAD_LEN}, {data, 9, eBAD_LEN}, {nullptr, 8, eNOK}})
        EXPECT_EQ(WriteShareMem(h, c.src, c.size), c.code);
    EXPECT_EQ(ReadShareMem(h, nullptr, 8), eNOK);
    EXPECT_EQ(ReadShareMem(h, buf, 7), eBAD_LEN);
    EXPECT_EQ(std::memcmp(PointOnShare(h), buf, 8), 0);  // nothing was written
    ASSERT_EQ(WriteShareMem(h, data, 8), eOK);
    ASSERT_EQ(ReadShareMem(h, buf, 8), eOK);
    EXPECT_EQ(std::memcmp(buf, data, 8), 0);
    EXPECT_EQ(std::memcmp(PointOnShare(h), data, 8), 0);
    // Wrong handles: 1 for the copies, null for the address, 0 for the deletion.
    EXPECT_EQ(WriteShareMem(h + 1, data, 8), eNOK);
    EXPECT_EQ(PointOnShare(h + 1), nullptr);
    EXPECT_EQ(DeleteShareMem(h + 1), eOK);
    EXPECT_EQ(ObjectExist(h + 1), SEM_OBJECT);
}

TEST_F(Share, NamesAreSharedWithTheBlockMutex)
{
    int32_t other = -1, h = 5;
    ASSERT_EQ(CreateMailBox("$DATA", 1, &other), eOK);
    EXPECT_EQ(CreateShareMem("DATA", 4, &h), eOBJECT_EXIST);
    EXPECT_EQ(h, -1);
    EXPECT_FALSE(HasObjectNamed("DATA"));
    ASSERT_EQ(DeleteMailBox(other), eOK);
    ASSERT_EQ(CreateShareMem("DATA", 4, &h), eOK);
    EXPECT_EQ(CreateShareMem("DATA", 4, &other), eOBJECT_EXIST);
    EXPECT_EQ(DeleteShareMem(h), eOK);
    EXPECT_EQ(PointOnShare(h), nullptr);
    EXPECT_FALSE(HasObjectNamed("DATA") || HasObjectNamed("$DATA"));
    ASSERT_EQ(CreateShareMem("DATA", 4, &h), eOK);
    EXPECT_EQ(DeleteShareMem(h), eOK);
}

// The deletion takes the block's mutex before the system lock: a holder of the mutex may still
// create objects. A copy waiting on the mutex while the block goes copies nothing and gets 1.
TEST_F(Share, DeletionWaitsForTheHolderAndWaitingCopiesGetOne)
{
    int32_t h = -1;
    ASSERT_EQ(CreateShareMem("DATA", 4, &h), eOK);
    const int32_t mute = h + 1;
    ASSERT_EQ(TakeMute(mute, WAIT_FOREVER), eOK);
    static std::atomic<int32_t> copy{-1}, deletion{-1};
    copy = deletion = -1;
    static unsigned char buf[4] = {7, 7, 7, 7};
    StartTask("C", [h] { copy = ReadShareMem(h, buf, 4); });
    StartTask("D", [h] { deletion = DeleteShareMem(h); });
    platform::sleep_ms(20);
    int32_t box = -1;
    EXPECT_EQ(CreateMailBox("BOX", 1, &box), eOK);  // no deadlock with the waiting deletion
    EXPECT_EQ(deletion, -1);
    EXPECT_EQ(FreeMute(mute), eOK);
    EXPECT_TRUE(WaitFor([] { return deletion != -1 && copy != -1; }));
    EXPECT_EQ(deletion, eOK);
    // The copy queued before the deletion may have been served first; otherwise it got 1.
    EXPECT_TRUE(copy == eNOK || (copy == eOK && buf[0] == 0)) << copy;
    EXPECT_EQ(ObjectExist(h), NULL_OBJECT);
}

TEST_F(Share, ReadersNeverSeeAHalfWrittenBlock)
{
    constexpr uint32_t kSize = 64 * 1024;
    static int32_t h = -1;
    ASSERT_EQ(CreateShareMem("BIG", kSize, &h), eOK);
    static std::atomic<int> writers_done{0};
    writers_done = 0;
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
    int torn = 0;
    while (writers_done < 2) {
        ASSERT_EQ(ReadShareMem(h, seen.data(), kSize), eOK);
        torn += std::count(seen.begin(), seen.end(), seen[0]) != kSize;
    }
    EXPECT_EQ(torn, 0);
}

}  // namespace
