#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "kerval/kerval.h"
#include "kerval/platform/platform.h"
#include "tests/support/fixtures.h"
#include "tests/support/report_fixtures.h"

namespace {

namespace fs = std::filesystem;
using kvtest::ReadBinaryFile;
using kvtest::WriteBinaryFile;

// Bytes that text-mode streams would alter: line ends, Ctrl-Z, NUL, high bytes.
std::string Content(size_t size)
{
    std::string bytes(size, '\0');
    const char pattern[] = {'\r', '\n', 0x1A, 0, 'a', static_cast<char>(0xE9), '\n', 'z'};
    for (size_t i = 0; i < size; ++i)
        bytes[i] = pattern[(i * 7 + i / 8) % sizeof pattern];
    return bytes;
}

class FileUtils : public kvtest::TempDirTest {};

TEST_F(FileUtils, CopyReplacesTheDestinationWithEveryByteOfTheSource)
{
    for (size_t size : {0, 1, 1023, 1024, 1025, 5000}) {
        const std::string bytes = Content(size);
        WriteBinaryFile("source.bin", bytes);
        WriteBinaryFile("copy.bin", std::string(3000, 'x'));
        ASSERT_EQ(eOK, FileCopy("source.bin", "copy.bin")) << size;
        EXPECT_EQ(bytes, ReadBinaryFile("copy.bin")) << size;
        EXPECT_EQ(static_cast<int32_t>(size), FileExist("copy.bin"));
    }
}

TEST_F(FileUtils, CopyOntoItselfLeavesTheFileWhole)
{
    const std::string bytes = Content(2048);
    WriteBinaryFile("self.bin", bytes);
    EXPECT_EQ(eOK, FileCopy("self.bin", "self.bin"));
    EXPECT_EQ(bytes, ReadBinaryFile("self.bin"));
    fs::create_directory("sub");
    EXPECT_EQ(eOK, FileCopy("self.bin", "sub/../self.bin"));
    EXPECT_EQ(bytes, ReadBinaryFile("self.bin"));
}

TEST_F(FileUtils, CopyFailsWhenEitherSideCannotBeOpened)
{
    EXPECT_EQ(eNOK, FileCopy("missing.bin", "dest.bin"));
    EXPECT_FALSE(fs::exists("dest.bin"));
    WriteBinaryFile("source.bin", "data");
    EXPECT_EQ(eNOK, FileCopy("source.bin", "no_such_dir/dest.bin"));
}

TEST_F(FileUtils, ExistAnswersSizeOrMinusOne)
{
    EXPECT_EQ(-1, FileExist("missing.bin"));
    EXPECT_EQ(-1, FileExist(nullptr));
    WriteBinaryFile("empty.bin", "");
    EXPECT_EQ(0, FileExist("empty.bin"));
    WriteBinaryFile("some.bin", Content(777));
    EXPECT_EQ(777, FileExist("some.bin"));
    fs::create_directory("folder");
    EXPECT_NE(-1, FileExist("folder"));
}

TEST_F(FileUtils, RenameMovesTheFileOrAnswersMinusOne)
{
    WriteBinaryFile("old.bin", "content");
    EXPECT_EQ(0, RenameFile("old.bin", "new.bin"));
    EXPECT_FALSE(fs::exists("old.bin"));
    EXPECT_EQ("content", ReadBinaryFile("new.bin"));
    EXPECT_EQ(-1, RenameFile("old.bin", "other.bin"));
    EXPECT_FALSE(fs::exists("other.bin"));
}

void SetModificationTime(const char* path, std::chrono::sys_seconds when)
{
    fs::last_write_time(path, std::chrono::file_clock::from_sys(when));
}

// A file changed at 02:30 local time in a zone three hours east of UTC: the UTC date is the
// day before. The day fields are not written.
TEST_F(FileUtils, DateIsTheModificationTimeInUtc)
{
    ASSERT_TRUE(kerval::platform::set_time_zone("XST-3"));
    using namespace std::chrono;
    WriteBinaryFile("dated.bin", "x");
    SetModificationTime("dated.bin",
                        sys_days{year{2001} / 5 / 14} + hours{23} + minutes{30} + seconds{17});
    MsgDate date{1, 1, 1, 1, 1, 1, 77, 555, 9};
    EXPECT_EQ(&date, FileDate("dated.bin", &date));
    const MsgDate expected{2001, 5, 14, 23, 30, 17, 0, 555, 9};
    EXPECT_EQ(0, memcmp(&expected, &date, sizeof date));

    SetModificationTime("dated.bin", sys_days{year{2075} / 12 / 31} + hours{1});
    FileDate("dated.bin", &date);
    EXPECT_EQ(2075, date.nYear);
    EXPECT_EQ(12, date.nMonth);
    EXPECT_EQ(31, date.nDay);
    EXPECT_EQ(1, date.nHour);
}

TEST_F(FileUtils, DateOfAPathWithoutStatusIsAllZero)
{
    MsgDate date{1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(&date, FileDate("missing.bin", &date));
    const MsgDate zero{};
    EXPECT_EQ(0, memcmp(&zero, &date, sizeof date));
    EXPECT_FALSE(IsDate(&date));
    EXPECT_EQ(nullptr, FileDate("missing.bin", nullptr));
}

// A null path is an internal error: reported as fatal (the reporting thread stays suspended),
// and no file is touched.
std::atomic<int> g_questions{0};
bool AnswerNo(const char*, const char*)
{
    g_questions.fetch_add(1);
    return false;
}

TEST_F(FileUtils, NullPathIsReportedAndTouchesNoFile)
{
    kerval::platform::seams::set_message_box(&AnswerNo);
    WriteBinaryFile("source.bin", "data");
    kvtest::BeginCaptureStdout();
    std::thread([] { FileCopy("source.bin", nullptr); }).detach();
    while (g_questions.load() < 1)
        kerval::platform::sleep_ms(5);
    std::thread([] { RenameFile(nullptr, "source.bin"); }).detach();
    while (g_questions.load() < 2)
        kerval::platform::sleep_ms(5);
    kerval::platform::sleep_ms(50);
    const std::string out = kvtest::EndCaptureStdout();
    EXPECT_NE(std::string::npos, out.find("Null pointer !")) << out;
    EXPECT_EQ("data", ReadBinaryFile("source.bin"));
    for (const auto& entry : fs::directory_iterator(".")) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "source.bin" || name.rfind("TRACE.", 0) == 0) << name;
    }
}

}  // namespace
