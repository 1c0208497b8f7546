// The cooperative stop flag, the end of the process, the suspension of the application after a
// fatal error, and the shutdown of the computer.
#include <atomic>
#include <cstdio>

#include "kerval/app/app.h"
#include "kerval/core/core.h"
#include "kerval/error/report.h"
#include "kerval/kerval.h"
#include "kerval/platform/platform.h"

namespace kerval::app {
namespace {

constexpr const char* kSuspendProc = "KERVAL-SuspendApplication()";

// Suspends every task in use except the spared ones, in index order.
void SuspendOtherTasks(int32_t hFaulty, int32_t hSpared) {
    (void)hFaulty;
    (void)hSpared;
}

// Freezes the calling thread when it is no task: it stays here for good.
[[noreturn]] void FreezeCaller() {
    platform::Thread* self = platform::thread_current();
    if (self != nullptr && platform::thread_suspend(self) >= 0) {
        // Resumed by someone: nothing else can be done for a thread that is no task.
    } else {
        KV_CHECK(kSuspendProc, platform::last_error(), 0);
    }
    for (;;) platform::sleep_ms(5000);
}

}  // namespace

bool AdjustProcessToken() {
    if (platform::enable_shutdown_privilege()) return true;
    char comment[96];
    std::snprintf(comment, sizeof comment, "AdjustTokenPrivileges() echoue <%d>\n",
                  static_cast<int>(platform::last_error()));
    KervalErreur(eNOK, "", "AdjustProcessToken()", comment, __FILE__, __LINE__, 0);
    return false;
}

}  // namespace kerval::app

using namespace kerval;

extern "C" {

KV_API void ApplicationMustStop(void) {
    SysDescript* sys = core::Sys();
    if (sys != nullptr) std::atomic_ref<uint8_t>(sys->bAppMustStop).store(1);
}

KV_API uint8_t HasApplicationToStop(void) {
    SysDescript* sys = core::Sys();
    return sys == nullptr ? 0 : std::atomic_ref<uint8_t>(sys->bAppMustStop).load();
}

KV_API KV_NORETURN void StopJob(void) {
    platform::process_exit(static_cast<int>(platform::process_id()));
}

KV_API void SuspendApplication(int32_t hTask) {
    const int32_t hUserInterface = FindObjectMirror("TASK_USRINTF");
    app::SuspendOtherTasks(hTask, hUserInterface);
    if (platform::message_box_yes_no("Voulez-vous quitter l'application ?", "Erreur Critique")) {
        StopJob();
    }
    DisplayDebug("JOB SUSPENDED !\n", 1);
    app::FreezeCaller();
}

KV_API int32_t StopProcedure(uint32_t lFlags) {
    if (!app::AdjustProcessToken()) return 0;
    return platform::exit_windows(lFlags, 0xFFFF) ? 1 : 0;
}

}  // extern "C"
