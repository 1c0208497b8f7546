// Error reports, the record of the first fatal error, and the trace log with its console ring.
#include "kerval/error/report.h"
#include "tests/support/fixtures.h"

namespace {

std::string Report(const char* headline, const char* error, const char* path) {
    return std::string("\n----------------------------------------") + headline +
           "\nDate     =05-03-2024 07:08:09\nTask     =\nError    =(" + error +
           "\nModule   =lib.c\nPath     =" + path +
           "\nProcedure=KERVAL-Test()\nLine     =42\nComment  =deja la"
           "\n----------------------------------------\n";
}

std::string WarningFrom(const char* file, uint8_t flag = 0) {
    return CaptureStdoutOf(
        [&] { KervalErreur(16, "eOBJECT_EXIST", "KERVAL-Test()", "deja la", file, 42, flag); });
}

struct ReportTest : TempDirTest {
    FakeClock clock_{{2024, 3, 5, 7, 8, 9, 0, 2}};
};

TEST_F(ReportTest, WarningShowsEveryFieldWithTheSourcePathSplitAndGoesToTheTrace) {
    const char* cases[][2] = {{"E:\\src\\lib.c", "E:\\src"},
                              {"E:\\lib.c", "E:\\."},
                              {"lib.c", ""},
                              {"/src/kerval/lib.c", "/src/kerval"}};
    for (const auto& [file, path] : cases) {
        const std::string expected = Report("- WARNING ERROR -", "16) : eOBJECT_EXIST", path);
        EXPECT_EQ(WarningFrom(file), expected);
        EXPECT_NE(ReadTextFile("TRACE.001.LOG").find(expected), std::string::npos) << file;
    }
    for (uint8_t flag : {2, 255})  // only flag 1 is fatal
        EXPECT_NE(WarningFrom("lib.c", flag).find("- WARNING ERROR -"), std::string::npos);
}

TEST_F(ReportTest, LongErrorTextIsCutAndNullTextIsEmpty) {
    const std::string text(300, 'x');
    const auto out = CaptureStdoutOf([&] { KervalErreur(1, text.c_str(), "P()", "c", "c", 1, 0); });
    EXPECT_NE(out.find("Error    =(1) : " + std::string(259, 'x') + "\n"), std::string::npos);
    const std::string none =
        CaptureStdoutOf([] { KervalErreur(3, nullptr, nullptr, nullptr, nullptr, 7, 0); });
    const char* empty = "Error    =(3) : \nModule   =\nPath     =\nProcedure=\nLine     =7\n";
    EXPECT_NE(none.find(std::string(empty) + "Comment  =\n"), std::string::npos) << none;
}

TEST_F(ReportTest, CodeTextsAndOneLineReports) {
    using kerval::error::ErrorTable;
    EXPECT_STREQ(_ApplicativErrorComment(16, 20, ErrorTable), "eOBJECT_EXIST");
    EXPECT_STREQ(_ApplicativErrorComment(19, 20, ErrorTable), "eTCP_CONNECTION_FAIL_CONNECT");
    EXPECT_STREQ(_ApplicativErrorComment(20, 20, ErrorTable), "undocumented error");
    const ErrorComment own[] = {{7, "first"}, {7, "second"}};
    EXPECT_STREQ(_ApplicativErrorComment(7, 2, own), "first");
    EXPECT_EQ(CaptureStdoutOf([] { EXPECT_EQ(ErreurApp(0, "P()", "texte"), 0); }), "");
    EXPECT_EQ(CaptureStdoutOf([] { EXPECT_EQ(ErreurApp(1, "KERVAL-X()", "X() fails"), 1); }),
              "KERVAL-X() : X() fails\n");
    EXPECT_NE(ReadTextFile("TRACE.001.LOG").find("\nKERVAL-X() : X() fails\n"), std::string::npos);
    EXPECT_EQ(FmtError("a.c", 12, "oops"), 25);
    EXPECT_STREQ(TaskBuf(), "file a.c, line 12 : oops\n");
    EXPECT_LT(FmtError("a.c", 1, std::string(5000, 'y').c_str()), KV_TASK_BUF_SIZE);
}

TEST_F(ReportTest, ErrorCheckWarningNamesModuleProcedureAndSystemTextCutToTheBuffer) {
    char system[127];
    kp::error_text(5, system, sizeof system);
    char small[6];
    EXPECT_EQ(kerval::error::SystemErrorText(5, small, sizeof small), small);
    EXPECT_EQ(std::string(small), std::string(system).substr(0, 5));
    const std::string out =
        CaptureStdoutOf([] { ErrorCheck(17, "E:\\src\\lib.c", "KERVAL-Test()", 5, 0); });
    EXPECT_EQ(out,
              "Task <unkn.OBJ.> : Error in module <E:\\src\\lib.c>, proc. <KERVAL-Test()> "
              "(line #17)\n" +
                  std::string(system));
    EXPECT_NE(ReadTextFile("TRACE.001.LOG").find(std::string(system) + "\n"), std::string::npos);
}

// Fatal reports freeze their threads; each case reports in a process of its own.
struct FatalReportTest : FatalTest {
    FakeClock clock_{{2024, 3, 5, 7, 8, 9, 0, 2}};
    // Reports from a thread that stays frozen by the suspension.
    static void ReportAside(int32_t line, const char* proc, const char* comment) {
        auto run = [=] { KervalErreur(10, "eBAD_LEN", proc, comment, "E:\\src\\lib.c", line, 1); };
        std::thread(run).detach();
    }
};

TEST_F(FatalReportTest, FatalReportIsRecordedAndSuspendsTheApplication) {
    const int32_t box = Made(CreateMailBox, "BOX_USRINTF", 10);
    BeginCaptureStdout();
    ReportAside(42, "KERVAL-Test()", "deja la");
    WaitForQuestions(1);
    const std::string out = EndCaptureStdout();
    EXPECT_EQ(out.find(Report("-  FATAL ERROR  -", "10) : eBAD_LEN", "E:\\src")), 0u) << out;
    EXPECT_NE(out.find("JOB SUSPENDED !\n"), std::string::npos) << out;

    char copy[4096] = {};  // the user interface's box gets a copy of the report
    int32_t type = 0, extra = 0, sender = 0;
    uint32_t size = 0;
    ASSERT_EQ(ReadMailBox(box, &type, copy, &size, sizeof copy, 0, &extra, &sender), eOK);
    EXPECT_TRUE(type == 1 && sender == -1 && extra == -1 && size == std::strlen(copy) + 1);
    EXPECT_EQ(out.find(copy), 0u);

    const FirstFatal& first = _pxSysDescript->xFirstFatal;
    const MsgDate& when = first.xFatalDate;
    EXPECT_EQ(std::vector<int64_t>({_pxSysDescript->lStatus, when.nYear, when.nMonth, when.nDay,
                                    when.nSecond, when.nHundredth, first.lError, first.nLine}),
              std::vector<int64_t>({2, 2024, 3, 5, 9, 0, 10, 42}));
    EXPECT_EQ(std::string(first.szTask) + "|" + first.szError + "|" + first.szSrcPath + "|" +
                  first.szProc + "|" + first.szComment,
              "|eBAD_LEN|E:\\src\\lib.c|KERVAL-Test()|deja la");

    ReportAside(43, "KERVAL-Other()", "plus tard");
    WaitForQuestions(2);
    EXPECT_TRUE(first.nLine == 42 && std::string(first.szProc) == "KERVAL-Test()");
}

TEST_F(FatalReportTest, OnlyOneOfSimultaneousFatalReportsIsRecordedWithLongFieldsCut) {
    constexpr int kReporters = 8;
    static std::vector<std::string> procs, comments;
    for (int i = 0; i < kReporters; ++i) {
        procs.push_back(std::to_string(i) + std::string(60, 'p'));
        comments.push_back(std::to_string(i) + std::string(100, 'c'));
    }
    BeginCaptureStdout();
    for (int i = 0; i < kReporters; ++i)
        ReportAside(100 + i, procs[i].c_str(), comments[i].c_str());
    WaitForQuestions(kReporters);
    EndCaptureStdout();
    const FirstFatal& first = _pxSysDescript->xFirstFatal;
    const int winner = first.nLine - 100;
    ASSERT_TRUE(winner >= 0 && winner < kReporters) << winner;
    EXPECT_EQ(first.szProc, procs[winner].substr(0, 40));
    EXPECT_EQ(first.szComment, comments[winner].substr(0, 81));
}

TEST_F(FatalReportTest, FatalErrorCheckRecordsTheSystemCode) {
    BeginCaptureStdout();
    std::thread([] { ErrorCheck(31, "E:\\lib.c", "KERVAL-Check()", 87, 1); }).detach();
    WaitForQuestions(1);
    const std::string out = EndCaptureStdout();
    EXPECT_NE(out.find(" Internal error   05/03/2024 at 07:08:09.\n"), std::string::npos) << out;
    const FirstFatal& first = _pxSysDescript->xFirstFatal;
    EXPECT_TRUE(first.lError == 87 && first.nLine == 31);
    EXPECT_EQ(std::string(first.szError) + "|" + first.szComment + "|" + first.szProc,
              "||KERVAL-Check()");
}

const std::string kDebut = "Debut le 05/03/2024 a 07:08:09\n";
const std::string kFin = "Fin le 05/03/2024 a 07:08:09\n";

// The counter file holds the number of the current file, little-endian like both targets.
std::string Counter(uint32_t value) { return std::string(reinterpret_cast<char*>(&value), 4); }

std::string TraceFile(int n) { return "TRACE." + std::to_string(1000 + n).substr(1) + ".LOG"; }

void Trace(const std::string& text) { AddTrace(text.c_str(), 0, 0); }

TEST_F(ReportTest, FirstEntryStartsTheFirstFileAndEveryEntryEndsWithOneLineBreak) {
    Trace("ligne\n");
    Trace("");
    AddTrace(nullptr, 0, 0);
    EXPECT_EQ(ReadBinaryFile("TRACE.000.LOG"), Counter(1));
    const std::string eol = kWindows ? "\r\n" : "\n";  // the system's line end
    EXPECT_EQ(ReadBinaryFile("TRACE.001.LOG"),
              "Debut le 05/03/2024 a 07:08:09" + eol + "ligne" + eol + eol + eol);
}

// Trace files (0: the counter) before and after the process's first entry: a damaged counter
// starts at 1, a full file (100000 bytes) ends with "Fin", 100 is followed by 1. One process a row.
using Files = std::map<int, std::string>;
using Rotation = std::tuple<Files, const char*, Files>;  // files before, entry, files after
class TraceFiles : public ReportTest, public ::testing::WithParamInterface<Rotation> {};

TEST_P(TraceFiles, CounterNamesTheFileAndFullFilesRotate) {
    const auto& [before, entry, after] = GetParam();
    for (const auto& [n, bytes] : before) WriteBinaryFile(TraceFile(n), bytes);
    Trace(entry);
    for (const auto& [n, bytes] : after) {
        const std::string file = TraceFile(n);
        EXPECT_EQ(n == 0 ? ReadBinaryFile(file) : ReadTextFile(file), bytes) << file;
    }
}

const std::string kFull(100000, 'a'), kFullZ(100000, 'z');
INSTANTIATE_TEST_SUITE_P(
    Rows, TraceFiles,
    ::testing::Values(
        Rotation{
            {{0, Counter(5)}, {5, "ancien\n"}}, "suite", {{0, Counter(5)}, {5, "ancien\nsuite\n"}}},
        Rotation{{{0, Counter(1000)}}, "x", {{0, Counter(1)}, {1, kDebut + "x\n"}}},
        Rotation{{{0, Counter(7)}, {7, kFull.substr(1)}},
                 "encore",
                 {{0, Counter(7)}, {7, kFull.substr(1) + "encore\n"}}},
        Rotation{{{0, Counter(7)}, {7, kFull}, {8, "older file of that number\n"}},
                 "apres rotation",
                 {{0, Counter(8)}, {7, kFull + kFin}, {8, kDebut + "apres rotation\n"}}},
        Rotation{{{0, Counter(100)}, {100, kFullZ}, {1, std::string(5000, 'o')}},
                 "tour complet",
                 {{0, Counter(1)}, {1, kDebut + "tour complet\n"}, {100, kFullZ + kFin}}}));

TEST_F(ReportTest, DataDumpAndDebugTextGoToTheFileAndOnlyAskedOnesToStandardOutput) {
    const unsigned char bytes[] = {'A', 'B', 0x01};
    const std::string dump =
        "len=3\n41 42 01 " + std::string(39, ' ') + "\tAB." + std::string(13, ' ') + "\n";
    EXPECT_EQ(CaptureStdoutOf([&] { AddTrace(bytes, 3, 1); }), dump);
    EXPECT_EQ(CaptureStdoutOf([] { DisplayTraceDebug("muet\n", 0); }), "");
    EXPECT_EQ(CaptureStdoutOf([] { DisplayTraceDebug("visible\n", 1); }), "visible\n");
    EXPECT_EQ(CaptureStdoutOf([] { DisplayDebug("jamais\n", 2); }), "");
    EXPECT_EQ(ReadTextFile("TRACE.001.LOG"), kDebut + dump + "muet\nvisible\n");
}

std::string ConsoleLine(int line) {
    std::string text;
    for (int c = 0; c < kp::kConsoleColumns; ++c) text += kp::console_cell(line, c);
    return text;
}

// The start-up's console, opened here without a real window: once, lines 0 to 49.
TEST_F(ReportTest, ConsoleRingCutsLinesToTheWidthAndItsFiftyFirstLineOverwritesTheFirst) {
    ASSERT_EQ(StartKerval(), eOK);
    EXPECT_FALSE(kp::console_write_line(0, "x") || kp::console_set_line_attribute(0, 7));
    ASSERT_TRUE(kp::console_open("KERVAL - Trace Console"));
    EXPECT_TRUE(kp::console_is_open());
    EXPECT_FALSE(kp::console_open("again") || kp::console_write_line(-1, "x") ||
                 kp::console_write_line(50, "x") || kp::console_set_line_attribute(50, 7));
    _pxSysDescript->xConsole = {_pxSysDescript->xConsole.hOutput, 0, 0, 76, 6};
    Trace(std::string(80, 'a') + std::string(20, 'b'));
    Trace("court");
    EXPECT_EQ(ConsoleLine(1) + ConsoleLine(2),
              std::string(80, 'a') + "court" + std::string(75, ' '));
    EXPECT_TRUE(kp::console_attribute(1, 79) == 6 && kp::console_attribute(2, 79) == 76);
    for (int i = 3; i <= 51; ++i) Trace("ligne " + std::to_string(i));
    EXPECT_EQ(ConsoleLine(0).substr(0, 9) + ConsoleLine(1).substr(0, 9), "ligne 50 ligne 51 ");
    EXPECT_TRUE(kp::console_attribute(1, 0) == 76 && kp::console_attribute(0, 0) == 6);
}

TEST_F(ReportTest, ConcurrentEntriesStayWholeAndNoneIsLost) {
    std::vector<std::string> sent, found;
    for (int i = 0; i < 2400; ++i) sent.push_back(std::to_string(i) + std::string(200, '.'));
    std::vector<std::thread> threads;  // 6 threads, 400 entries each
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            for (int e = t; e < 2400; e += 6) Trace(sent[e]);
        });
    for (std::thread& thread : threads) thread.join();
    int files = 0;
    for (int number = 1; number <= 100; ++number) {
        std::istringstream lines(ReadTextFile(TraceFile(number)));
        files += lines.peek() != EOF;
        for (std::string line; std::getline(lines, line);)
            if (line[0] != 'D' && line[0] != 'F') found.push_back(line);  // not Debut nor Fin
    }
    std::sort(sent.begin(), sent.end());
    std::sort(found.begin(), found.end());
    EXPECT_TRUE(found == sent);  // every entry whole, exactly once
    EXPECT_GE(files, 5);         // about 500 KB of entries went through several rotations
}

}  // namespace
