// Binary file objects used directly: open, read, write, close, look-ups and refused arguments.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "kerval/kerval.h"
#include "tests/file/file_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/report_fixtures.h"

namespace {

namespace fs = std::filesystem;
using kvtest::Bytes;
using kvtest::ReadBinaryFile;

using BinFile = kvtest::KervalTest;

char g_sink[8192];

int32_t Open(const char* name, const char* path, const char* mode)
{
    int32_t h = -1;
    return OpenBinFile(name, path, mode, &h) == eOK ? h : -1;
}

std::string Read(int32_t h, int32_t offset, int32_t origin, uint32_t size)
{
    std::string out(size, '\0');
    return ReadBinFile(h, offset, origin, out.data(), size) == eOK ? out : "<failed>";
}

int32_t Write(int32_t h, int32_t offset, int32_t origin, const std::string& bytes,
              uint8_t flush = 0)
{
    return WriteBinFile(h, offset, origin, bytes.data(), static_cast<uint32_t>(bytes.size()),
                        flush);
}

TEST_F(BinFile, WritesReadsAndClosesThroughEveryOrigin)
{
    const int32_t h = Open("LOG", "log.bin", "w+b");
    ASSERT_GE(h, 0);
    EXPECT_EQ(h, HandleFromFile("log.bin"));
    EXPECT_EQ(h, FindObjectMirror("LOG"));
    EXPECT_STREQ("log.bin", FileNameFromHandle(h));
    EXPECT_EQ(eOK, Write(h, 0, 0, Bytes(5000)));
    EXPECT_EQ(eOK, Write(h, 10, 2, "end"));  // 10 zero bytes, then "end"
    EXPECT_EQ(Bytes(5000).substr(100, 30), Read(h, 100, 0, 30));
    EXPECT_EQ(Bytes(5000).substr(130, 10), Read(h, 0, 1, 10));  // read after read
    EXPECT_EQ(eOK, Write(h, 0, 1, "mid"));                      // write after read
    EXPECT_EQ(Bytes(5000).substr(143, 5), Read(h, 0, 1, 5));    // read after write
    EXPECT_EQ(std::string(10, '\0') + "end", Read(h, -13, 2, 13));
    EXPECT_EQ(eOK, CloseBinFile(h, 0));  // kept: the next access reopens it in "r+b"
    EXPECT_EQ(h, HandleFromFile("log.bin"));
    EXPECT_EQ(eOK, Write(h, 0, 0, "head", 1));
    EXPECT_EQ("head" + Bytes(5000).substr(4, 136) + "mid", Read(h, 0, 0, 143));
    EXPECT_EQ(eOK, CloseBinFile(h, 1));
    EXPECT_STREQ("unknown file", FileNameFromHandle(h));
    EXPECT_EQ(-1, HandleFromFile("log.bin"));
    EXPECT_EQ(-1, FindObjectMirror("LOG"));
    std::string expected = Bytes(5000) + std::string(10, '\0') + "end";
    expected.replace(0, 4, "head").replace(140, 3, "mid");
    EXPECT_EQ(expected, ReadBinaryFile("log.bin"));
}

TEST_F(BinFile, OpeningAnOpenPathReusesItsObjectWithTheNewMode)
{
    const int32_t h = Open("FIRST", "same.bin", "wb");
    ASSERT_GE(h, 0);
    EXPECT_EQ(eOK, Write(h, 0, 0, "abc"));
    EXPECT_EQ(h, Open("SECOND", "same.bin", "rb"));  // flushed by the reopen, read-only now
    EXPECT_EQ(-1, FindObjectMirror("SECOND"));
    EXPECT_EQ("abc", Read(h, 0, 0, 3));
    EXPECT_EQ(eNOK, Write(h, 0, 0, "x"));  // a read-only stream: the object goes
    EXPECT_NE(FILE_OBJECT, ObjectExist(h));
    EXPECT_EQ("abc", ReadBinaryFile("same.bin"));
    EXPECT_GE(Open("THIRD", "other.bin", "ab+"), 0);
    const int32_t appending = HandleFromFile("other.bin");
    EXPECT_EQ(eOK, Write(appending, 0, 0, "12345"));
    EXPECT_EQ(eOK, Write(appending, 0, 0, "67"));  // append mode writes at the end anyway
    EXPECT_EQ("1234567", Read(appending, 0, 0, 7));
}

// Cases: a read past the end, a seek before the start, the reopen of a removed file for a read
// (eINVALID_HANDLE) and for a write. Each failure deletes the object.
TEST_F(BinFile, FailedTransfersDeleteTheObject)
{
    for (int c = 0; c < 4; ++c) {
        const int32_t h = Open("F", "f.bin", "w+b");
        ASSERT_EQ(eOK, Write(h, 0, 0, Bytes(100), 1));
        if (c >= 2) {
            CloseBinFile(h, 0);
            fs::remove("f.bin");
        }
        const int32_t code = c == 0   ? ReadBinFile(h, 0, 0, g_sink, 4000)
                             : c == 1 ? ReadBinFile(h, -1, 0, g_sink, 1)
                             : c == 2 ? ReadBinFile(h, 0, 0, g_sink, 1)
                                      : WriteBinFile(h, 0, 0, g_sink, 1, 0);
        EXPECT_EQ(c == 2 ? eINVALID_HANDLE : eNOK, code) << c;
        EXPECT_STREQ("unknown file", FileNameFromHandle(h)) << c;
        EXPECT_EQ(-1, HandleFromFile("f.bin")) << c;
    }
}

TEST_F(BinFile, BadHandlesAndArgumentsAreRefusedAndCreateNothing)
{
    int32_t box = -1;
    ASSERT_EQ(eOK, CreateMailBox("FILETMP", 1, &box));  // no longer blocks every open
    const int32_t h = Open("KEPT", "kept.bin", "wb");
    ASSERT_GE(h, 0);
    char buf[4] = {};
    for (int32_t bad : {-1, 0, box, 9999}) {
        EXPECT_EQ(eINVALID_HANDLE, ReadBinFile(bad, 0, 0, buf, 1)) << bad;
        EXPECT_EQ(eINVALID_HANDLE, WriteBinFile(bad, 0, 0, buf, 1, 0)) << bad;
        EXPECT_EQ(eNOK, CloseBinFile(bad, 1)) << bad;
        EXPECT_STREQ("unknown file", FileNameFromHandle(bad)) << bad;
    }
    for (int32_t origin : {-1, 3}) {
        EXPECT_EQ(eINVALID_PARAM, ReadBinFile(h, 0, origin, buf, 1));
        EXPECT_EQ(eINVALID_PARAM, WriteBinFile(h, 0, origin, buf, 1, 0));
    }
    EXPECT_EQ(eINVALID_PARAM, ReadBinFile(h, 0, 0, nullptr, 0));
    EXPECT_EQ(eINVALID_PARAM, WriteBinFile(h, 0, 0, nullptr, 0, 0));
    EXPECT_EQ(FILE_OBJECT, ObjectExist(h));  // refusals change nothing
    EXPECT_EQ(-1, HandleFromFile(nullptr));
    EXPECT_EQ(-1, HandleFromFile("missing.bin"));

    const std::string dir(200, 'd');  // a path cut to 262 characters would name a file in it
    fs::create_directory(dir);
    const std::string long_path = dir + "/" + std::string(62, 'f');
    const std::vector<std::vector<const char*>> refused = {
        {nullptr, "a.bin", "wb"},     {"A", nullptr, "wb"},
        {"A", "a.bin", nullptr},      {"A", long_path.c_str(), "wb"},
        {"A", "a.bin", "w+bbbbbbbb"}, {"A", "a.bin", ""},
        {"A", "a.bin", "x"},          {"A", "a.bin", "bw"},
        {"A", "a.bin", "w++"},        {"A", "a.bin", "wbt"},
        {"A", "a.bin", "wx"},         {"A", "a.bin", "r, ccs=UTF-8"}};
    for (const auto& r : refused) {
        int32_t out = 77;
        EXPECT_EQ(eINVALID_PARAM, OpenBinFile(r[0], r[1], r[2], &out)) << (r[2] ? r[2] : "null");
        EXPECT_EQ(77, out);
    }
    int32_t out = 77;
    EXPECT_EQ(eOBJECT_EXIST, OpenBinFile("KEPT", "new.bin", "wb", &out));  // checked first
    EXPECT_EQ(eNOK, OpenBinFile("", "new.bin", "wb", &out));
    EXPECT_EQ(eNOK, OpenBinFile("M", "missing_dir/m.bin", "wb", &out));
    EXPECT_EQ(77, out);
    for (const char* absent : {"a.bin", "new.bin", "missing_dir"})
        EXPECT_FALSE(fs::exists(absent)) << absent;
    EXPECT_TRUE(fs::is_empty(dir));
}

// Positions beyond 2 GiB are reached from the current position and from the end.
TEST_F(BinFile, OffsetsBeyondTwoGibibytes)
{
    const int32_t h = Open("BIG", "big.bin", "w+b");
    ASSERT_GE(h, 0);
    ASSERT_EQ(eOK, Write(h, INT32_MAX, 0, "a"));  // ends at 2^31
    ASSERT_EQ(eOK, Write(h, 16, 1, "b"));         // at 2^31 + 16
    ASSERT_EQ(eOK, Write(h, 8, 2, "c"));          // at 2^31 + 25
    EXPECT_EQ("a", Read(h, -27, 2, 1));
    EXPECT_EQ("b", Read(h, 16, 1, 1));
    EXPECT_EQ("c", Read(h, -1, 2, 1));
    EXPECT_EQ(eOK, CloseBinFile(h, 1));
    EXPECT_EQ(uintmax_t{1} << 31 | 26, fs::file_size("big.bin"));
}

// Bytes that never reach the disk are a failure: a flushing write, and the close of a stream
// whose buffer cannot be written.
TEST_F(BinFile, LostBytesAreReported)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "needs a device that refuses writes";
    int32_t h = Open("FULL", "/dev/full", "wb");
    ASSERT_GE(h, 0);
    EXPECT_EQ(eNOK, Write(h, 0, 0, "x", 1));
    EXPECT_NE(FILE_OBJECT, ObjectExist(h));
    h = Open("FULL", "/dev/full", "wb");
    EXPECT_EQ(eOK, Write(h, 0, 0, "x"));  // still in the buffer
    EXPECT_EQ(eNOK, CloseBinFile(h, 1));
    EXPECT_NE(FILE_OBJECT, ObjectExist(h));
}

}  // namespace
