// Process services and their test seams: clock, privileges, exit; error texts, environment and
// the one-process lock.
#include "tests/platform/runner.h"

TEST(PlatformErrorText, MatchesWindowsWordingForReportedCodes) {
    const std::pair<uint32_t, const char*> texts[] = {
        {298, "Too many posts were made to a semaphore."},
        {1314, "A required privilege is not held by the client."},
        {10060,
         "A connection attempt failed because the connected party did not properly respond "
         "after a period of time, or established connection failed because connected host "
         "has failed to respond."},
    };
    char buf[512];
    for (const auto& [code, text] : texts) {
        kp::error_text(code, buf, sizeof buf);
        EXPECT_STREQ(buf, text) << code;
    }
    kp::error_text(298, buf, 8);
    EXPECT_STREQ(buf, "Too man");  // cut to fit, terminated
}

TEST(PlatformClock, SeamDrivesLocalTimeAndTimeNowAndConversionsRoundTrip) {
    static kp::LocalTime set_to{};
    kp::seams::set_clock(
        [](kp::LocalTime* t) { *t = kp::LocalTime{2024, 2, 29, 23, 59, 58, 250, 4}; },
        [](const kp::LocalTime& t) { return (set_to = t).year != 0; });
    kp::LocalTime now{};
    kp::local_time_read(&now);
    EXPECT_EQ(now.milliseconds, 250);
    std::tm tm{};
    ASSERT_TRUE(kp::local_from_time(kp::time_now(), &tm));
    EXPECT_EQ(std::vector<int>({tm.tm_year, tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_sec}),
              std::vector<int>({124, 1, 29, 23, 58}));
    EXPECT_EQ(kp::time_from_local(&tm), kp::time_now());
    EXPECT_TRUE(kp::local_time_set(kp::LocalTime{2030, 1, 2, 3, 4, 5, 6, 3}));
    EXPECT_TRUE(set_to.year == 2030 && set_to.second == 5);
    kp::seams::set_clock(nullptr, nullptr);
}

// The shutdown and message box seams are proven through the application stop tests.
TEST(PlatformProcess, PrivilegeExitSeamAndEnvironment) {
    kp::seams::set_privilege(
        [](const char* p) { return std::string(p) == "SeSystemtimePrivilege"; });
    EXPECT_TRUE(kp::enable_systemtime_privilege());
    EXPECT_FALSE(kp::enable_shutdown_privilege());
    EXPECT_EQ(kp::last_error(), kp::kErrPrivilegeNotHeld);
    kp::seams::set_privilege([](const char*) { return false; });  // keeps the real clock too
    kp::LocalTime now{};
    kp::local_time_read(&now);
    EXPECT_FALSE(kp::local_time_set(now));
    EXPECT_EQ(kp::last_error(), kp::kErrPrivilegeNotHeld);
    kp::seams::set_privilege(nullptr);

    static std::atomic<int> exit_code{-1};
    kp::seams::set_process_exit([](int code) { exit_code = code; });
    std::atomic<bool> after_exit{false};
    {  // a returning exit seam ends the caller: after_exit is never set
        Runner r([&] { kp::process_exit(3), after_exit = true; });
        EXPECT_TRUE(WaitFor([] { return exit_code >= 0; }));
    }
    EXPECT_EQ(exit_code.load(), 3);
    EXPECT_FALSE(after_exit.load());
    kp::seams::set_process_exit(nullptr);

    char entry[] = "KV_PLATFORM_TEST=first";
    ASSERT_TRUE(kp::put_environment(entry));
    entry[17] = 'X';  // the caller's buffer may change afterwards
    ASSERT_NE(std::getenv("KV_PLATFORM_TEST"), nullptr);
    EXPECT_STREQ(std::getenv("KV_PLATFORM_TEST"), "first");
}

TEST(PlatformSingleProcess, SecondTakerOfTheLockIsRefusedAndToldTheHolder) {
    uint32_t holder = 0;
    EXPECT_TRUE(kp::single_process_attach());  // the static build always holds the library
    EXPECT_TRUE(kp::single_process_check(&holder));
    const auto path = std::filesystem::temp_directory_path() /
                      ("kv-library-copy-" + std::to_string(kp::process_id()));
    std::ofstream(path) << "library";
    ASSERT_TRUE(kp::single_process_lock(path.string().c_str(), &holder));
    EXPECT_FALSE(kp::single_process_lock(path.string().c_str(), &holder));
    EXPECT_TRUE(holder == kp::process_id() || holder == 0);

    // Another process is refused too and names this one as the holder.
    const std::string self = ::testing::internal::GetArgvs().front();
    const bool can_start = std::system(nullptr) != 0 && std::filesystem::exists(self);
    if (can_start) {
        kp::put_environment(("KV_LOCK_FILE=" + path.string()).c_str());
        kp::put_environment(("KV_LOCK_HOLDER=" + std::to_string(kp::process_id())).c_str());
        const std::string command =
            "\"" + self + "\" --gtest_filter=PlatformSingleProcess.ChildSeesLockOfParent";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    std::error_code ignored;  // still locked on Windows: then the folder's cleanup takes it
    std::filesystem::remove(path, ignored);
    if (!can_start) GTEST_SKIP() << "cannot start a second process here";
}

// Runs as the second process of the test above; skipped when run on its own.
TEST(PlatformSingleProcess, ChildSeesLockOfParent) {
    const char* path = std::getenv("KV_LOCK_FILE");
    const char* parent = std::getenv("KV_LOCK_HOLDER");
    if (path == nullptr || parent == nullptr) GTEST_SKIP() << "started by the test above";
    uint32_t holder = 0;
    EXPECT_FALSE(kp::single_process_lock(path, &holder));
    EXPECT_EQ(std::to_string(holder), parent);
}
