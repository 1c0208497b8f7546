// The life sign of tasks, and the life-sign ticker that keeps it fresh while a task is blocked
// in a wait without limit: such a wait blocks without time-out, so it costs no kernel timer.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "kerval/core/core.h"
#include "kerval/kerval.h"
#include "kerval/platform/platform.h"
#include "kerval/task/task.h"

namespace kerval::task {

namespace {

constexpr uint32_t kDefaultSliceMs = 5000;
constexpr uint32_t kLifeSignPeriodMs = 5000;
constexpr int32_t kMaxTasks = INT16_MAX;  // nNbTask is 16-bit

std::atomic<uint32_t> g_slice_ms{kDefaultSliceMs};

// Tasks blocked in a wait without limit, by task record index: set and cleared by the task
// itself, cleared for good by its deletion under g_blocked_lock, which the ticker holds while
// it writes life signs.
std::atomic<uint8_t> g_blocked[kMaxTasks];
platform::GuardedMutex g_blocked_lock;

// The date is refreshed by the tempo pass while tasks copy it: field by field, never torn.
void CopyDate(MsgDate& from, MsgDate& to)
{
    int16_t* src = &from.nYear;
    int16_t* dst = &to.nYear;
    constexpr size_t kFields = sizeof(MsgDate) / sizeof(int16_t);
    // Unrolled: every wait of every task copies it.
#pragma GCC unroll 16
    for (size_t i = 0; i < kFields; ++i) {
        std::atomic_ref<int16_t>(dst[i]).store(
            std::atomic_ref<int16_t>(src[i]).load(std::memory_order_relaxed),
            std::memory_order_relaxed);
    }
}

std::atomic<uint8_t>* BlockedFlag(const SysDescript* sys, const TaskDescript* rec)
{
    const auto index = rec - sys->pxTaskTab;
    return index >= 0 && index < sys->nNbTask ? &g_blocked[index] : nullptr;
}

// The tick: every blocked task that is not suspended gets the application date. Answers
// whether any task is blocked, so that the ticker goes idle once none is.
bool RefreshBlockedTasks(void*)
{
    std::lock_guard guard(g_blocked_lock);
    SysDescript* sys = core::Sys();
    if (sys == nullptr)
        return false;
    bool any = false;
    for (int32_t i = 0; i < sys->nNbTask; ++i) {
        if (g_blocked[i].load() == 0)
            continue;
        any = true;
        TaskDescript& rec = sys->pxTaskTab[i];
        if (std::atomic_ref(rec.bSuspended).load() == 0)
            CopyDate(sys->xAppDate, rec.xLifeSign);
    }
    return any;
}

}  // namespace

uint32_t WaitSliceMs()
{
    return g_slice_ms.load(std::memory_order_relaxed);
}

void SetWaitSliceMs(uint32_t ms)
{
    g_slice_ms.store(ms == 0 ? kDefaultSliceMs : ms);
}

platform::Ticker* LifeSignTicker()
{
    static std::atomic<platform::Ticker*> made{nullptr};
    if (platform::Ticker* ticker = made.load(std::memory_order_acquire))
        return ticker;
    // Made inside a region: a task stopped halfway would leave it half made for everyone.
    platform::RegionGuard region;
    static platform::Ticker* const ticker =
        platform::ticker_start(kLifeSignPeriodMs, RefreshBlockedTasks, nullptr);
    made.store(ticker, std::memory_order_release);
    return ticker;
}

KV_HOT_PATH UnlimitedWait::UnlimitedWait() : UnlimitedWait(RefreshLifeSign()) {}

KV_HOT_PATH UnlimitedWait::UnlimitedWait(TaskDescript* signed_task) : task_(signed_task)
{
    if (task_ != nullptr)
        blocked_ = BlockedFlag(core::Sys(), task_);
    if (blocked_ == nullptr)
        return;
    blocked_->store(1);  // seen by the next tick, or the ticker is found idle and woken
    platform::ticker_wake(LifeSignTicker());
}

KV_HOT_PATH UnlimitedWait::~UnlimitedWait()
{
    if (blocked_ != nullptr)
        blocked_->store(0, std::memory_order_relaxed);
    if (task_ != nullptr)
        CopyDate(core::Sys()->xAppDate, task_->xLifeSign);
}

void ForgetUnlimitedWait(const TaskDescript& rec)
{
    std::atomic<uint8_t>* blocked = BlockedFlag(core::Sys(), &rec);
    if (blocked == nullptr)
        return;
    std::lock_guard guard(g_blocked_lock);
    blocked->store(0, std::memory_order_relaxed);
}

KV_HOT_PATH TaskDescript* RefreshLifeSign()
{
    SysDescript* sys = core::Sys();
    TaskDescript* rec = core::CurrentTask();
    if (sys == nullptr || rec == nullptr)
        return nullptr;
    CopyDate(sys->xAppDate, rec->xLifeSign);
    return rec;
}

bool InUnlimitedWait(int32_t hTask)
{
    const TaskDescript* rec = core::TaskRecord(hTask);
    std::atomic<uint8_t>* blocked = rec != nullptr ? BlockedFlag(core::Sys(), rec) : nullptr;
    return blocked != nullptr && blocked->load() != 0;
}

}  // namespace kerval::task

using namespace kerval;

extern "C" KV_API void UpdateLifeSign(void)
{
    task::RefreshLifeSign();
}

// Blocks for good on a semaphore that nobody posts: a deletion or suspension reaches the task
// at once, and the ticker keeps its life sign fresh.
extern "C" KV_API void WaitAlways(void)
{
    static platform::Semaphore* const never = platform::semaphore_create(0, 1);
    task::UnlimitedWait wait;
    for (;;) {
        if (platform::semaphore_wait(never, platform::kInfinite) == platform::WaitResult::kFailed)
            platform::sleep_ms(kerval::task::kDefaultSliceMs);
    }
}
