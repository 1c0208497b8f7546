// Process services and their test seams: clock, message box, privileges, shutdown, exit;
// error texts, environment, file times and the one-process lock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "kerval/platform/platform.h"

namespace kp = kerval::platform;

namespace {

std::string text_of(uint32_t code)
{
    char buf[512];
    kp::error_text(code, buf, sizeof buf);
    return buf;
}

kp::LocalTime g_set_to{};
void fake_read(kp::LocalTime* t)
{
    *t = kp::LocalTime{2024, 2, 29, 23, 59, 58, 250, 4};
}
bool fake_set(const kp::LocalTime& t)
{
    g_set_to = t;
    return true;
}

std::string g_box_text;
bool answer_yes(const char* text, const char* caption)
{
    g_box_text = std::string(caption) + "|" + text;
    return true;
}

bool grant_only_time(const char* privilege)
{
    return std::string(privilege) == "SeSystemtimePrivilege";
}
bool grant_nothing(const char*)
{
    return false;
}

uint32_t g_shutdown_flags = 0;
bool record_shutdown(uint32_t flags, uint32_t)
{
    g_shutdown_flags = flags;
    return true;
}

std::atomic<int> g_exit_code{-1};
void record_exit(int code)
{
    g_exit_code = code;
}

std::filesystem::path temp_file(const std::string& name)
{
    return std::filesystem::temp_directory_path() / (name + "-" + std::to_string(kp::process_id()));
}

}  // namespace

TEST(PlatformErrorText, MatchesWindowsWordingForReportedCodes)
{
    EXPECT_EQ(text_of(0), "The operation completed successfully.");
    EXPECT_EQ(text_of(5), "Access is denied.");
    EXPECT_EQ(text_of(6), "The handle is invalid.");
    EXPECT_EQ(text_of(87), "The parameter is incorrect.");
    EXPECT_EQ(text_of(298), "Too many posts were made to a semaphore.");
    EXPECT_EQ(text_of(1314), "A required privilege is not held by the client.");
    EXPECT_EQ(text_of(10060),
              "A connection attempt failed because the connected party did not properly "
              "respond after a period of time, or established connection failed because "
              "connected host has failed to respond.");
    EXPECT_EQ(text_of(10061),
              "No connection could be made because the target machine actively refused it.");
    char small[8];
    kp::error_text(298, small, sizeof small);
    EXPECT_EQ(std::string(small), "Too man");  // cut to fit, terminated
}

TEST(PlatformClock, SeamDrivesLocalTimeAndTimeNow)
{
    kp::seams::set_clock(fake_read, fake_set);
    kp::LocalTime now{};
    kp::local_time_read(&now);
    EXPECT_EQ(now.year, 2024);
    EXPECT_EQ(now.milliseconds, 250);
    std::tm expected{};
    expected.tm_year = 124;
    expected.tm_mon = 1;
    expected.tm_mday = 29;
    expected.tm_hour = 23;
    expected.tm_min = 59;
    expected.tm_sec = 58;
    expected.tm_isdst = -1;
    EXPECT_EQ(kp::time_now(), kp::time_from_local(&expected));

    const kp::LocalTime wanted{2030, 1, 2, 3, 4, 5, 6, 3};
    EXPECT_TRUE(kp::local_time_set(wanted));
    EXPECT_EQ(g_set_to.year, 2030);
    EXPECT_EQ(g_set_to.second, 5);
    kp::seams::set_clock(nullptr, nullptr);
    kp::local_time_read(&now);
    EXPECT_GE(now.year, 2020);
}

TEST(PlatformClock, SettingTimeWithoutPrivilegeIsRefused)
{
    kp::seams::set_privilege(grant_nothing);  // also keeps the real clock untouched
    kp::LocalTime now{};
    kp::local_time_read(&now);
    EXPECT_FALSE(kp::enable_systemtime_privilege());
    EXPECT_FALSE(kp::local_time_set(now));
    EXPECT_EQ(kp::last_error(), kp::kErrPrivilegeNotHeld);
    kp::seams::set_privilege(nullptr);
}

TEST(PlatformClock, ConversionsRoundTripAndCounterAdvances)
{
    std::tm tm{};
    ASSERT_TRUE(kp::local_from_time(1700000000, &tm));
    EXPECT_EQ(kp::time_from_local(&tm), 1700000000);
    EXPECT_GE(kp::perf_frequency(), 1000000u);
    const uint64_t first = kp::perf_counter();
    kp::sleep_ms(2);
    EXPECT_GT(kp::perf_counter(), first);
}

TEST(PlatformProcess, MessageBoxSeamAnswers)
{
    kp::seams::set_message_box(answer_yes);
    EXPECT_TRUE(kp::message_box_yes_no("Stop now?", "KERVAL"));
    EXPECT_EQ(g_box_text, "KERVAL|Stop now?");
    kp::seams::set_message_box(nullptr);
}

TEST(PlatformProcess, ShutdownNeedsThePrivilegeAndGoesThroughTheSeam)
{
    kp::seams::set_privilege(grant_only_time);
    EXPECT_FALSE(kp::enable_shutdown_privilege());
    EXPECT_EQ(kp::last_error(), kp::kErrPrivilegeNotHeld);
    EXPECT_TRUE(kp::enable_systemtime_privilege());
    kp::seams::set_shutdown(record_shutdown);
    EXPECT_TRUE(kp::exit_windows(8 | 4, 0));
    EXPECT_EQ(g_shutdown_flags, 12u);
    kp::seams::set_shutdown(nullptr);
    kp::seams::set_privilege(nullptr);
}

TEST(PlatformProcess, ExitSeamThatReturnsEndsOnlyTheCallingThread)
{
    kp::seams::set_process_exit(record_exit);
    std::atomic<bool> after_exit{false};
    kp::Thread* t = kp::thread_create_suspended(
        [](void* arg) {
            kp::process_exit(3);
            static_cast<std::atomic<bool>*>(arg)->store(true);
        },
        &after_exit, 0);
    kp::thread_resume(t);
    for (int i = 0; i < 10000 && g_exit_code < 0; ++i)
        kp::sleep_ms(1);
    kp::thread_terminate(t);  // joins the ended thread
    kp::thread_release(t);
    EXPECT_EQ(g_exit_code.load(), 3);
    EXPECT_FALSE(after_exit.load());
    kp::seams::set_process_exit(nullptr);
}

TEST(PlatformProcess, EnvironmentEntryIsCopied)
{
    char entry[] = "KV_PLATFORM_TEST=first";
    ASSERT_TRUE(kp::put_environment(entry));
    entry[17] = 'X';  // the caller's buffer may change afterwards
    ASSERT_NE(std::getenv("KV_PLATFORM_TEST"), nullptr);
    EXPECT_EQ(std::string(std::getenv("KV_PLATFORM_TEST")), "first");
}

TEST(PlatformProcess, FileModificationTime)
{
    const auto path = temp_file("kv-mtime");
    std::ofstream(path) << "x";
    int64_t seconds = 0;
    ASSERT_TRUE(kp::file_mtime(path.string().c_str(), &seconds));
    const auto written = std::filesystem::last_write_time(path);
    const auto since_epoch = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::file_clock::to_sys(written).time_since_epoch());
    EXPECT_EQ(seconds, since_epoch.count());
    std::filesystem::remove(path);
    EXPECT_FALSE(kp::file_mtime(path.string().c_str(), &seconds));
    EXPECT_NE(kp::process_id(), 0u);
}

TEST(PlatformSingleProcess, StaticBuildAlwaysHoldsTheLibrary)
{
    uint32_t holder = 99;
    EXPECT_TRUE(kp::single_process_attach());
    EXPECT_TRUE(kp::single_process_check(&holder));
}

TEST(PlatformSingleProcess, SecondTakerOfTheLockIsRefusedAndToldTheHolder)
{
    const auto path = temp_file("kv-library-copy");
    std::ofstream(path) << "library";
    uint32_t holder = 0;
    ASSERT_TRUE(kp::single_process_lock(path.string().c_str(), &holder));
    EXPECT_FALSE(kp::single_process_lock(path.string().c_str(), &holder));
    EXPECT_TRUE(holder == kp::process_id() || holder == 0);

    // Another process is refused too and names this one as the holder.
    const std::string self = ::testing::internal::GetArgvs().front();
    if (std::system(nullptr) == 0 || !std::filesystem::exists(self)) {
        GTEST_SKIP() << "cannot start a second process here";
    }
    kp::put_environment(("KV_LOCK_FILE=" + path.string()).c_str());
    kp::put_environment(("KV_LOCK_HOLDER=" + std::to_string(kp::process_id())).c_str());
    const std::string command =
        "\"" + self + "\" --gtest_filter=PlatformSingleProcess.ChildSeesLockOfParent";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

// Runs as the second process of the test above; skipped when run on its own.
TEST(PlatformSingleProcess, ChildSeesLockOfParent)
{
    const char* path = std::getenv("KV_LOCK_FILE");
    const char* parent = std::getenv("KV_LOCK_HOLDER");
    if (path == nullptr || parent == nullptr)
        GTEST_SKIP() << "started by the test above";
    uint32_t holder = 0;
    EXPECT_FALSE(kp::single_process_lock(path, &holder));
    EXPECT_EQ(std::to_string(holder), parent);
}
