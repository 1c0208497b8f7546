// The Slow file operations: the requests they post and what the store task makes of them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "kerval/file/store_requests.h"
#include "kerval/kerval.h"
#include "tests/file/file_support.h"
#include "tests/mailbox/box_helpers.h"
#include "tests/support/report_fixtures.h"

namespace {

using kerval::file::StartService;
using kerval::file::StoreOpenRequest;
using kerval::file::StoreWriteRequest;
using kerval::file::WaitForStoreRequests;
using kvtest::Bytes;
using ::testing::HasSubstr;

using Store = kvtest::StoreTest;
using StoreRequests = kvtest::KervalTest;

int32_t SlowWrite(const char* name, int32_t offset, int32_t origin, const std::string& bytes)
{
    return SlowWriteBinFile(name, offset, origin, bytes.data(), static_cast<uint32_t>(bytes.size()),
                            0);
}

TEST_F(Store, SlowWritesOfEverySizeAndOriginLandContiguouslyInOrder)
{
    const std::vector<std::tuple<int32_t, int32_t, size_t>> writes = {
        {100, 0, 5000}, {0, 1, 2048},   {7, 1, 2049}, {0, 2, 1},      {3, 2, 4097},
        {0, 0, 2047},   {50, 0, 70000}, {0, 1, 6144}, {-10, 2, 3000}, {-1, 1, 1}};
    kvtest::BeginCaptureStdout();  // full-box lines
    ASSERT_EQ(eOK, SlowOpenBinFile("S", "slow.bin", "w+b"));
    kvtest::FileModel expected;
    for (const auto& [offset, origin, size] : writes) {
        const std::string bytes = Bytes(size, expected.bytes.size());
        ASSERT_EQ(eOK, SlowWrite("S", offset, origin, bytes)) << size;
        expected.Write(offset, origin, bytes);
    }
    ASSERT_EQ(eOK, SlowCloseBinFile("S"));
    ASSERT_EQ(eOK, WaitForStoreRequests());
    EXPECT_THAT(kvtest::EndCaptureStdout(), ::testing::Not(HasSubstr("Error")));
    EXPECT_TRUE(expected.bytes == kvtest::ReadBinaryFile("slow.bin"));
    EXPECT_EQ(-1, FindObjectMirror("S"));
}

// Without a store task the requests stay in a box of that name and can be inspected.
TEST_F(StoreRequests, ChunksFollowOneAnotherFromTheCallersPosition)
{
    kvtest::CaptureStdoutOf([] {
        DeleteTask(FindObjectMirror("_STORE_TASK"));
        DeleteMailBox(FindObjectMirror("_STORE_BOX"));
    });
    int32_t box = -1;
    ASSERT_EQ(eOK, CreateMailBox("_STORE_BOX", 40, &box));
    const std::string bytes = Bytes(5000);
    struct Case {
        int32_t offset, origin;
        std::vector<std::tuple<int32_t, int32_t, uint32_t>> chunks;
    };
    const Case cases[] = {
        {100, 0, {{100, 0, 2048}, {2148, 0, 2048}, {4196, 0, 904}}},
        {-5, 2, {{-5, 2, 2048}, {0, 3, 2048}, {0, 3, 904}}},
        {7, 1, {{7, 1, 2048}, {0, 3, 2048}, {0, 3, 904}}},
        {INT32_MAX - 2048, 0, {{INT32_MAX - 2048, 0, 2048}, {INT32_MAX, 0, 2048}, {0, 3, 904}}},
    };
    StoreWriteRequest rq{};
    for (const Case& c : cases) {
        ASSERT_EQ(eOK, SlowWriteBinFile("NAME", c.offset, c.origin, bytes.data(), 5000, 1));
        for (uint32_t k = 0; k < c.chunks.size(); ++k) {
            int32_t type = 0, extra = 0, sender = 5;
            uint32_t size = 0;
            ASSERT_EQ(eOK, ReadMailBox(box, &type, &rq, &size, sizeof rq, 0, &extra, &sender));
            EXPECT_EQ(std::make_tuple(1, 2196u, -1, 0), std::make_tuple(type, size, extra, sender));
            EXPECT_EQ(c.chunks[k], std::make_tuple(rq.lOffset, rq.lOrigin, rq.lCount));
            EXPECT_STREQ("NAME", rq.szName);
            EXPECT_EQ(1, rq.bFlush);
            EXPECT_EQ(0, std::memcmp(rq.data, bytes.data() + 2048 * k, rq.lCount));
        }
    }
    StoreOpenRequest open{};
    ASSERT_EQ(eOK, SlowOpenBinFile("NAME", "dir/f.bin", "r+b"));
    ASSERT_EQ(eOK, SlowCloseBinFile("NAME"));
    for (int32_t expected_type : {2, 3}) {
        int32_t type = 0;
        uint32_t size = 0;
        ASSERT_EQ(eOK, ReadMailBox(box, &type, &open, &size, sizeof open, 0, nullptr, nullptr));
        EXPECT_EQ(std::make_tuple(expected_type, 399u), std::make_tuple(type, size));
        EXPECT_STREQ("NAME", open.szName);
    }
    EXPECT_STREQ("", open.szPath);  // the close request carries only the name
    const std::string path260(260, 'p');
    const std::vector<int32_t> refused = {SlowWriteBinFile(nullptr, 0, 0, "x", 1, 0),
                                          SlowWriteBinFile("N", 0, 0, nullptr, 1, 0),
                                          SlowWriteBinFile("N", 0, 3, "x", 1, 0),
                                          SlowWriteBinFile("N", 0, -1, "x", 1, 0),
                                          SlowOpenBinFile(nullptr, "p", "wb"),
                                          SlowOpenBinFile("N", nullptr, "wb"),
                                          SlowOpenBinFile("N", path260.c_str(), "wb"),
                                          SlowOpenBinFile("N", "p", nullptr),
                                          SlowOpenBinFile("N", "p", "w+bbbbbbbb"),
                                          SlowOpenBinFile("N", "p", "wq"),
                                          SlowCloseBinFile(nullptr)};
    for (int32_t code : refused)
        EXPECT_EQ(eINVALID_PARAM, code);
    EXPECT_EQ(eOK, SlowWriteBinFile("N", 0, 0, "x", 0, 0));  // nothing to post
    EXPECT_EQ(0u, kvtest::CountIn(box, &kerval::mailbox::BoxCore::queued));
    ASSERT_EQ(eOK, DeleteMailBox(box));
    const std::string output =
        kvtest::CaptureStdoutOf([&] { EXPECT_EQ(eNOK, SlowWriteBinFile("N", 0, 0, "y", 1, 0)); });
    EXPECT_THAT(output, HasSubstr("Destination Box dosn't exist"));
}

// A direct close of an object with queued store requests waits until the store task has
// performed them; a suspended store task makes sure they are still queued.
TEST_F(Store, DirectCloseLetsQueuedRequestsFinish)
{
    int32_t h = -1;
    ASSERT_EQ(eOK, OpenBinFile("QUEUED", "queued.bin", "wb", &h));
    const int32_t store = FindObjectMirror("_STORE_TASK");
    const int32_t box = FindObjectMirror("_STORE_BOX");
    kvtest::CaptureStdoutOf([&] { SuspendTask(store); });
    ASSERT_EQ(eOK, SlowWrite("QUEUED", 0, 0, Bytes(6000)));
    int32_t closed = -1;
    std::thread closer([&] { closed = CloseBinFile(h, 1); });
    // The closer's marker is queued behind the three chunks.
    ASSERT_TRUE(kvtest::WaitFor(
        [&] { return kvtest::CountIn(box, &kerval::mailbox::BoxCore::queued) == 4; }));
    ActiveTask(store, 1);
    closer.join();
    EXPECT_EQ(eOK, closed);
    EXPECT_NE(FILE_OBJECT, ObjectExist(h));
    EXPECT_EQ(Bytes(6000), kvtest::ReadBinaryFile("queued.bin"));
}

TEST_F(Store, FailuresReachTheTraceNamingTheSender)
{
    const std::string output = kvtest::CaptureStdoutOf([] {
        SlowWrite("NOFILE", 0, 0, "x");
        SlowOpenBinFile("M", "missing_dir/m.bin", "wb");
        SlowCloseBinFile("NOFILE");
        WaitForStoreRequests();
    });
    for (const char* line : {"Error Writing in file object NOFILE (Request from task INITJOB)",
                             "Error Opening file M (missing_dir/m.bin) (Request from task INITJOB)",
                             "Error Closing file NOFILE (Request from task INITJOB)"})
        EXPECT_THAT(output, HasSubstr(std::string("KERVAL-StoreTaskFunction : ") + line + " !\n"));
    EXPECT_EQ(0, StartService());  // already running: nothing more
    // A deleted store box is replaced by the task.
    ASSERT_EQ(eOK, DeleteMailBox(FindObjectMirror("_STORE_BOX")));
    ASSERT_TRUE(kvtest::WaitFor(
        [] { return ObjectExist(FindObjectMirror("_STORE_BOX")) == MAILBOX_OBJECT; }));
    ASSERT_EQ(eOK, SlowOpenBinFile("AGAIN", "again.bin", "wb"));
    ASSERT_EQ(eOK, SlowWrite("AGAIN", 0, 0, "again"));
    ASSERT_EQ(eOK, SlowCloseBinFile("AGAIN"));
    ASSERT_EQ(eOK, WaitForStoreRequests());
    EXPECT_EQ("again", kvtest::ReadBinaryFile("again.bin"));
}

}  // namespace
