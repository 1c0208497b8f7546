// Application stop: the stop flag, the end of the process with its own id as exit code, the
// suspension after a fatal error and the operator's answer, and the shutdown request.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "kerval/core/core.h"
#include "kerval/kerval.h"
#include "kerval/platform/platform.h"
#include "tests/support/fixtures.h"
#include "tests/support/report_fixtures.h"

namespace {

namespace platform = kerval::platform;
namespace seams = kerval::platform::seams;

TEST(StopFlag, IsClearBeforeStartAndSetForGoodOnceRequested) {
    EXPECT_EQ(HasApplicationToStop(), 0);
    ApplicationMustStop();  // no descriptor yet: nothing to set
    EXPECT_EQ(HasApplicationToStop(), 0);
    ASSERT_EQ(kvtest::StartKerval(), eOK);
    EXPECT_EQ(HasApplicationToStop(), 0);
    std::thread([] { ApplicationMustStop(); }).join();
    EXPECT_EQ(HasApplicationToStop(), 1);
    EXPECT_EQ(HasApplicationToStop(), 1);
}

// The file where a child process writes its id before it ends. The path travels in the
// environment so that a child started afresh (as on Windows) uses the parent's.
std::string PidFilePath() {
    if (const char* path = std::getenv("KV_TEST_PID_FILE")) return path;
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("kv-pid-" + std::to_string(std::random_device{}()) + ".txt"))
                                 .string();
    platform::put_environment(("KV_TEST_PID_FILE=" + path).c_str());
    return path;
}

void WriteOwnPid(const std::string& path) {
    std::ofstream(path) << platform::process_id();
}

// True when the child ended with its own process id as exit code (its low 8 bits where the
// system keeps no more of an exit code).
bool ExitedWithOwnPid(const std::string& path, int status) {
    uint32_t pid = 0;
    std::ifstream(path) >> pid;
#ifdef _WIN32
    const int expected = static_cast<int>(pid);
#else
    const int expected = static_cast<int>(pid & 0xFF);
#endif
    return pid != 0 && ::testing::ExitedWithCode(expected)(status);
}

TEST(StopJobDeathTest, ProcessEndsWithItsOwnIdAsExitCode) {
    const std::string path = PidFilePath();
    EXPECT_EXIT(
        {
            WriteOwnPid(path);
            StopJob();
        },
        [&](int status) { return ExitedWithOwnPid(path, status); }, "");
    std::remove(path.c_str());
}

bool AnswerYes(const char*, const char*) { return true; }

TEST(SuspendDeathTest, AnswerYesEndsTheProcessWithItsOwnId) {
    const std::string path = PidFilePath();
    EXPECT_EXIT(
        {
            kvtest::TempDir dir;
            seams::set_message_box(AnswerYes);
            if (kvtest::StartKervalAside() != eOK) std::abort();
            WriteOwnPid(path);
            KervalErreur(eNOK, "eNOK", "KERVAL-Test()", "fin", "lib.c", 1, 1);
            std::abort();  // not reached: the report ends the process
        },
        [&](int status) { return ExitedWithOwnPid(path, status); }, "");
    std::remove(path.c_str());
}

// Tasks that count while they run; the faulty one reports a fatal error on request.
std::atomic<uint32_t> g_workerCount[2];
std::atomic<uint32_t> g_userInterfaceCount{0};
std::atomic<bool> g_reportNow{false};
std::atomic<bool> g_faultyResumed{false};

uint32_t Worker0(void*) {
    for (;;) {
        g_workerCount[0].fetch_add(1);
        platform::sleep_ms(1);
    }
}
uint32_t Worker1(void*) {
    for (;;) {
        g_workerCount[1].fetch_add(1);
        platform::sleep_ms(1);
    }
}
uint32_t UserInterface(void*) {
    for (;;) {
        g_userInterfaceCount.fetch_add(1);
        platform::sleep_ms(1);
    }
}
uint32_t Faulty(void*) {
    while (!g_reportNow.load()) platform::sleep_ms(1);
    KervalErreur(eNOK, "eNOK", "KERVAL-Faulty()", "panne", "lib.c", 9, 1);
    g_faultyResumed.store(true);
    for (;;) platform::sleep_ms(1000);  // a task thread that ended would never be joined
}

// What the message box saw of the application while the question was asked.
std::atomic<int> g_questions{0};
std::atomic<bool> g_workersFrozen{false};
std::atomic<bool> g_userInterfaceRan{false};

bool Advances(const std::atomic<uint32_t>& counter) {
    const uint32_t before = counter.load();
    for (int i = 0; i < 1000 && counter.load() == before; ++i) platform::sleep_ms(10);
    return counter.load() != before;
}

bool InspectThenAnswerNo(const char* text, const char* caption) {
    const bool asked = std::string(text) == "Voulez-vous quitter l'application ?" &&
                       std::string(caption) == "Erreur Critique";
    const uint32_t w0 = g_workerCount[0].load();
    const uint32_t w1 = g_workerCount[1].load();
    g_userInterfaceRan.store(Advances(g_userInterfaceCount));
    g_workersFrozen.store(asked && g_workerCount[0].load() == w0 && g_workerCount[1].load() == w1);
    g_questions.fetch_add(1);
    return false;
}

TEST(SuspendApplicationTest, FreezesEveryTaskButTheUserInterfaceAndAsksTheOperator) {
    kvtest::TempDir dir;
    ASSERT_EQ(kvtest::StartKervalAside(), eOK);
    seams::set_message_box(InspectThenAnswerNo);
    int32_t workers[2] = {-1, -1};
    int32_t userInterface = -1;
    int32_t faulty = -1;
    ASSERT_EQ(CreateTask("WORKER0", 0, Worker0, nullptr, 0, 0, &workers[0]), eOK);
    ASSERT_EQ(CreateTask("WORKER1", 0, Worker1, nullptr, 0, 0, &workers[1]), eOK);
    ASSERT_EQ(CreateTask("TASK_USRINTF", 0, UserInterface, nullptr, 0, 0, &userInterface), eOK);
    ASSERT_EQ(CreateTask("FAULTY", 0, Faulty, nullptr, 0, 0, &faulty), eOK);
    ASSERT_TRUE(Advances(g_workerCount[0]));
    ASSERT_TRUE(Advances(g_workerCount[1]));

    kvtest::BeginCaptureStdout();
    g_reportNow.store(true);
    while (g_questions.load() == 0) platform::sleep_ms(5);
    TaskDescript* faultyRecord = kerval::core::TaskRecord(faulty);
    ASSERT_NE(faultyRecord, nullptr);
    while (std::atomic_ref<int32_t>(faultyRecord->bSuspended).load() != 1) platform::sleep_ms(5);
    const std::string out = kvtest::EndCaptureStdout();
    EXPECT_TRUE(g_workersFrozen.load());
    EXPECT_TRUE(g_userInterfaceRan.load());
    EXPECT_NE(out.find("Task     =FAULTY\n"), std::string::npos) << out;
    EXPECT_NE(out.find("JOB SUSPENDED !\n"), std::string::npos) << out;
    EXPECT_STREQ(_pxSysDescript->xFirstFatal.szTask, "FAULTY");
    EXPECT_TRUE(Advances(g_userInterfaceCount));
    EXPECT_FALSE(g_faultyResumed.load());

    // The suspended tasks can be resumed one by one.
    ActiveTask(workers[0], 1);
    EXPECT_TRUE(Advances(g_workerCount[0]));
    ActiveTask(faulty, 1);
    for (int i = 0; i < 1000 && !g_faultyResumed.load(); ++i) platform::sleep_ms(10);
    EXPECT_TRUE(g_faultyResumed.load());
}

bool RefusePrivilege(const char*) { return false; }
bool AllowPrivilege(const char*) { return true; }
std::atomic<uint32_t> g_shutdownFlags{0};
bool AcceptShutdown(uint32_t flags, uint32_t) {
    g_shutdownFlags.store(flags);
    return true;
}

TEST(StopProcedureTest, RefusedPrivilegeWarnsAndAsksNothing) {
    kvtest::TempDir dir;
    seams::set_privilege(RefusePrivilege);
    seams::set_shutdown(AcceptShutdown);
    int32_t result = -1;
    const std::string out = kvtest::CaptureStdoutOf([&] { result = StopProcedure(0x4); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(g_shutdownFlags.load(), 0u);
    EXPECT_NE(out.find("- WARNING ERROR -"), std::string::npos) << out;
    EXPECT_NE(out.find("Procedure=AdjustProcessToken()\n"), std::string::npos) << out;
}

TEST(StopProcedureTest, GrantedPrivilegePassesTheFlagsOn) {
    seams::set_privilege(AllowPrivilege);
    seams::set_shutdown(AcceptShutdown);
    EXPECT_NE(StopProcedure(0x5), 0);
    EXPECT_EQ(g_shutdownFlags.load(), 0x5u);
}

}  // namespace
