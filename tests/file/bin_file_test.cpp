// Binary file objects used directly and through the store task's requests.
#include "kerval/file/store_requests.h"
#include "tests/file/file_support.h"

namespace {

using BinFile = KervalTest;

int32_t Open(const char* name, const char* path, const char* mode) {
    int32_t h = -1;
    return OpenBinFile(name, path, mode, &h) == eOK ? h : -1;
}

std::string Read(int32_t h, int32_t offset, int32_t origin, uint32_t size) {
    std::string out(size, '\0');
    return ReadBinFile(h, offset, origin, out.data(), size) == eOK ? out : "<failed>";
}

int32_t Write(int32_t h, int32_t offset, int32_t origin, const std::string& b, uint8_t flush = 0) {
    return WriteBinFile(h, offset, origin, b.data(), uint32_t(b.size()), flush);
}

int32_t SlowWrite(const char* name, int32_t offset, int32_t origin, const std::string& b) {
    return SlowWriteBinFile(name, offset, origin, b.data(), uint32_t(b.size()), 0);
}

TEST_F(BinFile, WritesReadsClosesAndFailsThroughEveryOriginAndBeyondTwoGibibytes) {
    const int32_t h = Open("LOG", "log.bin", "w+b");
    EXPECT_EQ(h, HandleFromFile("log.bin"));
    EXPECT_STREQ("log.bin", FileNameFromHandle(h));
    EXPECT_EQ(eOK, Write(h, 0, 0, Bytes(5000)));
    EXPECT_EQ(eOK, Write(h, 10, 2, "end"));  // 10 zero bytes, then "end"
    EXPECT_EQ(Bytes(5000).substr(100, 30), Read(h, 100, 0, 30));
    EXPECT_EQ(Bytes(5000).substr(130, 10), Read(h, 0, 1, 10));  // read after read
    EXPECT_EQ(eOK, Write(h, 0, 1, "mid"));                      // write after read
    EXPECT_EQ(Bytes(5000).substr(143, 5), Read(h, 0, 1, 5));    // read after write
    EXPECT_EQ(std::string(10, '\0') + "end", Read(h, -13, 2, 13));
    EXPECT_EQ(eOK, CloseBinFile(h, 0));  // kept: the next access reopens it in "r+b"
    EXPECT_EQ(eOK, Write(h, 0, 0, "head", 1));
    EXPECT_EQ("head" + Bytes(5000).substr(4, 136) + "mid", Read(h, 0, 0, 143));
    EXPECT_EQ(eOK, CloseBinFile(h, 1));
    EXPECT_STREQ("unknown file", FileNameFromHandle(h));
    EXPECT_EQ(-1, HandleFromFile("log.bin"));
    std::string expected = Bytes(5000) + std::string(10, '\0') + "end";
    EXPECT_EQ(expected.replace(0, 4, "head").replace(140, 3, "mid"), ReadBinaryFile("log.bin"));
    // Opening an open path reuses its object with the new mode (flushed, read-only now).
    const int32_t same = Open("FIRST", "same.bin", "wb");
    EXPECT_EQ(eOK, Write(same, 0, 0, "abc"));
    EXPECT_EQ(same, Open("SECOND", "same.bin", "rb"));
    EXPECT_EQ("abc", Read(same, 0, 0, 3));
    EXPECT_EQ(eNOK, Write(same, 0, 0, "x"));
    // Positions beyond 2 GiB are reached from the current position and from the end.
    const int32_t big = Open("BIG", "big.bin", "w+b");
    ASSERT_EQ(eOK, Write(big, INT32_MAX, 0, "a"));  // ends at 2^31
    ASSERT_EQ(eOK, Write(big, 16, 1, "b"));         // at 2^31 + 16
    ASSERT_EQ(eOK, Write(big, 8, 2, "c"));          // at 2^31 + 25
    EXPECT_EQ(std::string("a") + std::string(16, '\0') + "b", Read(big, -27, 2, 18));
    EXPECT_EQ("c", Read(big, 8, 1, 1));
    EXPECT_EQ(eOK, CloseBinFile(big, 1));
    EXPECT_EQ(uintmax_t{1} << 31 | 26, fs::file_size("big.bin"));
    // Failures delete the object: a read past the end, a seek before the start, the reopen of a
    // removed file (answered eINVALID_HANDLE), a flushing write and a close that lose bytes.
    char sink[4000];
    for (int c = 0; c < (fs::exists("/dev/full") ? 5 : 3); ++c) {
        const int32_t f = Open("F", c < 3 ? "f.bin" : "/dev/full", c < 3 ? "w+b" : "wb");
        ASSERT_EQ(eOK, Write(f, 0, 0, Bytes(100), c < 3));
        if (c == 2) {
            CloseBinFile(f, 0);
            fs::remove("f.bin");
        }
        const int32_t code = c == 0   ? ReadBinFile(f, 0, 0, sink, 4000)
                             : c == 1 ? ReadBinFile(f, -1, 0, sink, 1)
                             : c == 2 ? ReadBinFile(f, 0, 0, sink, 1)
                             : c == 3 ? Write(f, 0, 0, "x", 1)
                                      : CloseBinFile(f, 1);
        EXPECT_EQ(c == 2 ? eINVALID_HANDLE : eNOK, code) << c;
        EXPECT_STREQ("unknown file", FileNameFromHandle(f)) << c;
        EXPECT_EQ(-1, FindObjectMirror("F")) << c;
    }
}

// The store task replaces a deleted box, keeps every byte in order, traces its failures, and
// performs what was queued before a direct close.
TEST_F(BinFile, SlowWritesOfEverySizeAndOriginLandInOrder) {
    ASSERT_EQ(eOK, DeleteMailBox(FindObjectMirror("_STORE_BOX")));
    ASSERT_TRUE(WaitFor([] { return FindObjectMirror("_STORE_BOX") >= 0; }));
    const std::vector<std::tuple<int32_t, int32_t, size_t>> writes = {
        {100, 0, 5000}, {0, 1, 2048},   {7, 1, 2049}, {0, 2, 1},      {3, 2, 4097},
        {0, 0, 2047},   {50, 0, 70000}, {0, 1, 6144}, {-10, 2, 3000}, {-1, 1, 1}};
    BeginCaptureStdout();  // full-box lines
    ASSERT_EQ(eOK, SlowOpenBinFile("S", "slow.bin", "w+b"));
    FileModel expected;
    for (const auto& [offset, origin, size] : writes) {
        const std::string bytes = Bytes(size, expected.bytes.size());
        ASSERT_EQ(eOK, SlowWrite("S", offset, origin, bytes)) << size;
        expected.Write(offset, origin, bytes);
    }
    ASSERT_EQ(eOK, SlowCloseBinFile("S"));
    SlowWrite("NOFILE", 0, 0, "x");
    SlowOpenBinFile("M", "missing_dir/m.bin", "wb");
    SlowCloseBinFile("NOFILE");
    ASSERT_EQ(eOK, kerval::file::WaitForStoreRequests());
    const std::string output = EndCaptureStdout();
    for (const char* line : {"Error Writing in file object NOFILE (Request from task INITJOB)",
                             "Error Opening file M (missing_dir/m.bin) (Request from task INITJOB)",
                             "Error Closing file NOFILE (Request from task INITJOB)"})
        EXPECT_THAT(output, HasSubstr(std::string("KERVAL-StoreTaskFunction : ") + line + " !\n"));
    EXPECT_THAT(output, Not(HasSubstr("(S)")));
    EXPECT_TRUE(expected.bytes == ReadBinaryFile("slow.bin"));
    // A direct close of an object with queued requests lets the store task perform them first.
    const int32_t h = Open("QUEUED", "queued.bin", "wb");
    const int32_t store = FindObjectMirror("_STORE_TASK");
    CaptureStdoutOf([&] { SuspendTask(store); });
    ASSERT_EQ(eOK, SlowWrite("QUEUED", 0, 0, Bytes(6000)));
    int32_t closed = -1;
    std::thread closer([&] { closed = CloseBinFile(h, 1); });
    ASSERT_TRUE(WaitFor([] {
        return CountIn(FindObjectMirror("_STORE_BOX"), &kerval::mailbox::BoxCore::queued) == 4;
    }));  // the closer's marker
    ActiveTask(store, 1);
    closer.join();
    EXPECT_EQ(std::make_pair(int32_t{eOK}, 0), std::make_pair(closed, ObjectExist(h)));
    EXPECT_EQ(Bytes(6000), ReadBinaryFile("queued.bin"));
}

// Without a store task the requests stay in a box of that name and can be inspected.
TEST_F(BinFile, ArgumentsAreCheckedFirstAndSlowWritesPostContiguousChunks) {
    CaptureStdoutOf([] {
        DeleteTask(FindObjectMirror("_STORE_TASK"));
        DeleteMailBox(FindObjectMirror("_STORE_BOX"));
    });
    int32_t box = -1, out = 77;
    ASSERT_EQ(eOK, CreateMailBox("_STORE_BOX", 40, &box));
    ASSERT_EQ(eOK, CreateMailBox("FILETMP", 1, &out));  // no longer blocks every open
    const int32_t h = Open("KEPT", "kept.bin", "wb");
    ASSERT_GE(h, 0);
    char buf[4] = {};
    for (int32_t bad : {-1, 0, box, 9999})
        EXPECT_EQ(
            std::make_tuple(eINVALID_HANDLE, eINVALID_HANDLE, eNOK, std::string("unknown file")),
            std::make_tuple(ReadBinFile(bad, 0, 0, buf, 1), WriteBinFile(bad, 0, 0, buf, 1, 0),
                            CloseBinFile(bad, 1), std::string(FileNameFromHandle(bad))))
            << bad;
    const std::string dir(200, 'd');  // a path cut to 262 or 259 characters names a file in it
    fs::create_directory(dir);
    const std::string long_path = dir + "/" + std::string(62, 'f');
    std::vector<std::vector<const char*>> refused = {
        {nullptr, "a.bin", "wb"}, {"A", nullptr, "wb"}, {"A", long_path.c_str(), "wb"}};
    for (const char* mode :
         {"w+bbbbbbbb", "", "x", "bw", "w++", "wbt", "wx", "r, ccs=UTF-8", (const char*)nullptr})
        refused.push_back({"A", "a.bin", mode});
    out = 77;
    for (const auto& r : refused) {
        EXPECT_EQ(eINVALID_PARAM, OpenBinFile(r[0], r[1], r[2], &out)) << (r[2] ? r[2] : "-");
        EXPECT_EQ(eINVALID_PARAM, SlowOpenBinFile(r[0], r[1], r[2])) << (r[2] ? r[2] : "-");
    }
    for (int32_t code :
         {ReadBinFile(h, 0, -1, buf, 1), WriteBinFile(h, 0, 3, buf, 1, 0),
          ReadBinFile(h, 0, 0, nullptr, 0), WriteBinFile(h, 0, 0, nullptr, 0, 0),
          SlowWriteBinFile(nullptr, 0, 0, "x", 1, 0), SlowWriteBinFile("N", 0, 0, nullptr, 1, 0),
          SlowWriteBinFile("N", 0, 3, "x", 1, 0), SlowCloseBinFile(nullptr),
          SlowOpenBinFile("N", std::string(260, 'p').c_str(), "wb")})
        EXPECT_EQ(eINVALID_PARAM, code);
    EXPECT_EQ(eOBJECT_EXIST, OpenBinFile("KEPT", "new.bin", "wb", &out));  // checked first
    EXPECT_EQ(eNOK, OpenBinFile("M", "missing_dir/m.bin", "wb", &out));
    EXPECT_EQ(eOK, SlowWriteBinFile("N", 0, 0, "x", 0, 0));  // nothing to post
    EXPECT_EQ(std::make_tuple(77, -1, FILE_OBJECT, 0u),      // refusals change nothing
              std::make_tuple(out, HandleFromFile(nullptr), ObjectExist(h),
                              CountIn(box, &kerval::mailbox::BoxCore::queued)));
    for (const char* absent : {"a.bin", "new.bin", "missing_dir"})
        EXPECT_FALSE(fs::exists(absent)) << absent;
    EXPECT_TRUE(fs::is_empty(dir));

    // Chunk 0 goes where the caller asked, each later one right after the previous one.
    const std::string bytes = Bytes(5000);
    const std::vector<std::vector<std::tuple<int32_t, int32_t, uint32_t>>> cases = {
        {{100, 0, 2048}, {2148, 0, 2048}, {4196, 0, 904}},
        {{-5, 2, 2048}, {0, 3, 2048}, {0, 3, 904}},
        {{7, 1, 2048}, {0, 3, 2048}, {0, 3, 904}},
        {{INT32_MAX - 2048, 0, 2048}, {INT32_MAX, 0, 2048}, {0, 3, 904}}};
    kerval::file::StoreWriteRequest rq{};
    uint32_t size = 0;
    for (const auto& chunks : cases) {
        ASSERT_EQ(eOK, SlowWrite("NAME", std::get<0>(chunks[0]), std::get<1>(chunks[0]), bytes));
        for (const auto& chunk : chunks) {
            ASSERT_EQ(eOK, ReadMailBox(box, nullptr, &rq, &size, sizeof rq, 0, nullptr, nullptr));
            EXPECT_EQ(chunk, std::make_tuple(rq.lOffset, rq.lOrigin, rq.lCount));
        }
    }
    ASSERT_EQ(eOK, DeleteMailBox(box));
    // The first failed post is the answer and ends the posting.
    const std::string output =
        CaptureStdoutOf([&] { EXPECT_EQ(eNOK, SlowWrite("N", 0, 0, bytes)); });
    EXPECT_THAT(output, HasSubstr("Destination Box dosn't exist"));
    EXPECT_EQ(output.find("Destination Box"), output.rfind("Destination Box"));
    EXPECT_EQ(eOK, CloseBinFile(h, 0));  // an open file would keep the scratch folder on Windows
}

}  // namespace
