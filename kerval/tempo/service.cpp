// The tempo service: the task "_TEMPO_TASK" starts the 50 ms tick and ends; every pass then
// runs on the timer's own thread.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "kerval/core/core.h"
#include "kerval/date/clock.h"
#include "kerval/error/report.h"
#include "kerval/platform/platform.h"
#include "kerval/tempo/tempo_internal.h"
#include "kerval/tempo/tempo_service.h"

namespace kerval::tempo {
namespace {

constexpr const char* kTaskName = "_TEMPO_TASK";
constexpr const char* kBoxName = "_TEMPO_BOX";
constexpr int32_t kTaskPriority = platform::kPrioAboveNormal;
constexpr uint32_t kTaskStack = 50000;
constexpr uint16_t kBoxSize = 10;
constexpr long kResolutionMs = 10;

std::mutex g_service_lock;  // start and stop
std::atomic<platform::Timer*> g_timer{nullptr};
platform::Semaphore* g_started = nullptr;
thread_local bool t_in_pass = false;

void OnTick(void*)
{
    t_in_pass = true;
    RunPass();
    t_in_pass = false;
}

uint32_t TempoTaskFunction(void*)
{
    date::SetStartCounter(static_cast<int64_t>(platform::perf_counter()));
    int32_t box = -1;
    const int32_t code = CreateMailBox(kBoxName, kBoxSize, &box);
    std::printf("\nperiode de reveil:\t%d, resolution:\t%ld\n", TEMPO_TICK_MS, kResolutionMs);
    std::fflush(stdout);
    if (code != eOK)
        KV_REPORT(code, "KERVAL-TempoTaskFunction", "CreateMailBox( TEMPO_MAILBOX_NAME) echoue !",
                  1);
    g_timer = platform::timer_start(TEMPO_TICK_MS, kResolutionMs, OnTick, nullptr);
    platform::semaphore_release(g_started, 1, nullptr);
    return 0;
}

void StopAtExit()
{
    StopService();
}

}  // namespace

int32_t StartService()
{
    std::lock_guard guard(g_service_lock);
    if (g_timer != nullptr)
        return 0;
    if (core::Sys() == nullptr)
        return 1;
    // The first pass compares with this reading: no calendar tempo fires at start.
    MsgDate now{};
    date::ReadLocalTime(&now);
    date::StoreAppDate(now);
    {
        std::lock_guard table_guard(Table().lock);
        if (!EnsureStates())
            return 1;
    }
    g_started = platform::semaphore_create(0, 1);
    int32_t task = -1;
    const int32_t code =
        CreateTask(kTaskName, kTaskPriority, TempoTaskFunction, nullptr, 0, kTaskStack, &task);
    if (code == eOK)
        platform::semaphore_wait(g_started, platform::kInfinite);
    platform::semaphore_destroy(g_started);
    g_started = nullptr;
    if (g_timer == nullptr)
        return 1;
    static const bool registered = std::atexit(StopAtExit) == 0;
    (void)registered;
    return 0;
}

void StopService()
{
    std::lock_guard guard(g_service_lock);
    platform::Timer* timer = g_timer.exchange(nullptr);
    // From inside a pass (an exit called there) the timer cannot wait for itself.
    if (timer == nullptr || t_in_pass)
        return;
    platform::timer_stop(timer);
    // The task's thread has ended after starting the tick; deleting the task releases it.
    const int32_t task = HandleTaskTEMPO();
    if (task >= 0)
        DeleteTask(task);
}

}  // namespace kerval::tempo
