// The cooperative stop flag, the end of the process, the suspension of the application after a
// fatal error, and the shutdown of the computer.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <initializer_list>

#include "kerval/app/app.h"
#include "kerval/core/core.h"
#include "kerval/error/report.h"
#include "kerval/kerval.h"
#include "kerval/platform/platform.h"

namespace kerval::app {
namespace {

constexpr const char* kSuspendProc = "KERVAL-SuspendApplication()";

// Suspends, in task table order, every task in use except the spared ones.
void SuspendOtherTasks(std::initializer_list<int32_t> spared)
{
    SysDescript* sys = core::Sys();
    if (sys == nullptr)
        return;
    for (int32_t index = 0; index < sys->nNbTask; ++index) {
        const int32_t handle = core::HandleFromIndex(index, TASK_OBJECT);
        if (handle == -1 || std::find(spared.begin(), spared.end(), handle) != spared.end()) {
            continue;
        }
        SuspendTask(handle);
    }
}

// Freezes the calling thread when it is no task, for good: nothing can name it to resume it.
// A thread the platform layer does not know cannot be suspended; it waits here instead.
[[noreturn]] void FreezeCaller()
{
    if (platform::Thread* self = platform::thread_current()) {
        if (platform::thread_suspend(self) < 0) {
            KV_CHECK(kSuspendProc, platform::last_error(), 0);
        }
    }
    for (;;)
        platform::sleep_ms(5000);
}

}  // namespace

bool AdjustProcessToken()
{
    if (platform::enable_shutdown_privilege())
        return true;
    char comment[96];
    std::snprintf(comment, sizeof comment, "AdjustTokenPrivileges() echoue <%d>\n",
                  static_cast<int>(platform::last_error()));
    KervalErreur(eNOK, "", "AdjustProcessToken()", comment, __FILE__, __LINE__, 0);
    return false;
}

}  // namespace kerval::app

using namespace kerval;

extern "C" {

KV_API void ApplicationMustStop(void)
{
    SysDescript* sys = core::Sys();
    if (sys != nullptr)
        std::atomic_ref<uint8_t>(sys->bAppMustStop).store(1);
}

KV_API uint8_t HasApplicationToStop(void)
{
    SysDescript* sys = core::Sys();
    return sys == nullptr ? 0 : std::atomic_ref<uint8_t>(sys->bAppMustStop).load();
}

KV_API KV_NORETURN void StopJob(void)
{
    platform::process_exit(static_cast<int>(platform::process_id()));
}

// The caller is spared by the walk even when it names another task, so that it can still ask
// the operator; the task it names is suspended last.
KV_API void SuspendApplication(int32_t hTask)
{
    const int32_t hCaller = core::CurrentTaskHandle();
    const int32_t hFaulty = hTask != -1 ? hTask : hCaller;
    app::SuspendOtherTasks({hFaulty, hCaller, FindObjectMirror("TASK_USRINTF")});
    if (platform::message_box_yes_no("Voulez-vous quitter l'application ?", "Erreur Critique")) {
        StopJob();
    }
    DisplayDebug("JOB SUSPENDED !\n", 1);
    if (hFaulty == -1)
        app::FreezeCaller();
    SuspendTask(hFaulty);
}

KV_API int32_t StopProcedure(uint32_t lFlags)
{
    if (!app::AdjustProcessToken())
        return 0;
    return platform::exit_windows(lFlags, 0xFFFF) ? 1 : 0;
}

}  // extern "C"
