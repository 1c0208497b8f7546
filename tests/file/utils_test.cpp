// File utilities: copy, existence, rename, modification date, and the report of a null path.
#include "tests/file/file_support.h"

namespace {

using FileUtils = TempDirTest;

TEST_F(FileUtils, CopyExistAndRenameKeepEveryByteOrAnswerFailure) {
    for (size_t size : {0, 1, 1023, 1024, 1025, 5000}) {
        WriteBinaryFile("source.bin", Bytes(size));
        WriteBinaryFile("copy.bin", std::string(3000, 'x'));
        ASSERT_EQ(eOK, FileCopy("source.bin", "copy.bin")) << size;
        EXPECT_EQ(Bytes(size), ReadBinaryFile("copy.bin")) << size;
        EXPECT_EQ(static_cast<int32_t>(size), FileExist("copy.bin"));
    }
    fs::create_directory("sub");
    EXPECT_EQ(eOK, FileCopy("source.bin", "source.bin"));
    EXPECT_EQ(eOK, FileCopy("source.bin", "sub/../source.bin"));
    EXPECT_EQ(Bytes(5000), ReadBinaryFile("source.bin"));  // not emptied by a copy onto itself
    EXPECT_EQ(eNOK, FileCopy("missing.bin", "dest.bin"));
    EXPECT_EQ(eNOK, FileCopy("source.bin", "no_such_dir/dest.bin"));
    EXPECT_FALSE(fs::exists("dest.bin"));
    EXPECT_EQ(std::make_pair(-1, -1), std::make_pair(FileExist("missing.bin"), FileExist(nullptr)));
    EXPECT_NE(-1, FileExist("sub"));
    EXPECT_EQ(0, RenameFile("copy.bin", "new.bin"));
    EXPECT_EQ(Bytes(5000), ReadBinaryFile("new.bin"));
    EXPECT_EQ(-1, RenameFile("copy.bin", "other.bin"));
    EXPECT_FALSE(fs::exists("copy.bin") || fs::exists("other.bin"));
}

// In a zone three hours east of UTC, a file changed at 02:30 local time has the UTC date of the
// day before. The day fields are not written; a path without status gives an all-zero date.
TEST_F(FileUtils, DateIsTheModificationTimeInUtc) {
    ASSERT_TRUE(kp::set_time_zone("XST-3"));
    using namespace std::chrono;
    WriteBinaryFile("dated.bin", "x");
    const std::pair<sys_seconds, MsgDate> cases[] = {
        {sys_days{year{2001} / 5 / 14} + hours{23} + minutes{30} + seconds{17},
         {2001, 5, 14, 23, 30, 17, 0, 555, 9}},
        {sys_days{year{2075} / 12 / 31} + hours{1}, {2075, 12, 31, 1, 0, 0, 0, 555, 9}}};
    MsgDate date{}, zero{};
    for (const auto& [when, expected] : cases) {
        fs::last_write_time("dated.bin", file_clock::from_sys(when));
        date = {1, 1, 1, 1, 1, 1, 77, 555, 9};
        EXPECT_EQ(&date, FileDate("dated.bin", &date));
        EXPECT_EQ(0, std::memcmp(&expected, &date, sizeof date)) << expected.nYear;
    }
    EXPECT_EQ(&date, FileDate("missing.bin", &date));
    EXPECT_EQ(0, std::memcmp(&zero, &date, sizeof date));
    EXPECT_EQ(nullptr, FileDate("missing.bin", nullptr));
}

// A null path is an internal error: reported as fatal (the reporting thread stays suspended),
// and no file is touched.
std::atomic<int> g_questions{0};

TEST_F(FileUtils, NullPathIsReportedAndTouchesNoFile) {
    kp::seams::set_message_box([](const char*, const char*) { return ++g_questions, false; });
    WriteBinaryFile("source.bin", "data");
    BeginCaptureStdout();
    for (auto call :
         {+[] { FileCopy("source.bin", nullptr); }, +[] { RenameFile(nullptr, "source.bin"); }}) {
        const int asked = g_questions.load();
        std::thread(call).detach();
        ASSERT_TRUE(WaitFor([&] { return g_questions.load() > asked; }));
    }
    kp::sleep_ms(50);
    const std::string out = EndCaptureStdout();
    EXPECT_NE(std::string::npos, out.find("Null pointer !")) << out;
    EXPECT_EQ("data", ReadBinaryFile("source.bin"));
    for (const auto& entry : fs::directory_iterator("."))
        EXPECT_TRUE(entry.path().filename() == "source.bin" ||
                    entry.path().filename().string().rfind("TRACE.", 0) == 0);
}

}  // namespace
