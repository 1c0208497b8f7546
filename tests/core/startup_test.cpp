// The start-up's own objects, the start function, the banner, and the console mutex.
#include "tests/support/fixtures.h"

namespace {

using StartUp = TempDirTest;

std::atomic<int32_t> g_started_as{-2};

int32_t NoteCaller() {
    g_started_as = _InternalCurrentTaskHandle(__FILE__, __LINE__);
    return 0;
}

TEST_F(StartUp, ApplicationStartsWithTheLibrarysObjectsAndOneBanner) {
    static InitOptions options = MinimalOptions();
    CaptureStdoutOf([] { ASSERT_EQ(eOK, InitApplication(&options, NoteCaller)); });
    EXPECT_EQ(0, g_started_as.load());  // in the calling thread, INITJOB
    const std::tuple<const char*, int32_t, int32_t> objects[] = {
        {"_TEMPO_BOX", MAILBOX_OBJECT, 0}, {"_STORE_BOX", MAILBOX_OBJECT, 0},
        {"_TCP_BOX", MAILBOX_OBJECT, 0},   {"_TEMPO_TASK", TASK_OBJECT, 1},
        {"_STORE_TASK", TASK_OBJECT, -2},  {"_TCP_TASK", TASK_OBJECT, -2},
        {"SCT_KERVAL", SECTION_OBJECT, 0}, {"_STDOUT_MUX", SEM_OBJECT, 0}};
    for (const auto& [name, type, priority] : objects) {
        EXPECT_EQ(type, ObjectExist(FindObjectMirror(name))) << name;
        EXPECT_TRUE(type != TASK_OBJECT || GetPriority(FindObjectMirror(name)) == priority) << name;
    }
    EXPECT_EQ(_pxSysDescript->hSctKerval, FindObjectMirror("SCT_KERVAL"));
    EXPECT_EQ(_pxSysDescript->hStdoutMux, FindObjectMirror("_STDOUT_MUX"));
    const std::string log = ReadTextFile("TRACE.001.LOG");
    const size_t at = log.find("----- InitKerval() at ");
    ASSERT_NE(std::string::npos, at);
    int f[7] = {};
    char end[8] = {};
    EXPECT_EQ(8, std::sscanf(log.c_str() + at + 22, "%4d/%2d/%2d-%2d:%2d:%2d:%2d %5s", f, f + 1,
                             f + 2, f + 3, f + 4, f + 5, f + 6, end));
    EXPECT_STREQ("-----", end);
    EXPECT_EQ(log.find("InitKerval() at"), log.rfind("InitKerval() at"));
}

TEST_F(StartUp, RefusedOptionsSkipTheStartFunction) {
    static InitOptions options = MinimalOptions();
    options.NbMaxTask = 5;
    CaptureStdoutOf([] { EXPECT_EQ(eNOK, InitApplication(&options, NoteCaller)); });
    EXPECT_EQ(-2, g_started_as.load());
    EXPECT_THAT(ReadTextFile("TRACE.001.LOG"), HasSubstr("InitApplication failed"));
}

// The application may hold "_STDOUT_MUX" around its own output: library lines wait for it.
TEST_F(StartUp, DebugLinesWaitForTheConsoleMutex) {
    ASSERT_EQ(eOK, StartKerval());
    const int32_t mux = FindObjectMirror("_STDOUT_MUX");
    ASSERT_EQ(eOK, TakeMute(mux, WAIT_FOREVER));
    std::atomic<bool> printed{false};
    BeginCaptureStdout();
    std::thread writer([&] { DisplayDebug("library line\n", 1), printed = true; });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(printed.load());
    std::fputs("application line\n", stdout);
    std::fflush(stdout);
    ASSERT_EQ(eOK, FreeMute(mux));
    writer.join();
    EXPECT_EQ("application line\nlibrary line\n", EndCaptureStdout());
}

}  // namespace
