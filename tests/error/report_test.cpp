// Error reports: code texts, the report layout on standard output and in the trace, the system
// error check, and the record of the first fatal error.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kerval/error/report.h"
#include "kerval/kerval.h"
#include "kerval/platform/platform.h"
#include "tests/support/fixtures.h"
#include "tests/support/report_fixtures.h"

namespace {

using kvtest::CaptureStdoutOf;
using kvtest::ReadTextFile;
namespace seams = kerval::platform::seams;

std::string Report(const char* headline, const char* task, const char* error,
                   const char* module, const char* path, const char* comment) {
    return std::string("\n----------------------------------------") + headline +
           "\nDate     =05-03-2024 07:08:09\nTask     =" + task + "\nError    =(" + error +
           "\nModule   =" + module + "\nPath     =" + path +
           "\nProcedure=KERVAL-Test()\nLine     =42\nComment  =" + comment +
           "\n----------------------------------------\n";
}

std::string WarningFrom(const char* file, uint8_t flag = 0) {
    return CaptureStdoutOf([&] {
        KervalErreur(eOBJECT_EXIST, "eOBJECT_EXIST", "KERVAL-Test()", "deja la", file, 42, flag);
    });
}

class ReportTest : public kvtest::TempDirTest {
protected:
    kvtest::FixedClock clock_;
};

TEST(ErrorCodeText, FindsCodesOfTheTableAndNamesOthersUndocumented) {
    using kerval::error::ErrorTable;
    EXPECT_STREQ(_ApplicativErrorComment(16, 20, ErrorTable), "eOBJECT_EXIST");
    EXPECT_STREQ(_ApplicativErrorComment(0, 20, ErrorTable), "eOK");
    EXPECT_STREQ(_ApplicativErrorComment(19, 20, ErrorTable), "eTCP_CONNECTION_FAIL_CONNECT");
    EXPECT_STREQ(_ApplicativErrorComment(20, 20, ErrorTable), "undocumented error");
    EXPECT_STREQ(_ApplicativErrorComment(16, 0, ErrorTable), "undocumented error");
    EXPECT_STREQ(_ApplicativErrorComment(16, 16, ErrorTable), "undocumented error");
    const ErrorComment own[] = {{7, "first"}, {7, "second"}};
    EXPECT_STREQ(_ApplicativErrorComment(7, 2, own), "first");
}

TEST_F(ReportTest, WarningShowsEveryFieldInItsLineAndGoesToTheTrace) {
    const std::string expected = Report("- WARNING ERROR -", "", "16) : eOBJECT_EXIST", "lib.c",
                                        "E:\\src", "deja la");
    EXPECT_EQ(WarningFrom("E:\\src\\lib.c"), expected);
    const std::string trace = ReadTextFile("TRACE.001.LOG");
    EXPECT_NE(trace.find(expected), std::string::npos) << trace;
}

TEST_F(ReportTest, ModuleAndPathSplitTheSourcePath) {
    EXPECT_NE(WarningFrom("E:\\lib.c").find("\nModule   =lib.c\nPath     =E:\\.\n"),
              std::string::npos);
    EXPECT_NE(WarningFrom("lib.c").find("\nModule   =lib.c\nPath     =\n"), std::string::npos);
    EXPECT_NE(WarningFrom("/src/kerval/lib.c").find("\nModule   =lib.c\nPath     =/src/kerval\n"),
              std::string::npos);
}

TEST_F(ReportTest, OnlyFlagOneIsFatal) {
    for (uint8_t flag : {0, 2, 255}) {
        EXPECT_NE(WarningFrom("lib.c", flag).find("- WARNING ERROR -"), std::string::npos);
    }
}

TEST_F(ReportTest, LongErrorTextIsCutAndNullTextIsEmpty) {
    const std::string text(300, 'x');
    const std::string out = CaptureStdoutOf(
        [&] { KervalErreur(1, text.c_str(), "P()", "c", "lib.c", 1, 0); });
    EXPECT_NE(out.find("Error    =(1) : " + std::string(259, 'x') + "\n"), std::string::npos);
    const std::string none =
        CaptureStdoutOf([] { KervalErreur(3, nullptr, nullptr, nullptr, nullptr, 7, 0); });
    EXPECT_NE(none.find("Error    =(3) : \nModule   =\nPath     =\nProcedure=\nLine     =7\n"
                        "Comment  =\n"),
              std::string::npos)
        << none;
}

TEST_F(ReportTest, ErreurAppWritesOneLineOnlyForNonZeroCodes) {
    int32_t result = -1;
    EXPECT_EQ(CaptureStdoutOf([&] { result = ErreurApp(0, "P()", "texte"); }), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(CaptureStdoutOf([&] { result = ErreurApp(1, "KERVAL-X()", "X() fails"); }),
              "KERVAL-X() : X() fails\n");
    EXPECT_EQ(result, 1);
    EXPECT_NE(ReadTextFile("TRACE.001.LOG").find("\nKERVAL-X() : X() fails\n"),
              std::string::npos);
}

TEST(FmtErrorTest, AnswersTheLengthOfTheComposedText) {
    EXPECT_EQ(FmtError("a.c", 12, "oops"), 25);  // "file a.c, line 12 : oops\n"
    EXPECT_STREQ(TaskBuf(), "file a.c, line 12 : oops\n");
    const std::string huge(5000, 'y');
    EXPECT_LT(FmtError("a.c", 1, huge.c_str()), KV_TASK_BUF_SIZE);
}

TEST(SystemErrorTextTest, GivesThePlatformTextCutToTheBuffer) {
    char expected[127];
    kerval::platform::error_text(5, expected, sizeof expected);
    char buffer[127];
    EXPECT_STREQ(kerval::error::SystemErrorText(5, buffer, sizeof buffer), expected);
    char small[6];
    EXPECT_EQ(kerval::error::SystemErrorText(5, small, sizeof small), small);
    EXPECT_EQ(std::string(small), std::string(expected).substr(0, 5));
}

TEST_F(ReportTest, ErrorCheckWarningNamesModuleProcedureAndSystemText) {
    char system[127];
    kerval::platform::error_text(5, system, sizeof system);
    const std::string out =
        CaptureStdoutOf([] { ErrorCheck(17, "E:\\src\\lib.c", "KERVAL-Test()", 5, 0); });
    EXPECT_EQ(out,
              "Task <unkn.OBJ.> : Error in module <E:\\src\\lib.c>, proc. <KERVAL-Test()> "
              "(line #17)\n" +
                  std::string(system));
    EXPECT_NE(ReadTextFile("TRACE.001.LOG").find(std::string(system) + "\n"), std::string::npos);
}

// Fatal reports: the message box is answered No, so each reporting thread ends frozen.
class FatalReportTest : public ReportTest {
protected:
    static inline std::atomic<int> questions_{0};
    static bool AnswerNo(const char*, const char*) {
        questions_.fetch_add(1);
        return false;
    }
    void SetUp() override {
        ASSERT_EQ(kvtest::StartKervalAside(), eOK);
        seams::set_message_box(AnswerNo);
    }
    void WaitForQuestions(int count) {
        while (questions_.load() < count) kerval::platform::sleep_ms(5);
        kerval::platform::sleep_ms(50);  // lets the last reporter print its last line
    }
    // Reports from a thread that stays frozen by the suspension.
    static void ReportAside(int32_t line, const char* proc, const char* comment) {
        std::thread([=] {
            KervalErreur(eBAD_LEN, "eBAD_LEN", proc, comment, "E:\\src\\lib.c", line, 1);
        }).detach();
    }
};

TEST_F(FatalReportTest, FatalReportIsRecordedAndSuspendsTheApplication) {
    int32_t box = -1;
    ASSERT_EQ(CreateMailBox("BOX_USRINTF", 10, &box), eOK);
    kvtest::BeginCaptureStdout();
    ReportAside(42, "KERVAL-Test()", "deja la");
    WaitForQuestions(1);
    const std::string out = kvtest::EndCaptureStdout();
    EXPECT_EQ(out.find(Report("-  FATAL ERROR  -", "", "10) : eBAD_LEN", "lib.c", "E:\\src",
                              "deja la")),
              0u)
        << out;
    EXPECT_NE(out.find("JOB SUSPENDED !\n"), std::string::npos) << out;

    char copy[4096] = {};
    int32_t type = 0, extra = 0, sender = 0;
    uint32_t size = 0;
    ASSERT_EQ(ReadMailBox(box, &type, copy, &size, sizeof copy, 0, &extra, &sender), eOK);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(sender, -1);
    EXPECT_EQ(extra, -1);
    EXPECT_EQ(size, std::strlen(copy) + 1);
    EXPECT_EQ(out.find(copy), 0u);

    const FirstFatal& first = _pxSysDescript->xFirstFatal;
    EXPECT_EQ(_pxSysDescript->lStatus, 2u);
    EXPECT_STREQ(first.szTask, "");
    EXPECT_EQ(first.xFatalDate.nYear, 2024);
    EXPECT_EQ(first.xFatalDate.nMonth, 3);
    EXPECT_EQ(first.xFatalDate.nDay, 5);
    EXPECT_EQ(first.xFatalDate.nSecond, 9);
    EXPECT_EQ(first.xFatalDate.nHundredth, 0);
    EXPECT_EQ(first.lError, 10u);
    EXPECT_STREQ(first.szError, "eBAD_LEN");
    EXPECT_EQ(first.nLine, 42);
    EXPECT_STREQ(first.szSrcPath, "E:\\src\\lib.c");
    EXPECT_STREQ(first.szProc, "KERVAL-Test()");
    EXPECT_STREQ(first.szComment, "deja la");

    ReportAside(43, "KERVAL-Other()", "plus tard");
    WaitForQuestions(2);
    EXPECT_EQ(first.nLine, 42);
    EXPECT_STREQ(first.szProc, "KERVAL-Test()");
}

TEST_F(FatalReportTest, LongFieldsAreCutInTheRecord) {
    const std::string proc(60, 'p');
    const std::string comment(100, 'c');
    std::thread([&] {
        KervalErreur(1, "eNOK", proc.c_str(), comment.c_str(), "lib.c", 1, 1);
    }).detach();
    WaitForQuestions(1);
    EXPECT_EQ(std::string(_pxSysDescript->xFirstFatal.szProc), proc.substr(0, 40));
    EXPECT_EQ(std::string(_pxSysDescript->xFirstFatal.szComment), comment.substr(0, 81));
}

TEST_F(FatalReportTest, OnlyOneOfSimultaneousFatalReportsIsRecorded) {
    constexpr int kReporters = 8;
    static const std::vector<std::string> procs = [] {
        std::vector<std::string> names;
        for (int i = 0; i < kReporters; ++i) names.push_back("P" + std::to_string(i) + "()");
        return names;
    }();
    kvtest::BeginCaptureStdout();
    for (int i = 0; i < kReporters; ++i) ReportAside(100 + i, procs[i].c_str(), procs[i].c_str());
    WaitForQuestions(kReporters);
    kvtest::EndCaptureStdout();
    const FirstFatal& first = _pxSysDescript->xFirstFatal;
    const int winner = first.nLine - 100;
    ASSERT_GE(winner, 0);
    ASSERT_LT(winner, kReporters);
    EXPECT_EQ(first.szProc, procs[winner]);
    EXPECT_EQ(first.szComment, procs[winner]);
}

TEST_F(FatalReportTest, FatalErrorCheckRecordsTheSystemCode) {
    kvtest::BeginCaptureStdout();
    std::thread([] { ErrorCheck(31, "E:\\lib.c", "KERVAL-Check()", 87, 1); }).detach();
    WaitForQuestions(1);
    const std::string out = kvtest::EndCaptureStdout();
    EXPECT_NE(out.find(" Internal error   05/03/2024 at 07:08:09.\n"), std::string::npos)
        << out;
    const FirstFatal& first = _pxSysDescript->xFirstFatal;
    EXPECT_EQ(first.lError, 87u);
    EXPECT_EQ(first.nLine, 31);
    EXPECT_STREQ(first.szError, "");
    EXPECT_STREQ(first.szComment, "");
    EXPECT_STREQ(first.szProc, "KERVAL-Check()");
}

}  // namespace
