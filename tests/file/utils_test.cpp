#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
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
    std::string bytes;
    for (size_t i = 0; i < size; ++i)
        bytes += "\r\n\x1A\0a\xE9\nz"[(i * 7 + i / 8) % 8];
    return bytes;
}

class FileUtils : public kvtest::TempDirTest {};

TEST_F(FileUtils, CopyExistAndRenameKeepEveryByteOrAnswerFailure)
{
    for (size_t size : {0, 1, 1023, 1024, 1025, 5000}) {
        WriteBinaryFile("source.bin", Content(size));
        WriteBinaryFile("copy.bin", std::string(3000, 'x'));
        ASSERT_EQ(eOK, FileCopy("source.bin", "copy.bin")) << size;
        EXPECT_EQ(Content(size), ReadBinaryFile("copy.bin")) << size;
        EXPECT_EQ(static_cast<int32_t>(size), FileExist("copy.bin"));
    }
    for (const char* onto_itself : {"source.bin", "sub/../source.bin"}) {
        fs::create_directory("sub");
        EXPECT_EQ(eOK, FileCopy("source.bin", onto_itself));
        EXPECT_EQ(Content(5000), ReadBinaryFile("source.bin")) << onto_itself;
    }
    EXPECT_EQ(eNOK, FileCopy("missing.bin", "dest.bin"));
    EXPECT_EQ(eNOK, FileCopy("source.bin", "no_such_dir/dest.bin"));
    EXPECT_FALSE(fs::exists("dest.bin"));
    EXPECT_EQ(-1, FileExist("missing.bin"));
    EXPECT_EQ(-1, FileExist(nullptr));
    EXPECT_NE(-1, FileExist("sub"));
    EXPECT_EQ(0, RenameFile("copy.bin", "new.bin"));
    EXPECT_EQ(Content(5000), ReadBinaryFile("new.bin"));
    EXPECT_EQ(-1, RenameFile("copy.bin", "other.bin"));
    EXPECT_FALSE(fs::exists("copy.bin") || fs::exists("other.bin"));
}

// A file changed at 02:30 local time in a zone three hours east of UTC: the UTC date is the
// day before. The day fields are not written; a path without status gives an all-zero date.
TEST_F(FileUtils, DateIsTheModificationTimeInUtc)
{
    ASSERT_TRUE(kerval::platform::set_time_zone("XST-3"));
    using namespace std::chrono;
    WriteBinaryFile("dated.bin", "x");
    const auto at = [](sys_seconds when) {
        fs::last_write_time("dated.bin", file_clock::from_sys(when));
    };
    at(sys_days{year{2001} / 5 / 14} + hours{23} + minutes{30} + seconds{17});
    MsgDate date{1, 1, 1, 1, 1, 1, 77, 555, 9};
    EXPECT_EQ(&date, FileDate("dated.bin", &date));
    const MsgDate expected{2001, 5, 14, 23, 30, 17, 0, 555, 9}, zero{};
    EXPECT_EQ(0, std::memcmp(&expected, &date, sizeof date));
    at(sys_days{year{2075} / 12 / 31} + hours{1});
    FileDate("dated.bin", &date);
    EXPECT_EQ(2075123101,
              date.nYear * 1000000 + date.nMonth * 10000 + date.nDay * 100 + date.nHour);
    EXPECT_EQ(&date, FileDate("missing.bin", &date));
    EXPECT_EQ(0, std::memcmp(&zero, &date, sizeof date));
    EXPECT_EQ(nullptr, FileDate("missing.bin", nullptr));
}

// A null path is an internal error: reported as fatal (the reporting thread stays suspended),
// and no file is touched.
std::atomic<int> g_questions{0};
bool AnswerNo(const char*, const char*)
{
    return ++g_questions, false;
}

TEST_F(FileUtils, NullPathIsReportedAndTouchesNoFile)
{
    kerval::platform::seams::set_message_box(&AnswerNo);
    WriteBinaryFile("source.bin", "data");
    kvtest::BeginCaptureStdout();
    for (auto call :
         {+[] { FileCopy("source.bin", nullptr); }, +[] { RenameFile(nullptr, "source.bin"); }}) {
        const int asked = g_questions.load();
        std::thread(call).detach();
        while (g_questions.load() == asked)
            kerval::platform::sleep_ms(5);
    }
    kerval::platform::sleep_ms(50);
    const std::string out = kvtest::EndCaptureStdout();
    EXPECT_NE(std::string::npos, out.find("Null pointer !")) << out;
    EXPECT_EQ("data", ReadBinaryFile("source.bin"));
    for (const auto& entry : fs::directory_iterator("."))
        EXPECT_TRUE(entry.path().filename() == "source.bin" ||
                    entry.path().filename().string().rfind("TRACE.", 0) == 0);
}

}  // namespace
