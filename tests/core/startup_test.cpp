// The start-up's own objects, the start function, the banner, and the console mutex.
#include <gmock/gmock.h>

#include <atomic>
#include <thread>

#include "tests/mailbox/box_helpers.h"
#include "tests/support/report_fixtures.h"

using ::testing::ContainsRegex;
using ::testing::HasSubstr;

namespace {

class StartUp : public kvtest::TempDirTest {};

std::atomic<int32_t> g_started_as{-2};

int32_t NoteCaller()
{
    g_started_as = _InternalCurrentTaskHandle(__FILE__, __LINE__);
    return 0;
}

TEST_F(StartUp, ApplicationStartsWithTheLibrarysObjectsAndOneBanner)
{
    static InitOptions options = kvtest::MinimalOptions();
    std::string out =
        kvtest::CaptureStdoutOf([] { ASSERT_EQ(eOK, InitApplication(&options, NoteCaller)); });
    EXPECT_EQ(0, g_started_as.load());  // in the calling thread, INITJOB
    out = kvtest::CaptureStdoutOf([] { DebugListeObjet(0); });
    EXPECT_THAT(out, HasSubstr("00-00\t3\tINITJOB\n"));
    for (const char* name : {"_TEMPO_BOX", "_STORE_BOX", "_TCP_BOX"})
        EXPECT_EQ(MAILBOX_OBJECT, ObjectExist(FindObjectMirror(name))) << name;
    const std::pair<const char*, int32_t> services[] = {
        {"_TEMPO_TASK", 1}, {"_STORE_TASK", -2}, {"_TCP_TASK", -2}};
    for (const auto& [name, priority] : services) {
        EXPECT_THAT(out, ContainsRegex(std::string("\t3\t") + name + "\n")) << name;
        EXPECT_EQ(priority, GetPriority(FindObjectMirror(name))) << name;
    }
    EXPECT_EQ(_pxSysDescript->hSctKerval, FindObjectMirror("SCT_KERVAL"));
    EXPECT_EQ(SECTION_OBJECT, ObjectExist(_pxSysDescript->hSctKerval));
    EXPECT_EQ(_pxSysDescript->hStdoutMux, FindObjectMirror("_STDOUT_MUX"));
    EXPECT_EQ(SEM_OBJECT, ObjectExist(_pxSysDescript->hStdoutMux));
    const std::string log = kvtest::ReadTextFile("TRACE.001.LOG");
    const size_t at = log.find("----- InitKerval() at ");
    ASSERT_NE(std::string::npos, at);
    int fields[7] = {};
    char end[8] = {};
    EXPECT_EQ(8, std::sscanf(log.c_str() + at + 22, "%4d/%2d/%2d-%2d:%2d:%2d:%2d %5s", &fields[0],
                             &fields[1], &fields[2], &fields[3], &fields[4], &fields[5], &fields[6],
                             end));
    EXPECT_STREQ("-----", end);
    EXPECT_EQ(log.find("InitKerval() at"), log.rfind("InitKerval() at"));
}

TEST_F(StartUp, RefusedOptionsSkipTheStartFunction)
{
    static InitOptions options = kvtest::MinimalOptions();
    options.NbMaxTask = 5;
    kvtest::CaptureStdoutOf([] { EXPECT_EQ(eNOK, InitApplication(&options, NoteCaller)); });
    EXPECT_EQ(-2, g_started_as.load());
    EXPECT_THAT(kvtest::ReadTextFile("TRACE.001.LOG"), HasSubstr("InitApplication failed"));
}

// The application may hold "_STDOUT_MUX" around its own output: library lines wait for it.
TEST_F(StartUp, DebugLinesWaitForTheConsoleMutex)
{
    ASSERT_EQ(eOK, kvtest::StartKerval());
    const int32_t mux = FindObjectMirror("_STDOUT_MUX");
    ASSERT_EQ(eOK, TakeMute(mux, WAIT_FOREVER));
    std::atomic<bool> printed{false};
    kvtest::BeginCaptureStdout();
    std::thread writer([&] {
        DisplayDebug("library line\n", 1);
        printed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(printed.load());
    std::fputs("application line\n", stdout);
    std::fflush(stdout);
    ASSERT_EQ(eOK, FreeMute(mux));
    writer.join();
    EXPECT_EQ("application line\nlibrary line\n", kvtest::EndCaptureStdout());
}

}  // namespace
