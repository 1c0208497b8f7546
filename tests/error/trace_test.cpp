// The trace log: counter file, dated first and last lines, rotation, the console ring, the
// debug output, and whole entries under concurrent tracing.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kerval/kerval.h"
#include "kerval/platform/platform.h"
#include "tests/support/fixtures.h"
#include "tests/support/report_fixtures.h"

namespace {

using kvtest::CaptureStdoutOf;
using kvtest::ReadBinaryFile;
using kvtest::ReadTextFile;
using kvtest::WriteBinaryFile;

const std::string kDebut = "Debut le 05/03/2024 a 07:08:09\n";
const std::string kFin = "Fin le 05/03/2024 a 07:08:09\n";

std::string Counter(int32_t number) {
    const auto value = static_cast<uint32_t>(number);
    return std::string{static_cast<char>(value & 0xFF), static_cast<char>(value >> 8 & 0xFF),
                       static_cast<char>(value >> 16 & 0xFF), static_cast<char>(value >> 24)};
}

void Trace(const std::string& text) { AddTrace(text.c_str(), 0, 0); }

class TraceTest : public kvtest::TempDirTest {
protected:
    kvtest::FixedClock clock_;
};

TEST_F(TraceTest, FirstEntryCreatesCounterAndFirstFile) {
    Trace("premier");
    EXPECT_EQ(ReadBinaryFile("TRACE.000.LOG"), Counter(1));
    EXPECT_EQ(ReadTextFile("TRACE.001.LOG"), kDebut + "premier\n");
}

TEST_F(TraceTest, EntryEndsWithExactlyOneLineBreak) {
    Trace("ligne\n");
    Trace("ligne");
    Trace("");
    AddTrace(nullptr, 0, 0);
    EXPECT_EQ(ReadTextFile("TRACE.001.LOG"), kDebut + "ligne\nligne\n\n\n");
}

#ifdef _WIN32
TEST_F(TraceTest, LinesEndWithCarriageReturnLineFeedOnWindows) {
    Trace("ligne");
    EXPECT_EQ(ReadBinaryFile("TRACE.001.LOG"), "Debut le 05/03/2024 a 07:08:09\r\nligne\r\n");
}
#endif

TEST_F(TraceTest, ContinuesInTheFileNamedByTheCounter) {
    WriteBinaryFile("TRACE.000.LOG", Counter(5));
    WriteBinaryFile("TRACE.005.LOG", "ancien\n");
    Trace("suite");
    EXPECT_EQ(ReadTextFile("TRACE.005.LOG"), "ancien\nsuite\n");
    EXPECT_EQ(ReadBinaryFile("TRACE.000.LOG"), Counter(5));
}

TEST_F(TraceTest, DamagedCounterStartsAgainAtTheFirstFile) {
    WriteBinaryFile("TRACE.000.LOG", Counter(1000));
    Trace("x");
    EXPECT_EQ(ReadBinaryFile("TRACE.000.LOG"), Counter(1));
    EXPECT_EQ(ReadTextFile("TRACE.001.LOG"), kDebut + "x\n");
}

TEST_F(TraceTest, FullFileIsClosedWithFinAndTheNextOneStarted) {
    WriteBinaryFile("TRACE.000.LOG", Counter(7));
    const std::string full(100000, 'a');
    WriteBinaryFile("TRACE.007.LOG", full);
    WriteBinaryFile("TRACE.008.LOG", "older file of that number\n");
    Trace("apres rotation");
    EXPECT_EQ(ReadTextFile("TRACE.007.LOG"), full + kFin);
    EXPECT_EQ(ReadBinaryFile("TRACE.000.LOG"), Counter(8));
    EXPECT_EQ(ReadTextFile("TRACE.008.LOG"), kDebut + "apres rotation\n");
}

TEST_F(TraceTest, FileJustBelowTheThresholdTakesTheEntry) {
    WriteBinaryFile("TRACE.000.LOG", Counter(7));
    WriteBinaryFile("TRACE.007.LOG", std::string(99999, 'a'));
    Trace("encore");
    EXPECT_EQ(ReadTextFile("TRACE.007.LOG"), std::string(99999, 'a') + "encore\n");
    EXPECT_EQ(ReadBinaryFile("TRACE.000.LOG"), Counter(7));
}

TEST_F(TraceTest, SeriesWrapsFromTheLastFileToTheFirstTruncated) {
    WriteBinaryFile("TRACE.000.LOG", Counter(100));
    WriteBinaryFile("TRACE.100.LOG", std::string(100000, 'z'));
    WriteBinaryFile("TRACE.001.LOG", std::string(5000, 'o'));
    Trace("tour complet");
    EXPECT_EQ(ReadBinaryFile("TRACE.000.LOG"), Counter(1));
    EXPECT_EQ(ReadTextFile("TRACE.001.LOG"), kDebut + "tour complet\n");
    const std::string last = ReadTextFile("TRACE.100.LOG");
    EXPECT_EQ(last.substr(last.size() - kFin.size()), kFin);
}

TEST_F(TraceTest, DataEntryIsDumpedToTheFileAndStandardOutput) {
    const unsigned char bytes[] = {'A', 'B', 0x01};
    const std::string out = CaptureStdoutOf([&] { AddTrace(bytes, 3, 1); });
    const std::string dump = "len=3\n41 42 01 " + std::string(39, ' ') + "\tAB." +
                             std::string(13, ' ') + "\n";
    EXPECT_EQ(out, dump);
    EXPECT_EQ(ReadTextFile("TRACE.001.LOG"), kDebut + dump);
}

TEST_F(TraceTest, DisplayTraceDebugPrintsOnlyWithFlagOneButAlwaysTraces) {
    EXPECT_EQ(CaptureStdoutOf([] { DisplayTraceDebug("muet\n", 0); }), "");
    EXPECT_EQ(CaptureStdoutOf([] { DisplayTraceDebug("visible\n", 1); }), "visible\n");
    EXPECT_EQ(CaptureStdoutOf([] { DisplayDebug("jamais\n", 2); }), "");
    EXPECT_EQ(ReadTextFile("TRACE.001.LOG"), kDebut + "muet\nvisible\n");
}

std::string ConsoleLine(int line) {
    std::string text;
    for (int column = 0; column < kerval::platform::kConsoleColumns; ++column) {
        text.push_back(kerval::platform::console_cell(line, column));
    }
    return text;
}

// The console of the start-up, opened here so that no real window is needed.
class ConsoleTest : public TraceTest {
protected:
    void SetUp() override {
        ASSERT_EQ(kvtest::StartKerval(), eOK);
        ASSERT_TRUE(kerval::platform::console_open("KERVAL - Trace Console"));
        _pxSysDescript->xConsole.nColumn = 0;
        _pxSysDescript->xConsole.nLine = 0;
        _pxSysDescript->xConsole.nNewestAttribute = 76;
        _pxSysDescript->xConsole.nOlderAttribute = 6;
    }
};

TEST_F(ConsoleTest, NewestLineIsCutToTheWidthAndHighlighted) {
    Trace(std::string(80, 'a') + std::string(20, 'b'));
    Trace("court");
    EXPECT_EQ(ConsoleLine(1), std::string(80, 'a'));
    EXPECT_EQ(kerval::platform::console_attribute(1, 79), 6);
    EXPECT_EQ(ConsoleLine(2), "court" + std::string(75, ' '));
    EXPECT_EQ(kerval::platform::console_attribute(2, 0), 76);
    EXPECT_EQ(kerval::platform::console_attribute(2, 79), 76);
}

TEST_F(ConsoleTest, RingOfFiftyLinesOverwritesTheOldest) {
    for (int i = 1; i <= 51; ++i) Trace("ligne " + std::to_string(i));
    EXPECT_EQ(ConsoleLine(1).substr(0, 9), "ligne 51 ");
    EXPECT_EQ(ConsoleLine(0).substr(0, 9), "ligne 50 ");
    EXPECT_EQ(ConsoleLine(2).substr(0, 9), "ligne 2  ");
    EXPECT_EQ(kerval::platform::console_attribute(1, 0), 76);
    EXPECT_EQ(kerval::platform::console_attribute(0, 0), 6);
    EXPECT_EQ(_pxSysDescript->xConsole.nLine, 1);
}

TEST_F(TraceTest, ConcurrentEntriesStayWholeAndNoneIsLost) {
    constexpr int kThreads = 6;
    constexpr int kEntries = 400;
    const std::string padding(200, '.');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &padding] {
            for (int e = 0; e < kEntries; ++e) {
                Trace("T" + std::to_string(t) + " E" + std::to_string(e) + " " + padding);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    std::vector<std::vector<int>> seen(kThreads, std::vector<int>(kEntries, 0));
    int files = 0;
    for (int number = 1; number <= 100; ++number) {
        char name[32];
        std::snprintf(name, sizeof name, "TRACE.%03d.LOG", number);
        std::istringstream lines(ReadTextFile(name));
        std::string line;
        if (lines.peek() != EOF) ++files;
        while (std::getline(lines, line)) {
            if (line.rfind("Debut le ", 0) == 0 || line.rfind("Fin le ", 0) == 0) continue;
            int t = -1;
            int e = -1;
            char rest[256] = {};
            ASSERT_EQ(std::sscanf(line.c_str(), "T%d E%d %255s", &t, &e, rest), 3) << line;
            ASSERT_TRUE(t >= 0 && t < kThreads && e >= 0 && e < kEntries) << line;
            ASSERT_EQ(rest, padding) << line;
            ++seen[t][e];
        }
    }
    for (int t = 0; t < kThreads; ++t) {
        for (int e = 0; e < kEntries; ++e) EXPECT_EQ(seen[t][e], 1) << t << " " << e;
    }
    EXPECT_GE(files, 5);  // about 500 KB of entries went through several rotations
}

}  // namespace
