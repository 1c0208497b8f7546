// Application stop: the stop flag, the end of the process with its own id as exit code, the
// suspension after a fatal error and the operator's answer, and the shutdown request.
#include "tests/support/tasks.h"

namespace {

TEST(StopFlag, IsClearBeforeStartAndSetForGoodOnceRequested) {
    ApplicationMustStop();  // no descriptor yet: nothing to set
    EXPECT_EQ(HasApplicationToStop(), 0);
    ASSERT_EQ(StartKerval(), eOK);
    EXPECT_EQ(HasApplicationToStop(), 0);
    std::thread([] { ApplicationMustStop(); }).join();
    EXPECT_TRUE(HasApplicationToStop() == 1 && HasApplicationToStop() == 1);
}

// Where a child writes its id; the path travels in the environment to a child started afresh.
std::string PidFilePath() {
    if (const char* path = std::getenv("KV_TEST_PID_FILE")) return path;
    const auto path = (fs::temp_directory_path() / ("kv-pid-" + std::to_string(kp::process_id())));
    kp::put_environment(("KV_TEST_PID_FILE=" + path.string()).c_str());
    return path.string();
}

// Runs `end` in a child process that wrote its id first: the child must end with its id as
// exit code (its low 8 bits outside Windows).
template <class Fn> void ExpectEndsWithOwnId(Fn end) {
    const std::string path = PidFilePath();
    const auto own_id = [&](int status) {
        uint32_t pid = 0;
        std::ifstream(path) >> pid;
        const uint32_t code = kWindows ? pid : pid & 0xFF;
        return pid != 0 && ::testing::ExitedWithCode(static_cast<int>(code))(status);
    };
    EXPECT_EXIT(
        {
            std::ofstream(path) << kp::process_id();
            end();
            std::abort();
        },
        own_id, "");
    std::remove(path.c_str());
}

TEST(StopJobDeathTest, ProcessEndsWithItsOwnIdAsExitCode) { ExpectEndsWithOwnId(StopJob); }

TEST(SuspendDeathTest, AnswerYesEndsTheProcessWithItsOwnId) {
    TempDir dir;  // the parent's: the child ends without cleaning up
    ExpectEndsWithOwnId([] {
        kp::seams::set_message_box([](const char*, const char*) { return true; });
        if (StartKervalAside() != eOK) std::abort();
        KervalErreur(eNOK, "eNOK", "KERVAL-Test()", "fin", "lib.c", 1, 1);
    });
}

// Tasks counting while they run (their parameter is their counter's index); Faulty reports.
std::atomic<uint32_t> g_counts[3];  // two workers and the user interface
std::atomic<bool> g_reportNow{false}, g_faultyResumed{false};

uint32_t Counting(void*) {
    int index = 0;
    RecoverTaskParam(_InternalCurrentTaskHandle(__FILE__, __LINE__), &index, sizeof index);
    for (;;) {
        g_counts[index].fetch_add(1);
        kp::sleep_ms(1);
    }
}
uint32_t Faulty(void*) {
    while (!g_reportNow.load()) kp::sleep_ms(1);
    KervalErreur(eNOK, "eNOK", "KERVAL-Faulty()", "panne", "lib.c", 9, 1);
    g_faultyResumed.store(true);
    for (;;) kp::sleep_ms(1000);  // a task thread that ended would never be joined
}

// Whether only the user interface ran while the question was asked (-1: not asked yet).
std::atomic<int> g_onlyUserInterfaceRan{-1};

bool InspectThenAnswerNo(const char* text, const char* caption) {
    const bool asked = std::string(text) == "Voulez-vous quitter l'application ?" &&
                       std::string(caption) == "Erreur Critique";
    const uint32_t w0 = g_counts[0].load(), w1 = g_counts[1].load();
    const bool userInterfaceRan = Advances(g_counts[2]);
    g_onlyUserInterfaceRan = asked && userInterfaceRan && g_counts[0] == w0 && g_counts[1] == w1;
    return false;
}

TEST(SuspendApplicationTest, FreezesEveryTaskButTheUserInterfaceAndAsksTheOperator) {
    TempDir dir;
    ASSERT_EQ(StartKervalAside(), eOK);
    kp::seams::set_message_box(InspectThenAnswerNo);
    int32_t tasks[3] = {-1, -1, -1};
    const char* names[3] = {"WORKER0", "WORKER1", "TASK_USRINTF"};
    for (int i = 0; i < 3; ++i)
        tasks[i] = Made(CreateTask, names[i], 0, Counting, &i, uint32_t{sizeof i}, 0u);
    const int32_t faulty = Made(CreateTask, "FAULTY", 0, Faulty, nullptr, 0u, 0u);
    ASSERT_TRUE(Advances(g_counts[0]) && Advances(g_counts[1]));

    BeginCaptureStdout();
    g_reportNow.store(true);
    ASSERT_TRUE(WaitFor([] { return g_onlyUserInterfaceRan >= 0; }));
    TaskDescript* record = kerval::core::TaskRecord(faulty);
    ASSERT_TRUE(WaitFor([&] { return std::atomic_ref<int32_t>(record->bSuspended).load() == 1; }));
    const std::string out = EndCaptureStdout();
    EXPECT_EQ(g_onlyUserInterfaceRan.load(), 1);
    EXPECT_NE(out.find("Task     =FAULTY\n"), std::string::npos) << out;
    EXPECT_NE(out.find("JOB SUSPENDED !\n"), std::string::npos) << out;
    EXPECT_STREQ(_pxSysDescript->xFirstFatal.szTask, "FAULTY");
    EXPECT_TRUE(Advances(g_counts[2]));
    EXPECT_FALSE(g_faultyResumed.load());

    ActiveTask(tasks[0], 1);
    EXPECT_TRUE(Advances(g_counts[0]));
    ActiveTask(faulty, 1);
    EXPECT_TRUE(WaitFor([] { return g_faultyResumed.load(); }));
}

std::atomic<uint32_t> g_shutdownFlags{0};

TEST(StopProcedureTest, RefusedPrivilegeWarnsAndAsksNothingGrantedOnePassesTheFlagsOn) {
    TempDir dir;
    kp::seams::set_privilege([](const char*) { return false; });
    kp::seams::set_shutdown([](uint32_t flags, uint32_t) { return g_shutdownFlags = flags, true; });
    const std::string out = CaptureStdoutOf([] { EXPECT_EQ(StopProcedure(0x4), 0); });
    EXPECT_EQ(g_shutdownFlags.load(), 0u);
    EXPECT_THAT(out, HasSubstr("- WARNING ERROR -"));
    EXPECT_THAT(out, HasSubstr("Procedure=AdjustProcessToken()\n"));
    kp::seams::set_privilege([](const char*) { return true; });
    EXPECT_NE(StopProcedure(0x5), 0);
    EXPECT_EQ(g_shutdownFlags.load(), 0x5u);
}

}  // namespace
