// The library's heap and its failure seam.
#include "kerval/core/alloc.h"

namespace kerval::core {

namespace alloc_detail {

std::atomic<int32_t> g_planned{0};

namespace {

struct Plan {
    uint32_t left = 0;  // calls until the failure, counting it; 0: none planned
    bool every_after = false;
    bool happened = false;
};
thread_local Plan t_plan;

void Cancel(Plan& plan)
{
    if (plan.left == 0)
        return;
    plan.left = 0;
    g_planned.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace

bool RefusedHere()
{
    Plan& plan = t_plan;
    if (plan.left == 0)
        return false;
    if (plan.left > 1) {
        --plan.left;
        return false;
    }
    plan.happened = true;
    if (!plan.every_after)
        Cancel(plan);
    platform::set_last_error(platform::kErrNotEnoughMemory);
    return true;
}

}  // namespace alloc_detail

platform::Semaphore* NewSemaphore(long initial, long maximum)
{
    return AllocationRefused() ? nullptr : platform::semaphore_create(initial, maximum);
}

platform::Thread* NewThread(platform::ThreadFn fn, void* arg, size_t stack_size)
{
    return AllocationRefused() ? nullptr : platform::thread_create_suspended(fn, arg, stack_size);
}

std::FILE* OpenStream(const char* path, const char* mode)
{
    return AllocationRefused() ? nullptr : std::fopen(path, mode);
}

void PlanAllocationFailure(uint32_t nth, bool every_after)
{
    alloc_detail::Plan& plan = alloc_detail::t_plan;
    alloc_detail::Cancel(plan);
    plan.happened = false;
    plan.every_after = every_after;
    if (nth == 0)
        return;
    plan.left = nth;
    alloc_detail::g_planned.fetch_add(1, std::memory_order_relaxed);
}

bool PlannedFailureHappened()
{
    return alloc_detail::t_plan.happened;
}

}  // namespace kerval::core
